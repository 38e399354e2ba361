// SPDX-License-Identifier: MIT
#include "worker/worker_run.h"

extern "C" {
#include <libavfilter/avfilter.h>
}

void ge_media_release(ge_media *m) {
  // Each free function is a no-op on null and empties its pointer.
  av_frame_free(&m->frame);
  av_frame_free(&m->fitted);
  sws_freeContext(m->fit_ctx);
  m->fit_ctx = nullptr;
  av_frame_free(&m->filt_frame);
  av_frame_free(&m->palette);
  av_frame_free(&m->on_screen);
  av_packet_free(&m->in_pkt);
  av_packet_free(&m->out_pkt);
  avfilter_graph_free(&m->graph);  // also frees the "in" source and "out" sink
  m->buffersrc_ctx = nullptr;
  m->buffersink_ctx = nullptr;
  m->palettesrc_ctx = nullptr;
  avcodec_free_context(&m->dec_ctx);
  avcodec_free_context(&m->enc_ctx);
  avformat_free_context(m->out_ctx);  // its file was closed by the ending
  m->out_ctx = nullptr;
  avformat_close_input(&m->in_ctx);
}

bool ge_output_file_open(const ge_media *m) {
  return m->out_ctx != nullptr && !(m->out_ctx->oformat->flags & AVFMT_NOFILE) &&
         m->out_ctx->pb != nullptr;
}

bool ge_close_output_file(ge_media *m) {
  if (!ge_output_file_open(m)) return true;
  // Flush first: avio_closep reports only the close itself, while a failed
  // write (now or earlier) leaves its mark in the I/O context's error flag.
  avio_flush(m->out_ctx->pb);
  const bool write_error = m->out_ctx->pb->error < 0;
  const int rc = avio_closep(&m->out_ctx->pb);
  return !write_error && rc >= 0;
}

void ge_abandon_muxer(ge_media *m) {
  if (!m->muxer_open) return;
  m->muxer_open = false;
  // The GIF muxer keeps the last packet back and frees it only in its
  // trailer: without this call every cancelled or failed job would leak it.
  // What the trailer writes goes to a file that is removed next.
  const int finished = av_write_trailer(m->out_ctx);
  static_cast<void>(finished);
}
