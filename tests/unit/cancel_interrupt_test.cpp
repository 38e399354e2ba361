// SPDX-License-Identifier: MIT
// A cancel reaches the job's reads: the input answers FFmpeg's interrupt
// checks with the job's cancel flag, and a read that a cancel interrupted
// ends the decode phase cancelled, not as if the input had ended (which
// would hand on a GIF cut short as done).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/media_gen.h"
#include "files/job_files.h"
#include "support/test_platform.h"
#include "worker/gif_thread.h"
#include "worker/worker_run.h"

namespace {

// A job's record, apart from the library's two slots; static storage starts
// zeroed, as theirs does.
ge_session g_job;

// Stands for the host's cancel arriving while a read waits: once armed, the
// first time a read asks, the cancel flag is raised and the read told to
// give up.
struct ge_cancel_during_read {
  ge_session *s = nullptr;
  bool armed = false;
};
int cancel_during_read(void *opaque) {
  auto *c = static_cast<ge_cancel_during_read *>(opaque);
  if (!c->armed) return 0;
  c->s->cancel.store(1, std::memory_order_relaxed);
  return 1;
}

// A 10 s clip, made once per process in a folder removed at its end: the
// decode reads it in many pieces.
const std::string &ten_second_clip() {
  static const std::string in = [] {
    const std::string dir = testplat::make_temp_dir("gifexport_interrupt_");
    static const struct Remove {
      std::string dir;
      ~Remove() {
        std::error_code ignored;
        std::filesystem::remove_all(testplat::fs_path(dir), ignored);
      }
    } remove{dir};
    fixture::ClipSpec clip;
    clip.frames = 250;
    std::string err;
    const std::string path = dir + "/in.mp4";
    return fixture::make_clip(path, clip, &err) ? path : std::string();
  }();
  return in;
}

void set_up_job(ge_session *s, const std::string &in) {
  ge_session_clear(s);
  std::snprintf(s->in_path, sizeof s->in_path, "%s", in.c_str());
  s->start_ms = 0;
  s->end_ms = s->total_ms = 10000;
  s->target_width = 160;
  s->fps = 10;
}

TEST(CancelInterrupt, JobInputAnswersTheCancelFlag) {
  const std::string in = ten_second_clip();
  ASSERT_FALSE(in.empty());
  set_up_job(&g_job, in);
  ge_run r;
  r.s = &g_job;
  ASSERT_EQ(ge_open_source(r), ge_step::ok);
  const AVIOInterruptCB cb = r.m.in_ctx->interrupt_callback;
  ASSERT_NE(cb.callback, nullptr);
  EXPECT_EQ(cb.callback(cb.opaque), 0);
  g_job.cancel.store(1, std::memory_order_relaxed);
  EXPECT_NE(cb.callback(cb.opaque), 0);
  ge_media_release(&r.m);
}

TEST(CancelInterrupt, InterruptedReadEndsTheDecodeCancelled) {
  const std::string in = ten_second_clip();
  ASSERT_FALSE(in.empty());
  set_up_job(&g_job, in);
  ge_run r;
  r.s = &g_job;
  // Opened as the worker opens it, but with the stand-in for the cancel.
  ge_cancel_during_read cancel{&g_job, false};
  ASSERT_GE(ge_open_input(&r.m.in_ctx, in.c_str(), AVIOInterruptCB{cancel_during_read, &cancel}), 0);
  ASSERT_GE(avformat_find_stream_info(r.m.in_ctx, nullptr), 0);
  r.video_index = av_find_best_stream(r.m.in_ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  ASSERT_GE(r.video_index, 0);
  r.video = r.m.in_ctx->streams[r.video_index];
  const AVCodec *decoder = avcodec_find_decoder(r.video->codecpar->codec_id);
  ASSERT_NE(decoder, nullptr);
  r.m.dec_ctx = avcodec_alloc_context3(decoder);
  ASSERT_NE(r.m.dec_ctx, nullptr);
  ASSERT_GE(avcodec_parameters_to_context(r.m.dec_ctx, r.video->codecpar), 0);
  ASSERT_GE(avcodec_open2(r.m.dec_ctx, decoder, nullptr), 0);
  // The graph comes with the window's first picture, which this decode never
  // reaches.
  ASSERT_EQ(ge_alloc_frames_and_packets(r), ge_step::ok);
  // The demuxer's buffer is moved to the file's end, so that the first read
  // of the decode that needs the file finds nothing buffered: interrupted,
  // it fails outright (a read that still finds bytes in the buffer would
  // give a short packet, after which the phase's own poll sees the cancel).
  ASSERT_GE(avio_seek(r.m.in_ctx->pb, avio_size(r.m.in_ctx->pb) - 1, SEEK_SET), 0);
  avio_r8(r.m.in_ctx->pb);
  cancel.armed = true;
  EXPECT_EQ(ge_decode_phase(r), ge_step::cancelled);
  EXPECT_EQ(g_job.cancel.load(std::memory_order_relaxed), 1) << "no read was interrupted";
  ge_media_release(&r.m);
}

// A cancel that interrupts the input's opening (the reads of its header and
// stream info) ends the job cancelled, not failed with "cannot open input".
TEST(CancelInterrupt, InterruptedOpenEndsCancelled) {
  const std::string in = ten_second_clip();
  ASSERT_FALSE(in.empty());
  set_up_job(&g_job, in);
  std::snprintf(g_job.out_path, sizeof g_job.out_path, "%s.gif", in.c_str());
  g_job.cancel.store(1, std::memory_order_relaxed);
  gif_thread(&g_job);
  EXPECT_EQ(g_job.state.load(std::memory_order_acquire), GE_STATE_CANCELLED) << g_job.error;
  EXPECT_STREQ(g_job.error, "");
  EXPECT_FALSE(testplat::exists(g_job.out_path));
}

}  // namespace
