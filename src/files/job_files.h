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

// Opens path as a local file for demuxing, in the format the gate finds for
// it (input_gate.h). It and
// every file a demuxer opens for it (a list's entries, a playlist's segments)
// must be local regular files (input_gate.h): no network, pipe or other
// protocol, and no FIFO, socket, device or folder, whose opening or reading
// could wait for ever; AVERROR(EINVAL) refuses a special file. interrupt
// (none by default) is asked between reads whether to give up: a job's
// cancel flag, so that a cancel reaches a read that waits.
int ge_open_input(AVFormatContext **in_ctx, const char *path,
                  AVIOInterruptCB interrupt = AVIOInterruptCB{nullptr, nullptr});

// Opens a plain path (one ge_plain_path has already resolved) as a local file
// for writing, created or truncated. interrupt is asked between writes
// whether to give up.
int ge_open_output_file(AVIOContext **pb, const char *path, AVIOInterruptCB interrupt);

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
