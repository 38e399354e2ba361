// SPDX-License-Identifier: MIT
#include <algorithm>

#include "worker/worker_run.h"

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/version.h>
}

namespace {

// The frame's own duration as the decoder set it, 0 when unknown. AVFrame
// gained `duration` in libavutil 57.30.100, and `pkt_duration` is gone since
// 59.0 (FFmpeg 7.0); older versions (FFmpeg 5.1) have only `pkt_duration`.
int64_t decoded_duration(const AVFrame *frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return frame->duration;
#else
  return frame->pkt_duration;
#endif
}

// Where the decode phase stands, and what the end-of-stream signal must say.
// Fed frames are stamped with the GIF frame slot in which they land
// (ge_gif_slot), counted from the window's start: the rate stage's GIF frame
// k is then the latest picture whose slot is k or less, whatever the input's
// time base, and wherever its own timestamps begin.
struct ge_decode_state {
  bool input_ended = false;
  // Slot where the latest fed frame's showing ends (its pts plus its
  // duration); AV_NOPTS_VALUE until a frame with a timestamp has been fed.
  int64_t fed_end_slot = AV_NOPTS_VALUE;
  // Slot of the first frame fed, where the rate stage starts counting.
  int64_t first_fed_slot = AV_NOPTS_VALUE;
  // A frame at or after the window's start has come; frames before it are
  // dropped from then on.
  bool window_begun = false;
  // Window time of the picture kept as on screen at the start (the media's
  // on_screen frame), and where its own showing ends, in the stream's time
  // base; AV_NOPTS_VALUE while none is kept.
  int64_t on_screen_ms = AV_NOPTS_VALUE;
  int64_t on_screen_end_ts = AV_NOPTS_VALUE;
};

enum class ge_receive { need_input, input_drained, window_end, failed, cancelled };

// Duration of a decoded frame in the stream's time base: the packet's, or,
// when the container gave none, one frame at the stream's rate but at least
// one frame of the GIF, so that a last frame without a duration (a one-frame
// clip, say) is still shown once.
int64_t frame_duration_ts(const ge_run &r, const AVFrame *frame) {
  const int64_t own = decoded_duration(frame);
  if (own > 0) return own;
  const AVRational tb = r.video->time_base;
  const int64_t gif_frame =
      av_rescale_q_rnd(1, AVRational{1, r.s->fps}, tb, AV_ROUND_UP);
  AVRational rate = r.video->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = r.video->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return gif_frame;
  return std::max(gif_frame, av_rescale_q(1, av_inv_q(rate), tb));
}

// The rate stage gives one frame per GIF frame slot, from the slot of the
// first fed frame up to the slot of the end-of-stream time, that one
// excluded. An end within the first slot (a window shorter than half a GIF
// frame, a lone frame shorter than one) would give no frame at all: such an
// end is moved to the end of that slot, so that a window into which a frame
// was fed gives at least one. Any later end is left as it is.
int64_t end_after_first_slot(const ge_decode_state &d, int64_t eos_slot) {
  if (eos_slot == AV_NOPTS_VALUE || d.first_fed_slot == AV_NOPTS_VALUE) return eos_slot;
  return std::max(eos_slot, av_sat_add64(d.first_fed_slot, 1));
}

// Closes the graph's input with a timestamp, so the rate stage emits every
// frame up to it (without one it drops its last buffered frame).
void signal_end_of_stream(ge_run &r, const ge_decode_state &d, int64_t eos_slot) {
  if (r.m.buffersrc_ctx == nullptr) return;  // nothing was fed: no graph was built
  eos_slot = end_after_first_slot(d, eos_slot);
  // The graph has every frame it will get; a refusal here changes nothing
  // that the encode phase would not find out by itself.
  const int closed = av_buffersrc_close(r.m.buffersrc_ctx, eos_slot, AV_BUFFERSRC_FLAG_PUSH);
  static_cast<void>(closed);
}

// Reads packets until one of the video stream has been sent to the decoder,
// or the input ends. Every read is preceded by a cancel poll.
ge_step read_video_packet(ge_run &r, ge_decode_state &d) {
  ge_media &m = r.m;
  if (ge_cancel_requested(r)) return ge_step::cancelled;
  for (;;) {
    if (av_read_frame(m.in_ctx, m.in_pkt) < 0) {
      // A cancel interrupts a read that waits: the job ends cancelled.
      if (ge_cancel_requested(r)) return ge_step::cancelled;
      bool reread = false;
      const ge_step checked = ge_check_input_end(r, &reread);
      if (checked != ge_step::ok) return checked;
      if (reread) {
        if (ge_cancel_requested(r)) return ge_step::cancelled;
        continue;
      }
      // A read error mid-file ends the input just as its end does; the frames
      // decoded so far still make the GIF.
      avcodec_send_packet(m.dec_ctx, nullptr);
      d.input_ended = true;
      return ge_step::ok;
    }
    if (m.in_pkt->stream_index == r.video_index) {
      bool decode = false;
      const ge_step checked = ge_check_video_packet(r, m.in_pkt, &decode);
      if (checked != ge_step::ok) {
        av_packet_unref(m.in_pkt);
        return checked;
      }
      if (decode) {
        // A packet the decoder refuses is lost; the next key frame recovers.
        avcodec_send_packet(m.dec_ctx, m.in_pkt);
        av_packet_unref(m.in_pkt);
        return ge_step::ok;
      }
    }
    // A packet of another stream is never decoded; nor is a video packet
    // that comes before the first key frame after the open or a seek (or one
    // that made the run read from further back).
    av_packet_unref(m.in_pkt);
    if (ge_cancel_requested(r)) return ge_step::cancelled;
  }
}

// Hands one frame of the window to the graph, with its window time and the
// slots where it lands and where its showing ends (AV_NOPTS_VALUE for a frame
// without a timestamp): builds the graph on the window's first picture,
// raises the progress, notes where the fed frames begin and end, and in a
// second pass encodes whatever the graph gives out at once. The frame is
// emptied.
ge_receive feed_frame(ge_run &r, ge_decode_state &d, AVFrame *frame, int64_t frame_ms,
                      int64_t slot, int64_t end_slot) {
  ge_session *s = r.s;
  if (r.m.graph == nullptr && ge_start_graph(r, frame) != ge_step::ok) {
    av_frame_unref(frame);
    return ge_receive::failed;
  }
  // The progress measures the first pass through the window; a second
  // pass leaves it where the first left it.
  if (!r.second_pass && s->processed_ms.load(std::memory_order_relaxed) < frame_ms)
    s->processed_ms.store(frame_ms, std::memory_order_relaxed);
  frame->pts = slot;
  if (slot != AV_NOPTS_VALUE) {
    if (d.fed_end_slot == AV_NOPTS_VALUE || d.fed_end_slot < end_slot) d.fed_end_slot = end_slot;
    if (d.first_fed_slot == AV_NOPTS_VALUE) d.first_fed_slot = slot;
  }
  // A picture of another size or format than the window's first is fed as a
  // conversion to it.
  AVFrame *fed_frame = ge_fit_to_source(r, frame);
  // PUSH runs the frame through the rate and scale stages at once, so the
  // graph holds the window at output size rather than as decoded pictures.
  const int fed = fed_frame == nullptr
                      ? -1
                      : av_buffersrc_add_frame_flags(
                            r.m.buffersrc_ctx, fed_frame,
                            AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
  av_frame_unref(frame);
  av_frame_unref(r.m.fitted);
  if (fed_frame == nullptr) return ge_receive::failed;
  if (fed < 0) {
    r.failure = "filter feed failed";
    return ge_receive::failed;
  }
  // In a second pass the frame is mapped onto the palette at once, and
  // whatever the graph gives out goes to the GIF without waiting.
  if (r.second_pass) {
    const ge_step encoded = ge_encode_ready_frames(r);
    if (encoded == ge_step::failed) return ge_receive::failed;
    if (encoded == ge_step::cancelled) return ge_receive::cancelled;
  }
  return ge_receive::need_input;
}

// Keeps a frame from before the window as the picture on screen at its
// start: the latest such frame by time. Frames without a timestamp have no
// place on screen and are dropped.
void keep_if_on_screen(ge_run &r, ge_decode_state &d, int64_t frame_ms) {
  ge_media &m = r.m;
  const bool later = d.on_screen_ms == AV_NOPTS_VALUE || frame_ms >= d.on_screen_ms;
  if (m.frame->pts != AV_NOPTS_VALUE && later) {
    av_frame_unref(m.on_screen);
    av_frame_move_ref(m.on_screen, m.frame);
    d.on_screen_ms = frame_ms;
    // Where the picture's own showing ends, before it is moved to the start.
    d.on_screen_end_ts = av_sat_add64(m.on_screen->pts, frame_duration_ts(r, m.on_screen));
  }
  av_frame_unref(m.frame);
}

// The window begins: unless a frame lies exactly at its start, the picture on
// screen then is fed first, timed at the start. It is shown until the next
// frame's time, as any frame is; with no later frame, for its own duration
// from where it was, but at least to the window's start (the rate stage then
// gives it one GIF frame).
ge_receive begin_window(ge_run &r, ge_decode_state &d, int64_t first_frame_ms) {
  d.window_begun = true;
  AVFrame *held = r.m.on_screen;
  if (held->buf[0] == nullptr) return ge_receive::need_input;
  if (first_frame_ms == r.s->start_ms) {
    av_frame_unref(held);
    return ge_receive::need_input;
  }
  // Slot 0 is the window's start.
  return feed_frame(r, d, held, r.s->start_ms, 0,
                    std::max<int64_t>(ge_gif_slot(r, d.on_screen_end_ts), 0));
}

// Drains the decoder's frames, keeping the latest before the window and
// feeding those inside it to the graph.
ge_receive receive_frames(ge_run &r, ge_decode_state &d) {
  ge_media &m = r.m;
  ge_session *s = r.s;
  for (;;) {
    const int rc = avcodec_receive_frame(m.dec_ctx, m.frame);
    if (rc == AVERROR(EAGAIN)) return d.input_ended ? ge_receive::input_drained
                                                    : ge_receive::need_input;
    if (rc == AVERROR_EOF) return ge_receive::input_drained;
    if (rc < 0) {
      r.failure = "decode error";
      return ge_receive::failed;
    }

    // Some containers (ASF among them) give packets a decoding time only:
    // the decoder's best estimate then stands in for the missing timestamp,
    // without which the rate stage would drop every frame.
    if (m.frame->pts == AV_NOPTS_VALUE) m.frame->pts = m.frame->best_effort_timestamp;
    const bool has_pts = m.frame->pts != AV_NOPTS_VALUE;
    const int64_t frame_ms = has_pts ? ge_stream_ts_to_window_ms(r, m.frame->pts) : 0;
    bool reread = false;
    const ge_step checked = ge_check_first_frame(r, frame_ms, &reread);
    if (checked != ge_step::ok || reread) {
      // The window's first frames lie before this one: the run has moved
      // reading further back and reads again, also after the input had ended.
      av_frame_unref(m.frame);
      d.input_ended = false;
      d.on_screen_ms = AV_NOPTS_VALUE;
      if (checked == ge_step::cancelled) return ge_receive::cancelled;
      return checked == ge_step::failed ? ge_receive::failed : ge_receive::need_input;
    }
    if (frame_ms < s->start_ms) {
      if (d.window_begun)
        av_frame_unref(m.frame);
      else
        keep_if_on_screen(r, d, frame_ms);
      continue;
    }
    if (!d.window_begun) {
      const ge_receive began = begin_window(r, d, frame_ms);
      if (began != ge_receive::need_input) {
        av_frame_unref(m.frame);
        return began;
      }
    }
    if (frame_ms >= s->end_ms) {
      av_frame_unref(m.frame);
      return ge_receive::window_end;
    }
    // Saturating: a crafted file may put its timestamps near the limits.
    const int64_t slot = has_pts ? ge_gif_slot(r, m.frame->pts) : AV_NOPTS_VALUE;
    const int64_t end_slot =
        has_pts ? ge_gif_slot(r, av_sat_add64(m.frame->pts, frame_duration_ts(r, m.frame)))
                : AV_NOPTS_VALUE;
    const ge_receive fed = feed_frame(r, d, m.frame, frame_ms, slot, end_slot);
    if (fed != ge_receive::need_input) return fed;
  }
}

}  // namespace

ge_step ge_decode_phase(ge_run &r) {
  ge_decode_state d;
  for (;;) {
    if (!d.input_ended) {
      const ge_step read = read_video_packet(r, d);
      if (read != ge_step::ok) return read;
    }
    switch (receive_frames(r, d)) {
      case ge_receive::need_input:
        break;
      case ge_receive::failed:
        return ge_step::failed;
      case ge_receive::cancelled:
        return ge_step::cancelled;
      case ge_receive::input_drained: {
        // A window after the input's last frame still shows the picture
        // left on screen.
        if (!d.window_begun) {
          const ge_receive began = begin_window(r, d, AV_NOPTS_VALUE);
          if (began == ge_receive::failed) return ge_step::failed;
          if (began == ge_receive::cancelled) return ge_step::cancelled;
        }
        // The last frame is shown for its duration, but never past the
        // window's end: a frame claiming to last an hour would otherwise be
        // repeated by the rate stage far beyond the 60 s the job allows.
        signal_end_of_stream(r, d, d.fed_end_slot == AV_NOPTS_VALUE
                                    ? AV_NOPTS_VALUE
                                    : std::min(d.fed_end_slot, ge_window_end_slot(r)));
        return ge_step::ok;
      }
      case ge_receive::window_end:
        // Close at the window's end, not at the frame that ended it, so a
        // sparse input does not stretch the GIF past the window.
        signal_end_of_stream(r, d, d.fed_end_slot == AV_NOPTS_VALUE
                                    ? AV_NOPTS_VALUE
                                    : ge_window_end_slot(r));
        return ge_step::ok;
    }
  }
}
