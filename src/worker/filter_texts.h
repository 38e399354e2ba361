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

// The chain between source and sink: the orientation filters (turning the
// picture upright, may be empty), rate, Lanczos scale to the width (and to
// target_height, or -2 to derive it from the picture), one palette over the
// whole clip, Bayer dithering onto it.
void ge_format_filter_chain(char *buf, size_t size, const char *orientation, int fps,
                            int target_width, int target_height);
