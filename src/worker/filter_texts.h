// SPDX-License-Identifier: MIT
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

// Which graph a chain builds. `whole`: one palette over the whole clip and
// the mapping onto it, in one graph that holds every frame until the end of
// the stream. `palette`: the palette alone (first pass of a long job).
// `mapping`: the mapping onto a palette given through a second source named
// GE_PALETTE_SOURCE_NAME (second pass), which holds no more than a few frames.
enum class ge_chain_kind { whole, palette, mapping };

// Instance name of the buffer source that gives the mapping its palette.
constexpr const char *GE_PALETTE_SOURCE_NAME = "palette";

// The chain between source and sink: the orientation filters (turning the
// picture upright, may be empty), rate, Lanczos scale to the width (and to
// target_height, or -2 to derive it from the picture), then what `kind` asks
// for: palette generation over the clip and Bayer dithering onto it.
void ge_format_filter_chain(char *buf, size_t size, ge_chain_kind kind, const char *orientation,
                            int fps, int target_width, int target_height);
