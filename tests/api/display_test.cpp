// SPDX-License-Identifier: MIT
// The GIF shows what a player shows: upright, in display proportions, and
// starting exactly at the window's start whatever the container.
#include <nlohmann/json.hpp>

#include "api/api_fixture.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using apitest::ApiTest;
using nlohmann::json;
using fixture::Corner;

fixture::DecodedVideo convert(const std::string &in, const std::string &name, int64_t start_ms,
                              int64_t end_ms, int width = 0) {
  const std::string out = apitest::scratch_path(name + ".gif");
  const apitest::JobEnd end = apitest::run_job(in, out, start_ms, end_ms, width, 0);
  EXPECT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
  gifexport_free(end.id);
  fixture::DecodedVideo gif;
  std::string err;
  EXPECT_TRUE(fixture::decode_video(out, &gif, &err)) << err;
  return gif;
}

struct RotationCase {
  const char *name;
  int rotation_deg;  // as the generator writes it (the matrix's clockwise turn)
  bool hflip;
  int width, height;  // of the GIF at 240 px from a 320x240 source
};

const RotationCase kRotations[] = {
    {"none", 0, false, 240, 180},
    {"quarter_clockwise", 90, false, 240, 320},
    {"half", 180, false, 240, 180},
    {"quarter_counter", 270, false, 240, 320},
    {"mirrored", 0, true, 240, 180},
    {"quarter_mirrored", 90, true, 240, 320},
};

class Rotation : public ApiTest, public ::testing::WithParamInterface<RotationCase> {};

TEST_P(Rotation, GifIsUpright) {
  const RotationCase &c = GetParam();
  fixture::ClipSpec clip;
  clip.pattern = fixture::Pattern::Corners;
  clip.frames = 10;
  clip.rotation_deg = c.rotation_deg;
  clip.hflip = c.hflip;
  const std::string in = apitest::cached_clip(std::string("rot_") + c.name + ".mp4", clip);
  ASSERT_FALSE(in.empty());
  const fixture::DecodedVideo gif = convert(in, c.name, 0, -1, 240);
  ASSERT_FALSE(gif.frames.empty());
  EXPECT_EQ(gif.stream_width, c.width);
  EXPECT_EQ(gif.stream_height, c.height);
  const fixture::DecodedFrame &f = gif.frames[0];
  for (Corner corner : {Corner::TopLeft, Corner::TopRight, Corner::BottomLeft, Corner::BottomRight})
    EXPECT_EQ(fixture::corner_colour(f.rgb.data(), f.width, f.height, f.width * 3, corner),
              fixture::expected_corner_colour(corner, c.rotation_deg, c.hflip))
        << "corner " << static_cast<int>(corner);
}

INSTANTIATE_TEST_SUITE_P(Table, Rotation, ::testing::ValuesIn(kRotations),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ApiTest, NonSquarePixelsKeepTheDisplayProportions) {
  const struct {
    const char *name;
    int width, height;
    AVRational sar;
    int gif_width, expected_height;
  } cases[] = {
      {"pal_wide", 720, 576, {64, 45}, 480, 270},
      {"narrow", 720, 576, {8, 9}, 480, 432},
      {"square", 720, 576, {1, 1}, 480, 384},
      // A pixel 255 times as tall as wide is a broken header, not a format:
      // the picture is shown with square pixels, not 64x12240.
      {"broken_thin_pixels", 320, 240, {1, 255}, 64, 48},
      {"broken_wide_pixels", 320, 240, {255, 1}, 64, 48},
      // A picture eight times as tall as wide is squeezed to four times.
      {"very_tall_picture", 64, 512, {1, 1}, 480, 1920},
  };
  for (const auto &c : cases) {
    fixture::ClipSpec clip;
    clip.width = c.width;
    clip.height = c.height;
    clip.frames = 5;
    clip.sar = c.sar;
    const std::string in = apitest::cached_clip(std::string("sar_") + c.name + ".mp4", clip);
    ASSERT_FALSE(in.empty());
    const fixture::DecodedVideo gif = convert(in, c.name, 0, -1, c.gif_width);
    EXPECT_EQ(gif.stream_width, c.gif_width) << c.name;
    EXPECT_EQ(gif.stream_height, c.expected_height) << c.name;
  }
}

// A transport stream seeks by timestamp and lands between key frames (every
// 2.4 s here, with B-frames); the window must still start at its own frame.
// Its timestamps begin one frame (MPEG-4) or two (H.264) after zero, where
// B-frames make decoding run ahead; the GIF's frames still fall on the
// window's start plus whole frames, as `ffmpeg -ss` shows them. Without
// libx264 (the FFmpeg for Windows) the generator writes MPEG-4 for both.
TEST_F(ApiTest, WindowStartIsExactInATransportStream) {
  for (const char *encoder : {"libx264", "mpeg4"}) {
    fixture::ClipSpec clip;
    clip.format = "mpegts";
    clip.encoder = encoder;
    clip.frames = 250;  // 10 s
    clip.gop = 60;
    clip.max_b_frames = 2;
    std::string why;
    const std::string in = apitest::cached_clip(std::string("long_gop_") + encoder + ".ts", clip, &why);
    ASSERT_FALSE(in.empty()) << why;
    const struct {
      int64_t start, end;
      int first_index;
    } cases[] = {{2000, 3000, 50}, {3000, 4000, 75}, {5200, 5600, 130}, {7400, 8000, 185}};
    for (const auto &c : cases) {
      const fixture::DecodedVideo gif = convert(
          in, std::string("ts_") + encoder + "_" + std::to_string(c.start), c.start, c.end, 160);
      ASSERT_FALSE(gif.frames.empty()) << encoder << " " << c.start;
      const auto &f = gif.frames[0];
      EXPECT_EQ(fixture::index_from_rgb(f.rgb.data(), f.width, f.height, f.width * 3),
                c.first_index)
          << encoder << ", window from " << c.start;
      EXPECT_EQ(static_cast<int64_t>(gif.frames.size()), (c.end - c.start) * 15 / 1000)
          << encoder << " " << c.start;
    }
  }
}

}  // namespace
