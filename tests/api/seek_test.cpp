// SPDX-License-Identifier: MIT
// Windows that start late in an H.264 transport stream. The demuxer seeks by
// timestamp and lands between key frames, yet every GIF frame must be the
// source frame at its time, and the job must read from near the window, not
// from the input's beginning.
#include <fstream>

#include "api/api_fixture.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

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
    // Less than the first step back (1 s) after a key frame: that one step
    // lands just before the key frame.
    {"first_step_back_reaches_the_key_frame", 50, 8800, 9400},
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

// Stretches the stream lost from its recording, 150,000 bytes each, in a
// stream padded to a constant bit rate (so a window time tells the byte
// offset). Reading across one ends the input (the demuxer finds no packet
// start in 64 KiB and reports an error), so a window after it converts only
// when the job reads from near the window, as it must, and not from further
// back.
struct LostStretch {
  const char *name;
  int bit_rate;
  int64_t from_ms, length_ms;
  // The windows of kSeeks (key frames every 2 s) converted after it.
  int64_t windows_from_ms, windows_to_ms;
  bool needs_h264 = false;
};

const LostStretch kLostStretches[] = {
    // Every window from 9 s on: 2 s (one key-frame interval) before it still
    // lies well after the stretch.
    {"1200ms_from_4s", 1000000, 4000, 1200, 9000, INT64_MAX},
    // Between 2 s and 1 s before the window at 8.8 s: the first step back
    // lands after it, just before the key frame at 8 s, where a first step of
    // 2 s (or a second step after a shorter first one) lands before it.
    // Its byte offsets fit H.264's packet sizes: where the generator falls
    // back to MPEG-4 (no libx264, the FFmpeg for Windows) the row is left out.
    {"300ms_from_7150ms", 4000000, 7150, 300, 8800, 8800, true},
};

TEST_F(ApiTest, WindowAfterALostStretchIsReadFromNearItsStart) {
  for (const LostStretch &lost : kLostStretches) {
    SCOPED_TRACE(lost.name);
    if (lost.needs_h264 && avcodec_find_encoder_by_name("libx264") == nullptr) continue;
    std::string why;
    const std::string muxing =
        "muxrate=" + std::to_string(lost.bit_rate) + ":max_delay=700000";
    const std::string in = apitest::cached_clip(std::string("seek_lost_") + lost.name + ".ts",
                                                ts_clip(50, muxing), &why);
    if (in.empty()) GTEST_SKIP() << "generator: " << why;
    const int64_t bytes_per_ms = lost.bit_rate / 8000;
    zero_stretch(in, lost.from_ms * bytes_per_ms, static_cast<size_t>(lost.length_ms * bytes_per_ms));
    if (HasFatalFailure()) return;
    for (const SeekCase &c : kSeeks)
      if (c.gop == 50 && c.start_ms >= lost.windows_from_ms && c.start_ms <= lost.windows_to_ms)
        expect_window(in, std::string("lost_") + lost.name + "_" + c.name, c.start_ms, c.end_ms);
  }
}

}  // namespace
