// SPDX-License-Identifier: MIT
// What a job writes: the GIF decoded back and checked as a user sees it.
#include <nlohmann/json.hpp>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "api/api_fixture.h"
#include "support/test_platform.h"

extern "C" {
#include <libavfilter/avfilter.h>
}

// The ffmpeg command-line tool of the FFmpeg these tests are built against,
// found by CMake beside its libraries; empty when it has none.
#ifndef GIFEXPORT_FFMPEG_TOOL
#define GIFEXPORT_FFMPEG_TOOL ""
#endif

namespace {

using apitest::ApiTest;
using nlohmann::json;

// Decodes the GIF at path; fails the test when it cannot be read.
fixture::DecodedVideo decode_gif(const std::string &path) {
  fixture::DecodedVideo gif;
  std::string err;
  EXPECT_TRUE(fixture::decode_video(path, &gif, &err)) << err;
  EXPECT_EQ(gif.codec, "gif");
  return gif;
}

int frame_index(const fixture::DecodedFrame &f) {
  return fixture::index_from_rgb(f.rgb.data(), f.width, f.height, f.width * 3);
}

// The source frame (25 fps, frame i at i/25 s) that the rate stage shows in
// output slot n at `fps`: the last one whose time, rounded to the output
// rate, is not after the slot.
int source_frame_for_slot(int64_t n, int fps) {
  int i = 0;
  while (std::llround((i + 1) * fps / 25.0) <= n) ++i;
  return i;
}

struct WindowCase {
  const char *name;
  int64_t start_ms, end_ms;
  int width, fps;
  int expected_width, expected_frames;
};

const WindowCase kWindows[] = {
    {"defaults_first_second", 0, 1000, 0, 0, 480, 15},
    {"mid_window_at_10fps", 2000, 3000, 320, 10, 320, 10},
    {"late_window_reached_by_seek", 8000, 9000, 200, 25, 200, 25},
    {"odd_width_and_one_fps", 3000, 6000, 99, 1, 99, 3},
    {"clamped_width_and_rate", 1000, 2000, 10, 50, 64, 30},
    // Windows shorter than half a GIF frame that still hold a source frame:
    // each gives that frame once.
    {"40ms_window_at_10fps", 1000, 1040, 320, 10, 320, 1},
    {"30ms_window_at_15fps", 1000, 1030, 320, 15, 320, 1},
    {"2ms_window_around_a_frame", 999, 1001, 320, 25, 320, 1},
};

class Window : public ApiTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(Window, GifMatchesTheWindow) {
  const WindowCase &c = GetParam();
  const std::string out = apitest::scratch_path(std::string(c.name) + ".gif");
  const apitest::JobEnd end =
      apitest::run_job(apitest::indexed_clip_10s(), out, c.start_ms, c.end_ms, c.width, c.fps);
  ASSERT_EQ(end.id, 0);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(0);
  const json result = json::parse(gifexport_result(0));

  const fixture::DecodedVideo gif = decode_gif(out);
  ASSERT_EQ(static_cast<int>(gif.frames.size()), c.expected_frames);
  EXPECT_EQ(result["frames"], c.expected_frames);
  EXPECT_EQ(gif.stream_width, c.expected_width);
  // 320x240 source: height in proportion, made even.
  const int height = gif.stream_height;
  EXPECT_EQ(height % 2, 0);
  EXPECT_NEAR(height, c.expected_width * 3 / 4, 2);
  EXPECT_EQ(result["width"], gif.stream_width);
  EXPECT_EQ(result["height"], height);
  EXPECT_EQ(result["out_size_bytes"], static_cast<int64_t>(apitest::read_file(out).size()));

