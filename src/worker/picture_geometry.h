// SPDX-License-Identifier: MIT
// How a stored picture is shown: its orientation (display matrix) and its
// display proportions (sample aspect ratio).
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

struct ge_orientation {
  const char *filters;  // filters that turn the stored picture upright, "" for none
  bool swaps_axes;      // a quarter turn: the displayed width is the stored height
};

// The orientation a display matrix (nine 16.16/2.30 fixed-point entries, as
// stored in stream side data) asks for, rounded to the nearest quarter turn
// and mirror. A null matrix means the picture is shown as stored.
ge_orientation ge_orientation_from_matrix(const int32_t *matrix);

// Bounds on how a picture is shown: a sample aspect ratio beyond 4:1 either
// way is taken as broken, and the GIF is never taller than 4 times its width.
constexpr int GE_MAX_SAR_STRETCH = 4;
constexpr int GE_MAX_HEIGHT_PER_WIDTH = 4;

// Height of the GIF for target_width so that it keeps the displayed
// proportions of a width x height picture with sample aspect ratio sar (after
// a quarter turn when swaps_axes): even, at least 2, at most
// GE_MAX_HEIGHT_PER_WIDTH x target_width. Returns -2 (let the scaler derive
// it from the pixel grid) when the pixels are square, unknown or broken and
// the picture is not too tall.
int ge_display_height(int target_width, int width, int height, AVRational sar, bool swaps_axes);
