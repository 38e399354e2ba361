// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

extern "C" {
#include <libavutil/display.h>
}

#include "worker/picture_geometry.h"

namespace {

struct MatrixCase {
  double turn;  // the clockwise turn given to av_display_rotation_set
  bool hflip;
  const char *filters;
  bool swaps;
};

// A turn of 90 is a phone clip that players show turned a quarter clockwise
// (probes report its rotation as -90).
const MatrixCase kMatrices[] = {
    {0, false, "", false},
    {90, false, "transpose=clock", true},
    {-90, false, "transpose=cclock", true},
    {180, false, "hflip,vflip", false},
    {-180, false, "hflip,vflip", false},
    {0, true, "hflip", false},
    {180, true, "vflip", false},
    {90, true, "transpose=cclock_flip", true},
    {-90, true, "transpose=clock_flip", true},
    {80, false, "transpose=clock", true},  // rounded to the nearest quarter turn
    {30, false, "", false},
};

TEST(Orientation, FromDisplayMatrix) {
  for (const auto &c : kMatrices) {
    int32_t matrix[9];
    av_display_rotation_set(matrix, c.turn);
    av_display_matrix_flip(matrix, c.hflip, 0);
    const ge_orientation o = ge_orientation_from_matrix(matrix);
    EXPECT_STREQ(o.filters, c.filters) << c.turn << (c.hflip ? " mirrored" : "");
    EXPECT_EQ(o.swaps_axes, c.swaps) << c.turn << (c.hflip ? " mirrored" : "");
  }
  const ge_orientation none = ge_orientation_from_matrix(nullptr);
  EXPECT_STREQ(none.filters, "");
}

TEST(DisplayHeight, KeepsTheDisplayProportions) {
  const struct {
    int target, w, h;
    AVRational sar;
    bool swaps;
    int expected;
  } cases[] = {
      {480, 720, 576, {64, 45}, false, 270},  // PAL 16:9
      {480, 720, 576, {16, 15}, false, 360},  // PAL 4:3
      {480, 720, 480, {8, 9}, false, 360},    // NTSC 4:3
      {480, 720, 576, {64, 45}, true, 854},   // PAL 16:9 turned a quarter
      {480, 640, 360, {1, 1}, false, -2},     // square: the scaler derives it
      {480, 640, 360, {0, 1}, false, -2},     // unknown
      {64, 1920, 16, {1, 2}, false, 2},       // never below 2
      {64, 320, 240, {1, 255}, false, -2},    // a broken ratio counts as square
      {64, 320, 240, {5, 1}, false, -2},
      {480, 720, 576, {1, 4}, false, 1536},   // 4:1 either way is still believed
      {480, 720, 576, {4, 1}, false, 96},
      {480, 360, 576, {4, 1}, true, 1200},
      {480, 720, 576, {100, 401}, false, -2},  // just beyond: square
      {480, 720, 576, {401, 100}, false, -2},
      {480, 64, 512, {1, 1}, false, 1920},    // too tall: four times the width
      {480, 512, 64, {1, 1}, true, 1920},     // too tall once turned
      {480, 720, 576, {1, 3}, false, 1152},
      {480, 720, 576, {1, 4}, true, 150},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ge_display_height(c.target, c.w, c.h, c.sar, c.swaps), c.expected)
        << c.w << "x" << c.h << " sar " << c.sar.num << ":" << c.sar.den;
}

}  // namespace