  const int fps = result["fps"];
  // The source frames inside the window, and the GIF frame slot of the first.
  const int first_source_index = static_cast<int>((c.start_ms * 25 + 999) / 1000);
  const int last_source_index = static_cast<int>((c.end_ms * 25 + 999) / 1000) - 1;
  const int64_t first_slot = std::llround(first_source_index * fps / 25.0);
  for (size_t k = 0; k < gif.frames.size(); ++k) {
    // Frame k is shown at k/fps: GIF delays are in hundredths of a second.
    EXPECT_EQ(gif.frames[k].pts,
              av_rescale_q(static_cast<int64_t>(k), AVRational{1, fps}, gif.time_base))
        << "frame " << k;
    // Each frame shows the source frame at its time, the first one the
    // window's first; the end is exclusive.
    const int expected = std::min(
        source_frame_for_slot(first_slot + static_cast<int64_t>(k), fps), last_source_index);
    EXPECT_EQ(frame_index(gif.frames[k]), expected) << "frame " << k;
    EXPECT_LE(frame_index(gif.frames[k]), last_source_index);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Window, ::testing::ValuesIn(kWindows),
                         [](const auto &info) { return std::string(info.param.name); });

// Inputs whose layout differs from the plain clip: each converts its window.
struct InputCase {
  const char *name;
  fixture::ClipSpec clip;
  int64_t start_ms, end_ms;
  int expected_frames, first_index;
};

fixture::ClipSpec spec_with(void (*edit)(fixture::ClipSpec &)) {
  fixture::ClipSpec clip;
  edit(clip);
  return clip;
}

const InputCase kInputs[] = {
    {"audio_is_stream_0",
     spec_with([](fixture::ClipSpec &s) { s.audio_stream_first = true; s.second_video = true; }),
     400, 1400, 15, 10},
    // A transport stream whose timestamps begin at 1.4 s: the window counts
    // from the beginning of the input (counted from timestamp 0 it would
    // hold no frame at all).
    {"transport_stream_starting_late",
     spec_with([](fixture::ClipSpec &s) { s.format = "mpegts"; s.frames = 75; s.pts_offset = 35; }),
     0, 1000, 15, 0},
    {"one_source_frame",
     spec_with([](fixture::ClipSpec &s) { s.frames = 1; }), 0, -1, 1, 0},
    // A lone frame shorter than one GIF frame is still shown once.
    {"one_frame_at_60fps",
     spec_with([](fixture::ClipSpec &s) { s.frames = 1; s.fps = 60; }), 0, -1, 1, 0},
    // One frame that lasts an hour: shown for the window only, not the hour.
    {"hour_long_still",
     spec_with([](fixture::ClipSpec &s) {
       s.time_base = {1, 1000}; s.frames = 1; s.frame_pts = {0}; s.last_frame_duration = 3600000; }),
     0, 1000, 15, 0},
    {"bframes_matroska",
     spec_with([](fixture::ClipSpec &s) {
       s.format = "matroska"; s.encoder = "libx264"; s.max_b_frames = 2; s.frames = 100; }),
     1000, 3000, 30, 25},
};

class Input : public ApiTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(Input, ConvertsTheWindow) {
  const InputCase &c = GetParam();
  std::string why;
  const std::string in = apitest::cached_clip(std::string(c.name), c.clip, &why);
  if (in.empty()) GTEST_SKIP() << "generator: " << why;
  const std::string out = apitest::scratch_path(std::string(c.name) + ".gif");
  const apitest::JobEnd end = apitest::run_job(in, out, c.start_ms, c.end_ms, 160, 15);
  ASSERT_EQ(end.id, 0);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(0);
  const fixture::DecodedVideo gif = decode_gif(out);
  ASSERT_EQ(static_cast<int>(gif.frames.size()), c.expected_frames);
  EXPECT_EQ(frame_index(gif.frames[0]), c.first_index);
}

INSTANTIATE_TEST_SUITE_P(Table, Input, ::testing::ValuesIn(kInputs),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ApiTest, OutputThatCannotBeCreatedFails) {
  const std::string out = apitest::scratch_dir() + "/no/such/dir/out.gif";
  const apitest::JobEnd end = apitest::run_job(apitest::indexed_clip_10s(), out, 0, 500);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_FAILED);
  EXPECT_EQ(gifexport_result(0),
            std::string("{\"state\":5,\"ok\":false,\"error\":\"cannot open output file\"}"));
  // The failure came in the encode phase, after the whole window was read.
  const json progress = json::parse(gifexport_progress(0));
  EXPECT_EQ(progress["state"], GIFEXPORT_STATE_FAILED);
  EXPECT_EQ(progress["phase"], "encode");
  EXPECT_GT(progress["percent"], 90.0);
}

TEST_F(ApiTest, WriteErrorFailsAndRemovesOnlyTheLink) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows has no always-full device like /dev/full";
#else
  struct stat before;
  if (stat("/dev/full", &before) != 0) GTEST_SKIP() << "no /dev/full";
  const std::string link_path = apitest::scratch_path("full.gif");
  ASSERT_TRUE(testplat::make_symlink("/dev/full", link_path));
  const apitest::JobEnd end = apitest::run_job(apitest::indexed_clip_10s(), link_path, 0, 2000);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_FAILED);
  EXPECT_EQ(json::parse(gifexport_result(0))["error"], "write failed");
  gifexport_free(0);
  EXPECT_FALSE(apitest::file_exists(link_path));
  struct stat after;
  ASSERT_EQ(stat("/dev/full", &after), 0);
  EXPECT_TRUE(S_ISCHR(after.st_mode));
