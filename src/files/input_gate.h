// SPDX-License-Identifier: MIT
// Opening an input so that every file read for it, the input itself and each
// file its demuxer opens on its behalf, passes the file gate (file_gate.h),
// and every read can be interrupted.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

// Opens url ("file:" and a path) for demuxing. Its format is found once, as
// format_detect.h finds it, and forced on the open, which reads the very
// file that was probed: the gate decides on what the demuxer reads. Every
// open the demuxers make goes through the gate: through the context's
// io_open, which refuses a file FFmpeg's prober takes for a list, or, for a
// concatenation list, whose demuxer opens its files on its own, by checking
// every file of the list (concat_lists.h) before it is demuxed. Demuxers that
// open further files past io_open and are not needed here (DASH manifests,
// VobSub index files) are not used; inside a list, none that open files
// beyond their own (playlists, IMF, MLV); under any other input, no list.
// interrupt, copied into the context and handed to every open, is asked
// between reads whether to give up (its callback may be null: never).
int ge_open_gated_input(AVFormatContext **in_ctx, const char *url, AVIOInterruptCB interrupt);
