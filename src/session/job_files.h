// SPDX-License-Identifier: MIT
// Every path a caller hands the library is a local file. This module is the
// one place that turns such a path into what is opened, checked and removed:
// the job start, the worker and the probe all go through it.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

// The file a caller's path names. The media library reads a leading "file:"
// as its spelling of a local file, so it is dropped here; everything else
// (a Windows drive path "C:\..." too) is the path as given. A "file://" path
// keeps its "//", which the file system reads as the root.
const char *ge_plain_path(const char *path);

// Opens path as a local file for demuxing, with no forced format: nothing
// else (network, pipe or any other protocol) can be reached through it, also
// not by a demuxer that opens further files. A FIFO or a socket is refused
// with AVERROR(EINVAL): its opening waits for a writer, which would hang the
// caller with no way to cancel.
int ge_open_input(AVFormatContext **in_ctx, const char *path);

// Opens a plain path (one ge_plain_path has already resolved) as a local file
// for writing, created or truncated.
int ge_open_output_file(AVIOContext **pb, const char *path);

// True when the output path names the input file in any spelling (a "file:"
// prefix, another route, a hard link): writing or removing it would destroy
// the input.
bool ge_output_names_input(const char *in_path, const char *out_path);

// True when the output path names a FIFO or socket, whose opening for
// writing would wait for a reader.
bool ge_output_would_block(const char *out_path);

// Removes whatever stands at a job's output path, if it is a regular file or
// a symbolic link.
void ge_remove_job_output(const char *out_path);
