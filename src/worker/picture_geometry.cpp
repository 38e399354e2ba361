// SPDX-License-Identifier: MIT
#include "worker/picture_geometry.h"

#include <cmath>
#include <cstdlib>
#include <utility>

namespace {

int sign(int32_t v) { return (v > 0) - (v < 0); }

}  // namespace

ge_orientation ge_orientation_from_matrix(const int32_t *matrix) {
  if (matrix == nullptr) return {"", false};
  // The matrix maps a stored pixel (p, q) to the shown one at
  // (a p + c q, b p + d q), up to a translation.
  const int32_t a = matrix[0], b = matrix[1], c = matrix[3], d = matrix[4];
  const bool axis_aligned = std::llabs(a) + std::llabs(d) >= std::llabs(b) + std::llabs(c);
  if (axis_aligned) {
    const int x = sign(a), y = sign(d);
    if (x >= 0 && y >= 0) return {"", false};
    if (x < 0 && y >= 0) return {"hflip", false};
    if (x >= 0 && y < 0) return {"vflip", false};
    return {"hflip,vflip", false};  // a half turn
  }
  const int x_from_y = sign(c), y_from_x = sign(b);  // p' = x_from_y q, q' = y_from_x p
  if (x_from_y > 0 && y_from_x > 0) return {"transpose=cclock_flip", true};  // main diagonal
  if (x_from_y < 0 && y_from_x > 0) return {"transpose=clock", true};
  if (x_from_y > 0 && y_from_x < 0) return {"transpose=cclock", true};
  return {"transpose=clock_flip", true};  // anti-diagonal
}

int ge_display_height(int target_width, int width, int height, AVRational sar, bool swaps_axes) {
  if (width <= 0 || height <= 0) return -2;
  // A pixel more than four times as wide as tall, or as tall as wide, is no
  // real format (anamorphic video stays within 2:1) but a broken or crafted
  // header: the picture is then shown with square pixels.
  const bool sar_usable = sar.num > 0 && sar.den > 0 &&
                          int64_t{sar.num} * GE_MAX_SAR_STRETCH >= sar.den &&
                          int64_t{sar.den} * GE_MAX_SAR_STRETCH >= sar.num;
  const bool square = !sar_usable || sar.num == sar.den;
  // Displayed size: the stored width stretched by the pixel aspect.
  double shown_w = square ? width : static_cast<double>(width) * sar.num / sar.den;
  double shown_h = height;
  if (swaps_axes) std::swap(shown_w, shown_h);
  const double max_height = static_cast<double>(target_width) * GE_MAX_HEIGHT_PER_WIDTH;
  const double exact = target_width * shown_h / shown_w;
  // Pictures far taller than wide would make frames of gigabytes at a large
  // width; they are squeezed to at most four times the width.
  if (exact > max_height) return target_width * GE_MAX_HEIGHT_PER_WIDTH;
  if (square) return -2;  // the scaler derives the height from the pixel grid
  const long even = 2 * std::lround(exact / 2.0);
  return even < 2 ? 2 : static_cast<int>(even);
}
