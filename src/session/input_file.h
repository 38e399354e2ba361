// Opening a job's or a probe's input.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

// avformat_open_input with no forced format and no options, except that a
// FIFO or a socket is refused with AVERROR(EINVAL) instead of opened: opening
// one blocks until a writer appears, which would hang the caller (and a free
// waiting for the worker) with no way to cancel.
int ge_open_input(AVFormatContext **in_ctx, const char *path);
