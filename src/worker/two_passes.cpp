// SPDX-License-Identifier: MIT
// Jobs too long to hold: the palette is computed over the whole window, so
// the one-graph run keeps every output frame of the window until its end. A
// job whose held frames would pass the budget instead reads the window twice:
// once into the palette alone, once more mapping each frame onto that palette
// and writing it at once. The frames and the palette are the same as in one
// pass, so the GIF is byte for byte the same; the cost is a second decode.
#include "worker/two_pass_budget.h"
#include "worker/worker_run.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace {

std::atomic<int64_t> g_held_frames_budget{GE_HELD_FRAMES_BUDGET};
std::atomic<int64_t> g_second_passes{0};

// Takes the one palette frame the first pass's graph gives at its end.
ge_step take_palette(ge_run &r) {
  ge_media &m = r.m;
  m.palette = av_frame_alloc();
  if (m.palette == nullptr) return ge_fail(r, "oom");
  const int rc = av_buffersink_get_frame(m.buffersink_ctx, m.palette);
  // No palette: no frame of the window reached the graph.
  if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return ge_fail(r, "no frames in segment");
  if (rc < 0) return ge_fail(r, "filter drain failed");
  return ge_step::ok;
}

// Hands the palette to the mapping graph, followed by the end of its stream,
// as the one-graph run's palette stage would.
ge_step give_palette(ge_run &r) {
  ge_media &m = r.m;
  // The palette source was made before the palette existed, with no colour
  // properties; the frame's own (newer FFmpeg marks it RGB, full range)
  // would read as a change of stream and be logged as one.
  m.palette->colorspace = AVCOL_SPC_UNSPECIFIED;
  m.palette->color_range = AVCOL_RANGE_UNSPECIFIED;
  if (av_buffersrc_add_frame_flags(m.palettesrc_ctx, m.palette, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
    return ge_fail(r, "filter feed failed");
  const int closed = av_buffersrc_close(m.palettesrc_ctx, m.palette->pts + 1, 0);
  static_cast<void>(closed);
  return ge_step::ok;
}

}  // namespace

int64_t ge_held_frames_budget() { return g_held_frames_budget.load(std::memory_order_relaxed); }
void ge_set_held_frames_budget(int64_t bytes) {
  g_held_frames_budget.store(bytes, std::memory_order_relaxed);
}
int64_t ge_second_passes() { return g_second_passes.load(std::memory_order_relaxed); }
void ge_count_second_pass() { g_second_passes.fetch_add(1, std::memory_order_relaxed); }

ge_step ge_run_two_passes(ge_run &r) {
  // The first pass has fed the window and its end to the palette graph.
  ge_step step = take_palette(r);
  if (step != ge_step::ok) return step;
  r.second_pass = true;
  ge_count_second_pass();
  r.s->phase.store(GE_PHASE_ENCODE, std::memory_order_relaxed);
  if (ge_cancel_requested(r)) return ge_step::cancelled;
  step = ge_open_source(r);
  if (step == ge_step::ok) step = ge_build_filter_graph(r, ge_chain_kind::mapping);
  if (step == ge_step::ok) step = give_palette(r);
  if (step == ge_step::ok) step = ge_decode_phase(r);
  if (step == ge_step::ok) step = ge_encode_phase(r);
  return step;
}
