// SPDX-License-Identifier: MIT
#include "worker/filter_texts.h"
#include "worker/picture_geometry.h"
#include "worker/two_pass_budget.h"
#include "worker/worker_run.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavformat/version.h>
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

// The stream's display matrix, when it has one. Since libavformat 60.15.100
// demuxers put stream side data into codecpar's coded_side_data (read with
// av_packet_side_data_get, libavcodec 60.29.100) and av_stream_get_side_data
// is deprecated; older versions (FFmpeg 5.1) have only the latter.
const int32_t *display_matrix(const AVStream *st) {
#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100)
  const AVPacketSideData *sd = av_packet_side_data_get(
      st->codecpar->coded_side_data, st->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  const uint8_t *data = sd != nullptr ? sd->data : nullptr;
  const size_t size = sd != nullptr ? sd->size : 0;
#else
  size_t size = 0;
  const uint8_t *data = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
#endif
  return data != nullptr && size >= 9 * sizeof(int32_t) ? reinterpret_cast<const int32_t *>(data)
                                                        : nullptr;
}

// How the decoded picture is shown in the GIF: upright, and at the height
// the scale stage is given (-2: derived by the scaler from the pixel grid).
struct ge_shown_picture {
  ge_orientation orientation;
  int height;
};

ge_shown_picture shown_picture(const ge_run &r) {
  const ge_orientation orientation = ge_orientation_from_matrix(display_matrix(r.video));
  return {orientation, ge_display_height(r.s->target_width, r.source.width, r.source.height,
                                         r.source.sample_aspect, orientation.swaps_axes)};
}

}  // namespace

int64_t ge_held_frames_bytes(const ge_run &r) {
  const ge_shown_picture shown = shown_picture(r);
  const ge_orientation &orientation = shown.orientation;
  const int width = r.source.width, height = r.source.height;
  int out_height = shown.height;
  if (out_height < 0 && width > 0 && height > 0) {
    // The scaler derives it from the pixel grid, turned as shown.
    const double shown_w = orientation.swaps_axes ? height : width;
    const double shown_h = orientation.swaps_axes ? width : height;
    out_height = static_cast<int>(r.s->target_width * shown_h / shown_w + 1);
  }
  if (out_height <= 0) out_height = 1;
  // Every output frame of the window waits as a BGRA picture, one more for
  // the rate stage's rounding.
  const int64_t frames = (r.s->total_ms * r.s->fps + 999) / 1000 + 1;
  return frames * r.s->target_width * out_height * 4;
}

ge_step ge_build_filter_graph(ge_run &r, ge_chain_kind kind) {
  ge_media &m = r.m;
  char source_args[GE_FILTER_TEXT_CAP];
  char palette_args[GE_FILTER_TEXT_CAP];
  char chain[GE_FILTER_TEXT_CAP];
  // Frames come stamped in GIF frame slots, each placed exactly by the
  // decode phase; the rate stage then only repeats and drops.
  ge_format_source_args(source_args, sizeof source_args, r.source.width, r.source.height,
                        r.source.format, AVRational{1, r.s->fps}, r.source.sample_aspect);
  // The GIF shows what a player shows: upright, in the display proportions.
  const ge_shown_picture shown = shown_picture(r);
  ge_format_filter_chain(chain, sizeof chain, kind, shown.orientation.filters, r.s->fps,
                         r.s->target_width, shown.height);

  // A graph of an earlier pass goes with its sources and sink.
  avfilter_graph_free(&m.graph);
  m.buffersrc_ctx = m.palettesrc_ctx = m.buffersink_ctx = nullptr;
  m.graph = avfilter_graph_alloc();
  if (m.graph == nullptr) return ge_fail(r, "graph alloc");
  // A missing definition is caught by the creation below.
  const AVFilter *buffer = avfilter_get_by_name("buffer");
  const AVFilter *buffersink = avfilter_get_by_name("buffersink");
  if (avfilter_graph_create_filter(&m.buffersrc_ctx, buffer, "in", source_args, nullptr,
                                   m.graph) < 0)
    return ge_fail(r, "buffer filters failed");
  if (kind == ge_chain_kind::mapping) {
    // The palette of the first pass, at the time base it left that pass with.
    ge_format_source_args(palette_args, sizeof palette_args, m.palette->width,
                          m.palette->height, m.palette->format, AVRational{1, r.s->fps},
                          AVRational{1, 1});
    if (avfilter_graph_create_filter(&m.palettesrc_ctx, buffer, GE_PALETTE_SOURCE_NAME,
                                     palette_args, nullptr, m.graph) < 0)
      return ge_fail(r, "buffer filters failed");
  }
  if (avfilter_graph_create_filter(&m.buffersink_ctx, buffersink, "out", nullptr, nullptr,
                                   m.graph) < 0)
    return ge_fail(r, "buffer filters failed");

  // The chain's unlabelled (or "in") first input joins "in", the palette
  // input the palette source, and its last output "out".
  AVFilterInOut *outputs = endpoint("in", m.buffersrc_ctx);
  AVFilterInOut *inputs = endpoint("out", m.buffersink_ctx);
  if (outputs != nullptr && m.palettesrc_ctx != nullptr) {
    outputs->next = endpoint(GE_PALETTE_SOURCE_NAME, m.palettesrc_ctx);
    if (outputs->next == nullptr) avfilter_inout_free(&outputs);
  }
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

ge_step ge_start_graph(ge_run &r, const AVFrame *first) {
  ge_source_picture &src = r.source;
  src.width = first->width;
  src.height = first->height;
  src.format = first->format;
  // The container's aspect where it gives one, else the picture's own: what
  // a player shows.
  src.sample_aspect =
      av_guess_sample_aspect_ratio(r.m.in_ctx, r.video, const_cast<AVFrame *>(first));
  src.colorspace = first->colorspace;
  src.color_range = first->color_range;
  src.color_primaries = first->color_primaries;
  src.color_trc = first->color_trc;
  src.chroma_location = first->chroma_location;
  // A job whose window would not fit the budget as held frames takes two
  // passes; every other job runs as one.
  r.two_passes = ge_held_frames_bytes(r) > ge_held_frames_budget();
  return ge_build_filter_graph(r, r.two_passes ? ge_chain_kind::palette : ge_chain_kind::whole);
}
