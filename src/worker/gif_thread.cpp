// SPDX-License-Identifier: MIT
#include "worker/gif_thread.h"

#include <cstdio>

extern "C" {
#include <libavutil/time.h>
}

#include "files/job_files.h"
#include "worker/worker_run.h"

// Both saturate rather than overflow: a crafted file may put its start time
// and timestamps near the 64-bit limits, and a rescale that does not fit
// answers INT64_MIN.
int64_t ge_window_ms_to_stream_ts(const ge_run &r, int64_t ms) {
  return av_rescale_q(av_sat_add64(ms, r.input_start_ms), AVRational{1, 1000},
                      r.video->time_base);
}

int64_t ge_stream_ts_to_window_ms(const ge_run &r, int64_t ts) {
  return av_sat_sub64(av_rescale_q(ts, r.video->time_base, AVRational{1, 1000}),
                      r.input_start_ms);
}

namespace {

// 128-bit arithmetic: a tick times the time base's numerator, 1000 and the
// rate does not fit 64 bits for crafted timestamps.
__extension__ typedef __int128 ge_wide;

// n / d (d > 0) rounded to the nearest, halves away from zero, saturated.
int64_t divide_to_nearest(ge_wide n, ge_wide d) {
  const ge_wide q = n >= 0 ? (2 * n + d) / (2 * d) : -((-2 * n + d) / (2 * d));
  if (q > INT64_MAX) return INT64_MAX;
  if (q < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(q);
}

}  // namespace

int64_t ge_gif_slot(const ge_run &r, int64_t ts) {
  // t - start in ms is (ts * num * 1000 - origin * den) / den, where origin
  // is the window's start from the input's start, in ms.
  const AVRational tb = r.video->time_base;
  if (tb.num <= 0 || tb.den <= 0) return 0;  // demuxers never give such a time base
  const ge_wide origin = static_cast<ge_wide>(r.input_start_ms) + r.s->start_ms;
  const ge_wide ms_num = static_cast<ge_wide>(ts) * tb.num * 1000 - origin * tb.den;
  return divide_to_nearest(ms_num * r.s->fps, static_cast<ge_wide>(tb.den) * 1000);
}

int64_t ge_window_end_slot(const ge_run &r) {
  return divide_to_nearest(static_cast<ge_wide>(r.s->end_ms - r.s->start_ms) * r.s->fps, 1000);
}

namespace {

ge_step open_input(ge_run &r) {
  ge_media &m = r.m;
  if (ge_open_input(&m.in_ctx, r.s->in_path, ge_cancel_interrupt(r)) < 0)
    return ge_fail(r, "cannot open input");
  if (avformat_find_stream_info(m.in_ctx, nullptr) < 0) return ge_fail(r, "no stream info");
  if (m.in_ctx->start_time != AV_NOPTS_VALUE)
    r.input_start_ms = av_rescale_q(m.in_ctx->start_time, AV_TIME_BASE_Q, AVRational{1, 1000});
  return ge_step::ok;
}

ge_step choose_video_stream(ge_run &r) {
  AVFormatContext *in_ctx = r.m.in_ctx;
  for (unsigned i = 0; i < in_ctx->nb_streams; ++i) {
    if (in_ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      r.video = in_ctx->streams[i];
      r.video_index = static_cast<int>(i);
      return ge_step::ok;
    }
  }
  return ge_fail(r, "no video stream");
}

ge_step open_decoder(ge_run &r) {
  const AVCodec *decoder = avcodec_find_decoder(r.video->codecpar->codec_id);
  if (decoder == nullptr) return ge_fail(r, "no decoder");
  r.m.dec_ctx = avcodec_alloc_context3(decoder);
  if (r.m.dec_ctx == nullptr) return ge_fail(r, "oom");
  // A copy that fails leaves the context at its defaults; the open then
  // decides whether the decoder can work.
  const int copied = avcodec_parameters_to_context(r.m.dec_ctx, r.video->codecpar);
  static_cast<void>(copied);
  if (avcodec_open2(r.m.dec_ctx, decoder, nullptr) < 0) return ge_fail(r, "decoder open failed");
  return ge_step::ok;
}

}  // namespace

ge_step ge_open_input_and_decoder(ge_run &r) {
  // Reading again from a new start (a second pass, or the input's very start
  // when a seek cannot give it) begins with the input opened afresh.
  avcodec_free_context(&r.m.dec_ctx);
  avformat_close_input(&r.m.in_ctx);
  r.video = nullptr;
  r.video_index = -1;
  r.input_start_ms = 0;
  r.read = ge_read_start{};
  ge_step step = open_input(r);
  if (step == ge_step::ok) step = choose_video_stream(r);
  if (step == ge_step::ok) step = open_decoder(r);
  return step;
}

ge_step ge_open_source(ge_run &r) {
  const ge_step step = ge_open_input_and_decoder(r);
  return step == ge_step::ok ? ge_seek_to_window_start(r) : step;
}

ge_step ge_alloc_frames_and_packets(ge_run &r) {
  ge_media &m = r.m;
  m.frame = av_frame_alloc();
  m.fitted = av_frame_alloc();
  m.filt_frame = av_frame_alloc();
  m.on_screen = av_frame_alloc();
  m.in_pkt = av_packet_alloc();
  m.out_pkt = av_packet_alloc();
  if (!m.frame || !m.fitted || !m.filt_frame || !m.on_screen || !m.in_pkt || !m.out_pkt)
    return ge_fail(r, "oom");
  return ge_step::ok;
}

namespace {

ge_step run_stages(ge_run &r) {
  ge_step step = ge_open_source(r);
  if (step == ge_step::ok) step = ge_alloc_frames_and_packets(r);
  // The graph is built on the window's first picture, whose size decides
  // between one pass and two: the header's may be missing or change.
  if (step == ge_step::ok) step = ge_decode_phase(r);
  if (step == ge_step::ok && r.m.graph == nullptr) step = ge_fail(r, "no frames in segment");
  if (step == ge_step::ok) step = r.two_passes ? ge_run_two_passes(r) : ge_encode_phase(r);
  return step;
}

// The cancelled and failed endings: the job leaves no file at its output
// path, not even one that stood there before it.
void end_without_output(ge_run &r, int final_state) {
  if (final_state == GE_STATE_FAILED)
    std::snprintf(r.s->error, sizeof r.s->error, "%s", r.failure);
  ge_abandon_muxer(&r.m);
  ge_close_output_file(&r.m);
  ge_output_discard(&r.out);
  ge_remove_job_output(r.s->out_path);
  r.s->state.store(final_state, std::memory_order_release);
}

void end_done(ge_run &r) {
  // The file has been finished and measured by the encode phase.
  r.s->elapsed_ms.store((av_gettime() - r.run_start_us) / 1000, std::memory_order_relaxed);
  r.s->state.store(GE_STATE_DONE, std::memory_order_release);
}

}  // namespace

void gif_thread(void *arg) {
  ge_run r;
  r.s = static_cast<ge_session *>(arg);
  r.s->state.store(GE_STATE_RUNNING, std::memory_order_relaxed);
  r.run_start_us = av_gettime();

  switch (run_stages(r)) {
    case ge_step::ok: end_done(r); break;
    case ge_step::cancelled: end_without_output(r, GE_STATE_CANCELLED); break;
    // Once the host has cancelled, a failure may be the cancel's own doing (a
    // read or write it interrupted): the job ends cancelled.
    case ge_step::failed:
      end_without_output(r, ge_cancel_requested(r) ? GE_STATE_CANCELLED : GE_STATE_FAILED);
      break;
  }
  // The final state is stored first, so a host may see it while this runs.
  ge_media_release(&r.m);
}
