// SPDX-License-Identifier: MIT
// The one rule for every file an input reads, whoever asks for it: the input
// itself, or a file a demuxer opens on its behalf (a playlist's segment, a
// list's entry, the next image of a sequence). Only a local regular file is
// opened: no other protocol, and no FIFO, socket, device or folder, whose
// opening or reading could wait for ever.
#pragma once

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/dict.h>
}

// The file-system path that the media library's file protocol opens for url
// (a "file:" URL, or a name without a scheme, which the library reads as a
// file too); null when url names another protocol.
const char *ge_local_file_path(const char *url);

// Opens url for reading into *pb through the file protocol alone, once the
// path it names has been found to be a regular file. interrupt (may be null)
// is asked between reads whether to give up. options, as for avio_open2, may
// be null. Returns 0, or a negative AVERROR: AVERROR(EPROTONOSUPPORT) for
// another protocol, AVERROR(EPERM) for an open for writing, AVERROR(ENOENT),
// AVERROR(EISDIR) or AVERROR(EINVAL) (a special file) from the file check.
int ge_open_local_file(AVIOContext **pb, const char *url, int flags,
                       const AVIOInterruptCB *interrupt, AVDictionary **options);
