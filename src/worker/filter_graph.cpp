#include "worker/filter_texts.h"
#include "worker/picture_geometry.h"
#include "worker/worker_run.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/mem.h>
}

namespace {

// One open end of the parsed chain, joined to the instance ctx.
AVFilterInOut *endpoint(const char *name, AVFilterContext *ctx) {
  AVFilterInOut *io = avfilter_inout_alloc();
  if (io == nullptr) return nullptr;
  io->name = av_strdup(name);
  io->filter_ctx = ctx;
  io->pad_idx = 0;
  io->next = nullptr;
  if (io->name == nullptr) avfilter_inout_free(&io);
  return io;
}

// The stream's display matrix, when it has one.
const int32_t *display_matrix(const AVStream *st) {
  size_t size = 0;
  const uint8_t *data = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
  return data != nullptr && size >= 9 * sizeof(int32_t) ? reinterpret_cast<const int32_t *>(data)
                                                        : nullptr;
}

}  // namespace

ge_step ge_build_filter_graph(ge_run &r) {
  ge_media &m = r.m;
  char source_args[GE_FILTER_TEXT_CAP];
  char chain[GE_FILTER_TEXT_CAP];
  r.source_width = m.dec_ctx->width;
  r.source_height = m.dec_ctx->height;
  r.source_format = m.dec_ctx->pix_fmt;
  ge_format_source_args(source_args, sizeof source_args, m.dec_ctx->width, m.dec_ctx->height,
                        m.dec_ctx->pix_fmt, r.video->time_base, r.video->sample_aspect_ratio);
  // The GIF shows what a player shows: upright, in the display proportions.
  const ge_orientation orientation = ge_orientation_from_matrix(display_matrix(r.video));
  const int height = ge_display_height(r.s->target_width, m.dec_ctx->width, m.dec_ctx->height,
                                       r.video->sample_aspect_ratio, orientation.swaps_axes);
  ge_format_filter_chain(chain, sizeof chain, orientation.filters, r.s->fps, r.s->target_width,
                         height);

  m.graph = avfilter_graph_alloc();
  if (m.graph == nullptr) return ge_fail(r, "graph alloc");
  // A missing definition is caught by the creation below.
  const AVFilter *buffer = avfilter_get_by_name("buffer");
  const AVFilter *buffersink = avfilter_get_by_name("buffersink");
  if (avfilter_graph_create_filter(&m.buffersrc_ctx, buffer, "in", source_args, nullptr,
                                   m.graph) < 0)
    return ge_fail(r, "buffer filters failed");
  if (avfilter_graph_create_filter(&m.buffersink_ctx, buffersink, "out", nullptr, nullptr,
                                   m.graph) < 0)
    return ge_fail(r, "buffer filters failed");

  // The chain's unlabelled first input joins "in" and its last output "out".
  AVFilterInOut *outputs = endpoint("in", m.buffersrc_ctx);
  AVFilterInOut *inputs = endpoint("out", m.buffersink_ctx);
  if (outputs == nullptr || inputs == nullptr) {
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    return ge_fail(r, "oom");
  }
  const int parsed = avfilter_graph_parse_ptr(m.graph, chain, &inputs, &outputs, nullptr);
  // Whatever the parse returned, what it left of the lists is ours to free.
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  if (parsed < 0) return ge_fail(r, "filter parse failed");

  if (avfilter_graph_config(m.graph, nullptr) < 0) return ge_fail(r, "filter config failed");
  return ge_step::ok;
}
