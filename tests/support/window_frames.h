// SPDX-License-Identifier: MIT
// What a job's GIF must show, frame by frame, for barcode clips (the
// IndexBars pattern): a small model of the window's rule, and the job run
// that it is checked against.
//
// The rule: a source frame at time t (ms from the input's start, exact)
// lands in GIF slot round((t - start) * fps / 1000), halves up; the picture
// on screen at the start (the latest frame before it) lands in slot 0. GIF
// frame k shows the latest picture whose slot is k or less; the GIF begins
// with the first slot that has a picture and ends before the slot of the
// window's end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "gifexport.h"
#include "support/job_wait.h"
#include "support/media_gen.h"
#include "support/test_platform.h"
#include "worker/two_pass_budget.h"

namespace window_frames {

// The test program's scratch folder, made on first use and removed with all
// it holds when the program ends.
inline const std::string &scratch_dir() {
  static const struct Folder {
    std::string path = testplat::make_temp_dir("gifexport_window_frames_");
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(testplat::fs_path(path), ignored);
    }
  } folder;
  return folder.path;
}

// A clip made once per program under `name` in the scratch folder; empty
// (with why in *err) when this FFmpeg cannot write it.
inline std::string cached_clip(const std::string &name, const fixture::ClipSpec &clip,
                               std::string *err = nullptr) {
  const std::string path = scratch_dir() + "/" + name;
  if (testplat::exists(path)) return path;
  return fixture::make_clip(path, clip, err) ? path : "";
}

// Frees both slots and restores the library's budget after each test.
class JobTest : public ::testing::Test {
 protected:
  void TearDown() override {
    gifexport_free(0);
    gifexport_free(1);
    ge_set_held_frames_budget(GE_HELD_FRAMES_BUDGET);
  }
};

// A source frame: the barcode it shows and its time from the input's start,
// exactly (ms_num / ms_den ms) and rounded to the nearest ms, which decides
// whether it lies in the window.
struct SourceFrame {
  int index;
  int64_t ms;
  int64_t ms_num, ms_den;
};

inline int barcode(const fixture::DecodedFrame &f) {
  return fixture::index_from_rgb(f.rgb.data(), f.width, f.height, f.width * 3);
}

// The source's frames as a player times them: the decoder's timestamp (its
// best estimate where the container gives none), from the input's start.
inline std::vector<SourceFrame> source_frames(const std::string &path) {
  fixture::DecodedVideo v;
  std::string err;
  EXPECT_TRUE(fixture::decode_video(path, &v, &err)) << err;
  const int64_t origin_ms = v.input_start_time == AV_NOPTS_VALUE
                                ? 0
                                : av_rescale(v.input_start_time, 1, 1000);
  std::vector<SourceFrame> frames;
  for (const fixture::DecodedFrame &f : v.frames) {
    const int64_t ts = f.frame_pts != AV_NOPTS_VALUE ? f.frame_pts : f.pts;
    // A frame without any timestamp (the last of an AVI with B-frames) has
    // no place on screen.
    if (ts == AV_NOPTS_VALUE) continue;
    const int64_t ms =
        av_rescale_q(ts, v.time_base, AVRational{1, 1000}) - origin_ms;
    frames.push_back({barcode(f), ms,
                      ts * v.time_base.num * 1000 - origin_ms * v.time_base.den,
                      v.time_base.den});
  }
  return frames;
}

// The GIF slot of the frame: halves up, from the window's start.
inline int64_t slot_in_window(const SourceFrame &f, int64_t start_ms, int fps) {
  return av_rescale_rnd(f.ms_num - start_ms * f.ms_den, fps, f.ms_den * 1000, AV_ROUND_NEAR_INF);
}

// The barcodes the GIF of [start_ms, end_ms) at fps must show, by the rule.
inline std::vector<int> expected_barcodes(const std::vector<SourceFrame> &source,
                                          int64_t start_ms, int64_t end_ms, int fps) {
  const int64_t slots = std::max<int64_t>(
      1, av_rescale_rnd(end_ms - start_ms, fps, 1000, AV_ROUND_NEAR_INF));
  std::vector<int> expected;
  for (int64_t k = 0; k < slots; ++k) {
    int index = -1;
    for (const SourceFrame &f : source)
      if (f.ms < end_ms && (f.ms < start_ms ? 0 : slot_in_window(f, start_ms, fps)) <= k)
        index = f.index;
    if (index >= 0 || !expected.empty()) expected.push_back(index);
  }
  return expected;
}

// Runs the job with the held-frames budget given (0 forces two passes) at
// width 96 and returns the barcodes of its GIF; fails the test if the job is
// not done.
inline std::vector<int> gif_barcodes(const std::string &in, const std::string &out,
                                     int64_t start_ms, int64_t end_ms, int fps, int64_t budget) {
  ge_set_held_frames_budget(budget);
  std::vector<int> codes;
  const int id = gifexport_start(in.c_str(), out.c_str(), start_ms, end_ms, 96, fps);
  EXPECT_EQ(id, 0);
  if (id < 0) return codes;
  const int state = testjob::wait_final(id);
  EXPECT_EQ(state, GIFEXPORT_STATE_DONE) << gifexport_result(id);
  gifexport_free(id);
  ge_set_held_frames_budget(GE_HELD_FRAMES_BUDGET);
  fixture::DecodedVideo gif;
  std::string err;
  if (state == GIFEXPORT_STATE_DONE && fixture::decode_video(out, &gif, &err))
    for (const fixture::DecodedFrame &f : gif.frames) codes.push_back(barcode(f));
  return codes;
}

// Checks the GIF of the window against the rule, in one pass and in two.
inline void expect_window(const std::string &in, const std::vector<SourceFrame> &source,
                          const std::string &out, const std::string &name, int64_t start_ms,
                          int64_t end_ms, int fps, bool both_passes = true) {
  const std::vector<int> expected = expected_barcodes(source, start_ms, end_ms, fps);
  for (const int64_t budget : {INT64_MAX, int64_t{0}}) {
    if (budget == 0 && !both_passes) break;
    SCOPED_TRACE(name + (budget == 0 ? ", two passes" : ", one pass"));
    EXPECT_EQ(gif_barcodes(in, out, start_ms, end_ms, fps, budget), expected);
  }
}

}  // namespace window_frames
