// SPDX-License-Identifier: MIT
#include "platform/files.h"
#include "worker/worker_run.h"

extern "C" {
#include <libavfilter/buffersink.h>
}

namespace {

// Creates the GIF encoder and the output from the first filtered frame, whose
// size and pixel format the whole GIF takes.
ge_step open_encoder_and_output(ge_run &r, const AVFrame *first) {
  ge_media &m = r.m;
  ge_session *s = r.s;
  const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_GIF);
  if (encoder == nullptr) return ge_fail(r, "no gif encoder");
  m.enc_ctx = avcodec_alloc_context3(encoder);
  if (m.enc_ctx == nullptr) return ge_fail(r, "oom");
  m.enc_ctx->width = first->width;
  m.enc_ctx->height = first->height;
  m.enc_ctx->pix_fmt = static_cast<AVPixelFormat>(first->format);
  m.enc_ctx->time_base = AVRational{1, s->fps};
  if (avcodec_open2(m.enc_ctx, encoder, nullptr) < 0) return ge_fail(r, "gif encoder open failed");
  s->out_width.store(m.enc_ctx->width, std::memory_order_relaxed);
  s->out_height.store(m.enc_ctx->height, std::memory_order_relaxed);

  // The muxer is chosen by name, whatever the path's extension.
  if (avformat_alloc_output_context2(&m.out_ctx, nullptr, "gif", s->out_path) < 0 ||
      m.out_ctx == nullptr)
    return ge_fail(r, "cannot create output");
  AVStream *out_stream = avformat_new_stream(m.out_ctx, nullptr);
  if (out_stream == nullptr) return ge_fail(r, "new stream failed");
  // The parameters come from an encoder that has just opened; a failed copy
  // shows up as a header that cannot be written.
  const int copied = avcodec_parameters_from_context(out_stream->codecpar, m.enc_ctx);
  static_cast<void>(copied);
  out_stream->time_base = m.enc_ctx->time_base;
  if (!(m.out_ctx->oformat->flags & AVFMT_NOFILE) &&
      ge_output_open(&r.out, s->out_path, static_cast<int>(s - g_sessions), &m.out_ctx->pb,
                     ge_cancel_interrupt(r)) < 0)
    return ge_fail(r, "cannot open output file");
  if (avformat_write_header(m.out_ctx, nullptr) < 0) return ge_fail(r, "write header failed");
  m.muxer_open = true;
  return ge_step::ok;
}

// Writes every packet the encoder has ready. The muxer may have changed the
// stream's time base while writing the header, so packets are converted to it.
ge_step write_ready_packets(ge_run &r) {
  ge_media &m = r.m;
  const AVRational out_tb = m.out_ctx->streams[0]->time_base;
  while (avcodec_receive_packet(m.enc_ctx, m.out_pkt) == 0) {
    av_packet_rescale_ts(m.out_pkt, m.enc_ctx->time_base, out_tb);
    // The muxer takes the packet's contents and leaves it blank.
    const int written = av_interleaved_write_frame(m.out_ctx, m.out_pkt);
    av_packet_unref(m.out_pkt);
    if (written < 0) return ge_fail(r, "write failed");
  }
  return ge_step::ok;
}

// Flushes the encoder, writes the trailer, closes and measures the file.
ge_step finish_file(ge_run &r) {
  ge_media &m = r.m;
  // Draining the encoder: what it still holds comes out through the packets.
  const int flushed = avcodec_send_frame(m.enc_ctx, nullptr);
  static_cast<void>(flushed);
  if (write_ready_packets(r) != ge_step::ok) return ge_step::failed;
  m.muxer_open = false;
  if (av_write_trailer(m.out_ctx) < 0) return ge_fail(r, "write failed");
  if (!ge_close_output_file(&m)) return ge_fail(r, "write failed");
  const int64_t size = ge_file_size(r.out.write_path);
  // Only a complete file takes the output's name.
  if (!ge_output_commit(&r.out)) return ge_fail(r, "write failed");
  r.s->out_size_bytes.store(size, std::memory_order_relaxed);
  return ge_step::ok;
}

}  // namespace

ge_step ge_encode_ready_frames(ge_run &r) {
  ge_media &m = r.m;
  ge_session *s = r.s;
  for (;;) {
    const int rc = av_buffersink_get_frame(m.buffersink_ctx, m.filt_frame);
    // EAGAIN: the graph needs more input (after the end-of-stream signal it
    // never will again), EOF: it has given everything.
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return ge_step::ok;
    if (rc < 0) return ge_fail(r, "filter drain failed");
    if (m.enc_ctx == nullptr && open_encoder_and_output(r, m.filt_frame) != ge_step::ok)
      return ge_step::failed;
    // Frame k of the GIF is shown at k/fps, wherever the window began. Only
    // this thread writes the count.
    const int64_t frames = s->frames.load(std::memory_order_relaxed);
    m.filt_frame->pts = frames;
    const int sent = avcodec_send_frame(m.enc_ctx, m.filt_frame);
    av_frame_unref(m.filt_frame);
    if (sent < 0) return ge_fail(r, "encode failed");
    if (write_ready_packets(r) != ge_step::ok) return ge_step::failed;
    s->frames.store(frames + 1, std::memory_order_relaxed);
    if (ge_cancel_requested(r)) return ge_step::cancelled;
  }
}

ge_step ge_encode_phase(ge_run &r) {
  // A second pass is in its encode phase from its start.
  if (!r.second_pass) {
    r.s->phase.store(GE_PHASE_ENCODE, std::memory_order_relaxed);
    if (ge_cancel_requested(r)) return ge_step::cancelled;
  }
  const ge_step drained = ge_encode_ready_frames(r);
  if (drained != ge_step::ok) return drained;
  if (r.m.enc_ctx == nullptr) return ge_fail(r, "no frames in segment");
  return finish_file(r);
}
