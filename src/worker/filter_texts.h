// The two texts that configure a job's palette filter graph.
#pragma once

#include <cstddef>

extern "C" {
#include <libavutil/rational.h>
}

constexpr size_t GE_FILTER_TEXT_CAP = 512;

// Arguments of the "buffer" source: the decoder's picture size and pixel
// format, the stream's time base and sample aspect ratio (0/x becomes 1/1).
void ge_format_source_args(char *buf, size_t size, int width, int height, int pix_fmt,
                           AVRational time_base, AVRational sample_aspect);

// The chain between source and sink: rate, Lanczos scale to the width,
// one palette over the whole clip, Bayer dithering onto it.
void ge_format_filter_chain(char *buf, size_t size, int fps, int target_width);
