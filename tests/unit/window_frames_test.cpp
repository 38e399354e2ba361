// SPDX-License-Identifier: MIT
// Every GIF frame is the source frame on screen at its time, in order, none
// missing: for windows near the input's start in containers that cannot seek
// there (AVI and FLV cannot seek before their first index entry), for windows
// inside a file, for windows that start inside a frame or inside a gap of a
// variable-rate clip, and in one pass as in two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <string>
#include <vector>

#include "gifexport.h"
#include "support/job_wait.h"
#include "support/media_gen.h"
#include "support/test_platform.h"
#include "worker/worker_run.h"

namespace {

// The test's scratch folder, made once and removed with everything in it
// when the tests end.
const std::string &dir() {
  static const std::string d = testplat::make_temp_dir("gifexport_window_frames_");
  return d;
}

class WindowFrames : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(testplat::fs_path(dir()), ignored);
  }
  void TearDown() override {
    gifexport_free(0);
    gifexport_free(1);
    g_held_frames_budget = kDefaultBudget;
  }
  const int64_t kDefaultBudget = g_held_frames_budget;
};

// A source frame: its index (the barcode it shows) and its time in ms.
struct SourceFrame {
  int index;
  int64_t ms;
};

int barcode(const fixture::DecodedFrame &f) {
  return fixture::index_from_rgb(f.rgb.data(), f.width, f.height, f.width * 3);
}

// The source's frames as a player times them: the decoder's timestamp (its
// best estimate where the container gives none), from the stream's start.
std::vector<SourceFrame> source_frames(const std::string &path) {
  fixture::DecodedVideo v;
  std::string err;
  EXPECT_TRUE(fixture::decode_video(path, &v, &err)) << err;
  const int64_t origin = v.start_time == AV_NOPTS_VALUE ? 0 : v.start_time;
  std::vector<SourceFrame> frames;
  for (const fixture::DecodedFrame &f : v.frames) {
    const int64_t ts = f.frame_pts != AV_NOPTS_VALUE ? f.frame_pts : f.pts;
    // A frame without any timestamp (the last of an AVI with B-frames) has
    // no place on screen.
    if (ts == AV_NOPTS_VALUE) continue;
    frames.push_back({barcode(f), av_rescale_q(ts - origin, v.time_base, AVRational{1, 1000})});
  }
  return frames;
}

// The GIF frame slot (of 1/fps) in which a time in ms lands, to the nearest.
int64_t slot_of(int64_t ms, int fps) { return av_rescale_rnd(ms, fps, 1000, AV_ROUND_NEAR_INF); }

// What the GIF of [start_ms, end_ms) at fps must show, slot by slot: each GIF
// frame shows the latest source frame whose slot is not after its own. The
// picture on screen when the window starts (the last frame before it) counts
// as starting at the window's start. The GIF begins with the first slot that
// has a picture: a window before the first frame has none until it comes.
std::vector<int> expected_barcodes(const std::vector<SourceFrame> &source, int64_t start_ms,
                                   int64_t end_ms, int fps) {
  std::vector<int> expected;
  for (int64_t slot = slot_of(start_ms, fps); slot < slot_of(end_ms, fps); ++slot) {
    int index = -1;
    int64_t latest = INT64_MIN;
    for (const SourceFrame &f : source)
      if (f.ms < end_ms && slot_of(std::max(f.ms, start_ms), fps) <= slot && f.ms >= latest) {
        latest = f.ms;
        index = f.index;
      }
    if (index >= 0 || !expected.empty()) expected.push_back(index);
  }
  return expected;
}

// Runs the job with the held-frames budget given (0 forces two passes) and
// returns the barcodes of its GIF; fails the test if the job is not done.
std::vector<int> gif_barcodes(const std::string &in, const std::string &out, int64_t start_ms,
                              int64_t end_ms, int fps, int64_t budget) {
  g_held_frames_budget = budget;
  std::vector<int> codes;
  const int id = gifexport_start(in.c_str(), out.c_str(), start_ms, end_ms, 96, fps);
  EXPECT_EQ(id, 0);
  if (id < 0) return codes;
  const int state = testjob::wait_final(id);
  EXPECT_EQ(state, GIFEXPORT_STATE_DONE) << gifexport_result(id);
  gifexport_free(id);
  fixture::DecodedVideo gif;
  std::string err;
  if (state == GIFEXPORT_STATE_DONE && fixture::decode_video(out, &gif, &err))
    for (const fixture::DecodedFrame &f : gif.frames) codes.push_back(barcode(f));
  return codes;
}

