// SPDX-License-Identifier: MIT
// Windows that start late in an H.264 transport stream. The demuxer seeks by
// timestamp and lands between key frames, yet every GIF frame must be the
// source frame at its time, and the job must read from near the window, not
// from the input's beginning.
#include <fstream>

#include "api/api_fixture.h"

namespace {

using apitest::ApiTest;

constexpr int kFps = 25;  // source and GIF rate: GIF frame k shows source frame first + k

// 20 s of H.264 with B-frames in a transport stream whose timestamps begin at
// 1.4 s; frame i shows i, a key frame every `gop` frames. muxer_options can
// pad the stream to a constant rate.
fixture::ClipSpec ts_clip(int gop, const std::string &muxer_options = "") {
  fixture::ClipSpec clip;
  clip.format = "mpegts";
  clip.encoder = "libx264";
  clip.fps = kFps;
  clip.frames = 500;
  clip.gop = gop;
  clip.max_b_frames = 2;
  clip.pts_offset = 35;
  clip.muxer_options = muxer_options;
  return clip;
}

int frame_index(const fixture::DecodedFrame &f) {
  return fixture::index_from_rgb(f.rgb.data(), f.width, f.height, f.width * 3);
}

// Converts [start_ms, end_ms) at the source's rate and checks that the GIF
// holds exactly the source frames of the window, in order.
void expect_window(const std::string &in, const std::string &name, int64_t start_ms,
                   int64_t end_ms) {
  SCOPED_TRACE(name);
  const std::string out = apitest::scratch_path(name + ".gif");
  const apitest::JobEnd end = apitest::run_job(in, out, start_ms, end_ms, 96, kFps);
  ASSERT_EQ(end.id, 0);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
  gifexport_free(end.id);
  fixture::DecodedVideo gif;
  std::string err;
  ASSERT_TRUE(fixture::decode_video(out, &gif, &err)) << err;
  const int first = static_cast<int>(start_ms * kFps / 1000);
  const int count = static_cast<int>((end_ms - start_ms) * kFps / 1000);
  ASSERT_EQ(static_cast<int>(gif.frames.size()), count);
  for (int k = 0; k < count; ++k) EXPECT_EQ(frame_index(gif.frames[k]), first + k) << "frame " << k;
}

struct SeekCase {
  const char *name;
  int gop;  // frames between key frames
  int64_t start_ms, end_ms;
};

const SeekCase kSeeks[] = {
    // Key frames every 2 s, at source frames 0, 50, 100, ...
    {"at_a_key_frame", 50, 10000, 10600},  // frame 250
    {"one_frame_after_a_key_frame", 50, 10040, 10640},
    {"one_frame_before_a_key_frame", 50, 9960, 10560},  // decoding begins 49 frames back
    {"mid_group_of_pictures", 50, 9200, 9800},
    {"second_frame_of_the_input", 50, 40, 640},
    {"after_the_last_key_frame", 50, 19000, 19600},  // the last is frame 450 (18 s)
    {"last_frame_of_the_input", 50, 19960, 20000},
    // Key frames every 10 s: the key frame lies further back than the first
    // few tries reach.
    {"long_group_last_frame", 250, 19960, 20000},
    {"long_group_mid", 250, 14000, 14600},
};

class TransportStreamSeek : public ApiTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(TransportStreamSeek, GifStartsAtTheWindowsOwnFrame) {
  const SeekCase &c = GetParam();
  std::string why;
  const std::string in =
      apitest::cached_clip("seek_gop" + std::to_string(c.gop) + ".ts", ts_clip(c.gop), &why);
  if (in.empty()) GTEST_SKIP() << "generator: " << why;
  expect_window(in, c.name, c.start_ms, c.end_ms);
}

INSTANTIATE_TEST_SUITE_P(Table, TransportStreamSeek, ::testing::ValuesIn(kSeeks),
                         [](const auto &info) { return std::string(info.param.name); });

// Overwrites `bytes` bytes of the file from `offset` with zeros: a stretch of
// the recording the medium lost.
void zero_stretch(const std::string &path, std::streamoff offset, size_t bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(f.is_open()) << path;
  f.seekp(offset);
  const std::string zeros(bytes, '\0');
  f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  ASSERT_TRUE(f.good()) << path;
}

// The stream lost 1.2 s of its recording from 4 s on. Reading across that
// stretch ends the input (the demuxer finds no packet start in 64 KiB and
// reports an error), so a window after it converts only when the job reads
// from near the window, as it must, and not from the input's beginning.
TEST_F(ApiTest, WindowAfterALostStretchIsReadFromNearItsStart) {
  constexpr int kBytesPerSecond = 125000;  // padded to a constant 1 Mbit/s
  std::string why;
  const std::string in = apitest::cached_clip(
      "seek_lost_stretch.ts", ts_clip(50, "muxrate=1000000:max_delay=700000"), &why);
  if (in.empty()) GTEST_SKIP() << "generator: " << why;
  zero_stretch(in, 4 * kBytesPerSecond, kBytesPerSecond * 12 / 10);
  if (HasFatalFailure()) return;
  // Every window from 9 s on: 2 s (one key-frame interval) before it still
  // lies well after the lost stretch.
  for (const SeekCase &c : kSeeks)
    if (c.gop == 50 && c.start_ms >= 9000)
      expect_window(in, std::string("lost_stretch_") + c.name, c.start_ms, c.end_ms);
}

}  // namespace
