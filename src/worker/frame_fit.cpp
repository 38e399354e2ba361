// SPDX-License-Identifier: MIT
// Pictures that change size or pixel format mid-stream: a recording of a
// resized window, a broadcast that switches programmes, parts of different
// sizes joined together. The graph is built for the window's first picture,
// and its palette stage needs one picture size throughout, so every later
// picture of another size or format is converted to the first one's before it
// is fed: every picture on screen reaches the GIF, at the size it started with.
#include "worker/worker_run.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

bool fits_source(const ge_run &r, const AVFrame *frame) {
  return frame->width == r.source.width && frame->height == r.source.height &&
         frame->format == r.source.format;
}

// The source's colour properties on a converted picture: the graph's source
// was set up with them, and the converted pixels are in its format.
void take_source_colours(const ge_source_picture &src, AVFrame *frame) {
  frame->colorspace = src.colorspace;
  frame->color_range = src.color_range;
  frame->color_primaries = src.color_primaries;
  frame->color_trc = src.color_trc;
  frame->chroma_location = src.chroma_location;
  frame->sample_aspect_ratio = src.sample_aspect;
}

}  // namespace

AVFrame *ge_fit_to_source(ge_run &r, AVFrame *frame) {
  if (fits_source(r, frame)) return frame;
  ge_media &m = r.m;
  const ge_source_picture &src = r.source;
  // The same change mostly repeats on every later frame: the converter is
  // made once and kept while the change stays the same.
  m.fit_ctx = sws_getCachedContext(m.fit_ctx, frame->width, frame->height,
                                   static_cast<AVPixelFormat>(frame->format), src.width,
                                   src.height, static_cast<AVPixelFormat>(src.format),
                                   SWS_LANCZOS, nullptr, nullptr, nullptr);
  if (m.fit_ctx == nullptr) {
    r.failure = "filter feed failed";
    return nullptr;
  }
  av_frame_unref(m.fitted);
  m.fitted->width = src.width;
  m.fitted->height = src.height;
  m.fitted->format = src.format;
  if (av_frame_get_buffer(m.fitted, 0) < 0) {
    r.failure = "oom";
    return nullptr;
  }
  // The decoder's planes are read only; the new frame has its own.
  if (sws_scale(m.fit_ctx, frame->data, frame->linesize, 0, frame->height, m.fitted->data,
                m.fitted->linesize) <= 0 ||
      av_frame_copy_props(m.fitted, frame) < 0) {
    r.failure = "filter feed failed";
    return nullptr;
  }
  take_source_colours(src, m.fitted);
  return m.fitted;
}
