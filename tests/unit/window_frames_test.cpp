// SPDX-License-Identifier: MIT
// Every GIF frame is the source frame on screen at its time, in order, none
// missing: for windows near the input's start in containers that cannot seek
// there (AVI and FLV cannot seek before their first index entry), for windows
// inside a file, for windows that start inside a frame or inside a gap of a
// variable-rate clip, and in one pass as in two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "gifexport.h"
#include "support/job_wait.h"
#include "support/media_gen.h"
#include "support/test_platform.h"
#include "support/window_frames.h"
#include "worker/two_pass_budget.h"

namespace {

using window_frames::cached_clip;
using window_frames::scratch_dir;
class WindowFrames : public window_frames::JobTest {};

using window_frames::expected_barcodes;
using window_frames::source_frames;
using window_frames::SourceFrame;

void expect_window(const std::string &in, const std::vector<SourceFrame> &source,
                   const std::string &name, int64_t start_ms, int64_t end_ms, int fps) {
  window_frames::expect_window(in, source, scratch_dir() + "/out.gif", name, start_ms, end_ms, fps);
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
    const std::string in = cached_clip(c.name, c.clip);
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
  const std::string in = cached_clip("gap.mp4", gap_clip());
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

// A barcode clip in a container whose time base is `tb` (the muxer's own
// where tb is 0/1): the same pictures at the same times in every container.
fixture::ClipSpec timed_clip(const char *format, int fps, int seconds, const char *options = "") {
  fixture::ClipSpec clip;
  clip.format = format;
  clip.fps = fps;
  clip.frames = fps * seconds;
  clip.gop = 5;
  clip.width = 160;
  clip.height = 90;
  clip.muxer_options = options;
  return clip;
}

struct TimedCase {
  const char *name;
  const char *content;  // clips of the same content show the same frames
  AVRational time_base;  // what the container stores, checked
  fixture::ClipSpec clip;
};

// A window's bounds are never rounded to the stream's ticks: in a time base
// of a second (a slide show in MP4 with a timescale of 1) or of a frame (AVI,
// MP4 with a timescale of the rate), a window starting between two ticks
// still starts there. Every container gives the frames the rule predicts,
// and so the same frames for the same content.
TEST_F(WindowFrames, WindowsAreExactInEveryTimeBase) {
  const TimedCase cases[] = {
      {"slides_1.mp4", "slides", {1, 1}, timed_clip("mp4", 1, 10, "video_track_timescale=1")},
      {"slides_1.avi", "slides", {1, 1}, timed_clip("avi", 1, 10)},
      {"slides_1000.mkv", "slides", {1, 1000}, timed_clip("matroska", 1, 10)},
      {"slides_90000.ts", "slides", {1, 90000}, timed_clip("mpegts", 1, 10)},
      {"clip25_25.avi", "clip25", {1, 25}, timed_clip("avi", 25, 6)},
      {"clip25_25.mp4", "clip25", {1, 25}, timed_clip("mp4", 25, 6, "video_track_timescale=25")},
      {"clip25_1000.mkv", "clip25", {1, 1000}, timed_clip("matroska", 25, 6)},
      {"clip25_12800.mp4", "clip25", {1, 12800}, timed_clip("mp4", 25, 6)},
      {"clip25_90000.ts", "clip25", {1, 90000}, timed_clip("mpegts", 25, 6)},
  };
  // Starts on and off the tick grids, at rates other than the source's.
  const struct {
    int64_t start_ms, end_ms;
    int fps;
  } windows[] = {{2500, 3500, 10}, {2400, 3400, 10}, {1030, 1730, 15}, {3333, 4444, 12}};
  std::map<std::string, std::vector<std::vector<int>>> by_content;
  for (const TimedCase &c : cases) {
    const std::string in = cached_clip(c.name, c.clip);
    ASSERT_FALSE(in.empty()) << c.name;
    fixture::DecodedVideo v;
    ASSERT_TRUE(fixture::decode_video(in, &v));
    ASSERT_EQ(av_cmp_q(v.time_base, c.time_base), 0)
        << c.name << " stores " << v.time_base.num << "/" << v.time_base.den;
    const std::vector<SourceFrame> source = source_frames(in);
    std::vector<std::vector<int>> gifs;
    for (const auto &w : windows) {
      const std::string name = std::string(c.name) + " " + std::to_string(w.start_ms) + "-" +
                               std::to_string(w.end_ms) + " at " + std::to_string(w.fps);
      SCOPED_TRACE(name);
      gifs.push_back(window_frames::gif_barcodes(in, scratch_dir() + "/out.gif", w.start_ms,
                                                 w.end_ms, w.fps, INT64_MAX));
      EXPECT_EQ(gifs.back(), expected_barcodes(source, w.start_ms, w.end_ms, w.fps));
    }
    auto [first, inserted] = by_content.emplace(c.content, gifs);
    if (!inserted) {
      EXPECT_EQ(gifs, first->second) << c.name << " differs from the same content";
    }
  }
}

}  // namespace