#endif
}

// The libavfilter version that `tool -version` reports, as "X.Y.Z"; empty
// when the tool cannot be run.
std::string tool_libavfilter_version(const std::string &tool) {
  std::string version;
  FILE *p = popen(("'" + tool + "' -hide_banner -version 2>/dev/null").c_str(), "r");
  if (p == nullptr) return version;
  char line[256];
  while (fgets(line, sizeof line, p) != nullptr) {
    unsigned major = 0, minor = 0, micro = 0;
    if (sscanf(line, " libavfilter %u. %u. %u", &major, &minor, &micro) == 3)
      version = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
  }
  pclose(p);
  return version;
}

// The same chain run by the ffmpeg command-line tool gives the same pictures.
// Its palette stages differ between FFmpeg versions, so the tool must be the
// one of the libraries the library runs with.
TEST_F(ApiTest, FramesMatchTheCommandLineTool) {
  const std::string tool = GIFEXPORT_FFMPEG_TOOL;
  if (tool.empty()) GTEST_SKIP() << "no ffmpeg tool beside the FFmpeg built against";
  const unsigned linked = avfilter_version();
  const std::string linked_text = std::to_string(AV_VERSION_MAJOR(linked)) + "." +
                                  std::to_string(AV_VERSION_MINOR(linked)) + "." +
                                  std::to_string(AV_VERSION_MICRO(linked));
  ASSERT_EQ(tool_libavfilter_version(tool), linked_text)
      << tool << " is not the tool of the libavfilter these tests run with";
  fixture::ClipSpec clip;
  clip.encoder = "libx264";
  clip.pattern = fixture::Pattern::Moving;
  clip.frames = 100;  // 4 s at 25 fps
  std::string why;
  const std::string in = apitest::cached_clip("oracle.mp4", clip, &why);
  if (in.empty()) GTEST_SKIP() << why;
  const std::string ours = apitest::scratch_path("ours.gif");
  ASSERT_EQ(apitest::run_job(in, ours, 0, -1).status, GIFEXPORT_STATE_DONE);
  const std::string theirs = apitest::scratch_path("theirs.gif");
  const std::string cmd =
      "'" + tool + "' -v error -nostdin -y -i '" + in +
      "' -vf 'fps=15,scale=480:-2:flags=lanczos,split[a][b];[a]palettegen=stats_mode=diff[p];"
      "[b][p]paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle' '" + theirs + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const fixture::DecodedVideo a = decode_gif(ours), b = decode_gif(theirs);
  ASSERT_EQ(a.frames.size(), b.frames.size());
  ASSERT_EQ(a.frames.size(), 60u);
  for (size_t k = 0; k < a.frames.size(); ++k) {
    EXPECT_EQ(a.frames[k].pts, b.frames[k].pts) << "frame " << k;
    EXPECT_TRUE(a.frames[k].rgb == b.frames[k].rgb) << "frame " << k << " differs";
  }
}

}  // namespace
