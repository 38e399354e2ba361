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

// Height of the GIF for target_width so that it keeps the displayed
// proportions of a width x height picture with sample aspect ratio sar (after
// a quarter turn when swaps_axes): even, at least 2. Returns -2 (let the
// scaler derive it from the pixel grid) when the pixels are square or unknown.
int ge_display_height(int target_width, int width, int height, AVRational sar, bool swaps_axes);
