// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "worker/filter_texts.h"

namespace {

TEST(FilterTexts, ChainPutsRateFirstAndWidthSecond) {
  char buf[GE_FILTER_TEXT_CAP];
  ge_format_filter_chain(buf, sizeof buf, ge_chain_kind::whole, "", 15, 480, -2);
  EXPECT_STREQ(buf,
               "fps=15,scale=480:-2:flags=lanczos,split[a][b];[a]palettegen=stats_mode=diff[p];"
               "[b][p]paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle");
  ge_format_filter_chain(buf, sizeof buf, ge_chain_kind::whole, "", 7, 333, -2);  // odd widths are used as given
  EXPECT_EQ(std::string(buf).rfind("fps=7,scale=333:-2:flags=lanczos,split", 0), 0u) << buf;
  ge_format_filter_chain(buf, sizeof buf, ge_chain_kind::whole, "transpose=clock", 15, 480, 270);
  EXPECT_EQ(std::string(buf).rfind("transpose=clock,fps=15,scale=480:270:flags=lanczos,split", 0),
            0u)
      << buf;
}

// The two passes of a long job run the same head as the whole chain, split
// where the whole chain splits.
TEST(FilterTexts, TwoPassChainsShareTheWholeChainsHead) {
  char buf[GE_FILTER_TEXT_CAP];
  ge_format_filter_chain(buf, sizeof buf, ge_chain_kind::palette, "hflip", 30, 1920, 1080);
  EXPECT_STREQ(buf, "hflip,fps=30,scale=1920:1080:flags=lanczos,palettegen=stats_mode=diff");
  ge_format_filter_chain(buf, sizeof buf, ge_chain_kind::mapping, "", 15, 480, -2);
  EXPECT_STREQ(buf,
               "[in]fps=15,scale=480:-2:flags=lanczos[x];"
               "[x][palette]paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle");
}

TEST(FilterTexts, SourceArgsTakeUnsetAspectAsSquare) {
  const struct {
    AVRational sar;
    const char *expected_tail;
  } cases[] = {
      {{0, 1}, "pixel_aspect=1/1"},
      {{0, 0}, "pixel_aspect=1/1"},
      {{64, 45}, "pixel_aspect=64/45"},
      {{3, 0}, "pixel_aspect=3/0"},  // a non-zero numerator passes unchanged
  };
  for (const auto &c : cases) {
    char buf[GE_FILTER_TEXT_CAP];
    ge_format_source_args(buf, sizeof buf, 640, 360, 0, AVRational{1, 25}, c.sar);
    EXPECT_EQ(std::string(buf),
              std::string("video_size=640x360:pix_fmt=0:time_base=1/25:") + c.expected_tail);
  }
}

}  // namespace