// Checks that GIF frame k shows the source frame on screen at start + k/fps.
void expect_window(const std::string &in, const std::vector<SourceFrame> &source,
                   const std::string &name, int64_t start_ms, int64_t end_ms, int fps) {
  const std::vector<int> expected = expected_barcodes(source, start_ms, end_ms, fps);
  for (const int64_t budget : {INT64_MAX, int64_t{0}}) {
    SCOPED_TRACE(name + (budget == 0 ? ", two passes" : ", one pass"));
    const std::vector<int> got = gif_barcodes(in, dir() + "/out.gif", start_ms,
                                              end_ms, fps, budget);
    EXPECT_EQ(got, expected);
  }
}

// A clip made once per process under a name; empty (the test skips) when
// this FFmpeg cannot write it (no FLV muxer or no H.264 encoder, say).
std::string clip_path(const std::string &name, const fixture::ClipSpec &clip) {
  const std::string path = dir() + "/" + name;
  if (testplat::exists(path)) return path;
  std::string err;
  return fixture::make_clip(path, clip, &err) ? path : "";
}

fixture::ClipSpec b_frame_clip(const char *format, const char *encoder, int fps, int gop) {
  fixture::ClipSpec clip;
  clip.format = format;
  clip.encoder = encoder;
  clip.fps = fps;
  clip.frames = 10 * fps;
  clip.gop = gop;
  clip.max_b_frames = 2;
  clip.width = 160;
  clip.height = 120;
  return clip;
}

struct ContainerCase {
  const char *name;
  fixture::ClipSpec clip;
};

// MPEG-4 part 2 with B-frames in AVI stamps every frame one frame late, so a
// seek to a key frame lands after the window's start, and AVI cannot seek
// before its first index entry. H.264 in FLV cannot either; its decoder
// waits for a key frame by itself.
const ContainerCase kContainers[] = {
    {"xvid_25fps.avi", b_frame_clip("avi", "mpeg4", 25, 25)},
    {"xvid_30fps.avi", b_frame_clip("avi", "mpeg4", 30, 30)},
    {"h264_25fps.flv", b_frame_clip("flv", "libx264", 25, 25)},
    // No packet marked key at all: such inputs are decoded as they come,
    // from the input's start.
    {"no_key_flags.nut", [] {
       fixture::ClipSpec clip = b_frame_clip("nut", "mpeg4", 25, 25);
       clip.no_key_flags = true;
       return clip;
     }()},
};

TEST_F(WindowFrames, EarlyWindowsInContainersThatCannotSeekToTheStart) {
  for (const ContainerCase &c : kContainers) {
    const std::string in = clip_path(c.name, c.clip);
    if (in.empty()) {
      std::printf("%s left out: this FFmpeg cannot write it\n", c.name);
      continue;
    }
    const std::vector<SourceFrame> source = source_frames(in);
    ASSERT_GE(static_cast<int>(source.size()), c.clip.frames - 1) << c.name;
    const int fps = c.clip.fps;
    for (const int64_t start : {0, 30, 520, 1000, 6000})
      expect_window(in, source, std::string(c.name) + " from " + std::to_string(start), start,
                    start + 1000, fps);
  }
}

// A variable-rate clip as screen recorders store one: a frame only when the
// picture changes. 25 frames a second for 1 s, nothing for 3 s, then 25 a
// second again.
fixture::ClipSpec gap_clip() {
  fixture::ClipSpec clip;
  clip.time_base = {1, 1000};
  clip.width = 160;
  clip.height = 120;
  clip.frames = 75;
  for (int i = 0; i < clip.frames; ++i) clip.frame_pts.push_back(i < 25 ? i * 40 : 3000 + i * 40);
  return clip;
}

TEST_F(WindowFrames, TheWindowStartsWithThePictureOnScreen) {
  const std::string in = clip_path("gap.mp4", gap_clip());
  ASSERT_FALSE(in.empty());
  const std::vector<SourceFrame> source = source_frames(in);
  const struct {
    const char *name;
    int64_t start_ms, end_ms;
    int fps;
  } cases[] = {
      // Wholly inside the gap: the last picture before it, for the whole window.
      {"inside_the_gap", 1500, 3500, 10},
      // From inside the gap to past it: the held picture, then the frames.
      {"across_the_gap_end", 2500, 4600, 10},
      // Between two frames 40 ms apart, with a GIF slot of its own.
      {"inside_a_frame", 4410, 5000, 25},
      // Exactly on a frame: no earlier picture is shown.
      {"on_a_frame", 4400, 5000, 25},
  };
  for (const auto &c : cases) expect_window(in, source, c.name, c.start_ms, c.end_ms, c.fps);
}

}  // namespace
