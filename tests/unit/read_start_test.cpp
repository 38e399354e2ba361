// SPDX-License-Identifier: MIT
// Where reading of a window begins, run through the worker's own stages: a
// seek the demuxer refuses is no landing, whatever the demuxer did, so the
// input is read from its very start; a landing between key frames near the input's end steps back a
// little rather than reading the whole input again from its start.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "support/media_gen.h"
#include "support/test_platform.h"
#include "worker/worker_run.h"

namespace {

ge_session g_job;

const std::string &dir() {
  static const std::string d = testplat::make_temp_dir("gifexport_read_start_");
  return d;
}

class ReadStart : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(testplat::fs_path(dir()), ignored);
  }
  void TearDown() override { ge_media_release(&r.m); }

  // Opens the input as a job on [start_ms, end_ms) at 10 fps does, and seeks
  // towards the window.
  ge_step open(const std::string &in, int64_t start_ms, int64_t end_ms) {
    ge_session_clear(&g_job);
    std::snprintf(g_job.in_path, sizeof g_job.in_path, "%s", in.c_str());
    g_job.start_ms = start_ms;
    g_job.end_ms = end_ms;
    g_job.total_ms = end_ms - start_ms;
    g_job.target_width = 96;
    g_job.fps = 10;
    r.s = &g_job;
    return ge_open_source(r);
  }

  // Reads and decodes the window into the graph, as the decode phase does.
  ge_step decode() {
    const ge_step allocated = ge_alloc_frames_and_packets(r);
    return allocated == ge_step::ok ? ge_decode_phase(r) : allocated;
  }

  ge_run r;
};

std::string made(const std::string &name, const fixture::ClipSpec &clip) {
  const std::string path = dir() + "/" + name;
  if (testplat::exists(path)) return path;
  std::string err;
  return fixture::make_clip(path, clip, &err) ? path : "";
}

// AVI cannot seek before its first key frame's index entry: cut in the middle
// of its first group of pictures, its first key frame is at 0.6 s, and a
// window from 0.3 s is a target the demuxer refuses.
TEST_F(ReadStart, ARefusedSeekReadsFromTheInputsStart) {
  fixture::ClipSpec clip;
  clip.format = "avi";
  clip.encoder = "mpeg4";
  clip.frames = 100;
  clip.gop = 25;
  clip.width = 160;
  clip.height = 90;
  for (int i = 0; i < 10; ++i) clip.dropped_video_packets.push_back(i);
  const std::string in = made("cut_mid_gop.avi", clip);
  ASSERT_FALSE(in.empty());
  // The fixture's own check: the demuxer refuses the seek.
  AVFormatContext *ic = nullptr;
  ASSERT_GE(avformat_open_input(&ic, in.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(ic, nullptr), 0);
  const int video = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  ASSERT_GE(video, 0);
  const int64_t target = av_rescale_q(300, AVRational{1, 1000}, ic->streams[video]->time_base);
  EXPECT_LT(av_seek_frame(ic, video, target, AVSEEK_FLAG_BACKWARD), 0);
  avformat_close_input(&ic);

  ASSERT_EQ(open(in, 300, 1300), ge_step::ok);
  EXPECT_TRUE(r.read.at_input_start);
  EXPECT_EQ(decode(), ge_step::ok);
}

// A transport stream seeks by timestamp and lands between key frames. For a
// window on the input's last frame, with B-frames and key frames 10 s apart,
// no key frame follows the landing: the run steps back, on to the key frame
// before, instead of reading on to the end and then the whole input again
// from its start.
TEST_F(ReadStart, ALandingNearTheEndStepsBackNotToTheStart) {
  fixture::ClipSpec clip;
  clip.format = "mpegts";
  clip.encoder = "libx264";
  clip.frames = 500;
  clip.gop = 250;
  clip.max_b_frames = 2;
  clip.width = 160;
  clip.height = 90;
  const std::string in = made("b_frames.ts", clip);
  ASSERT_FALSE(in.empty());
  ASSERT_EQ(open(in, 19960, 20000), ge_step::ok);
  EXPECT_FALSE(r.read.at_input_start);
  EXPECT_EQ(decode(), ge_step::ok);
  EXPECT_FALSE(r.read.at_input_start) << "read the input again from its start";
  EXPECT_NE(r.m.graph, nullptr) << "no frame of the window was fed";
}

}  // namespace
