// SPDX-License-Identifier: MIT
// Where reading begins: seeking to the window's start, making that start
// exact on demuxers that seek by timestamp rather than to key frames (MPEG-TS
// above all), and never handing the decoder a packet it cannot decode from.
//
// A timestamp seek lands on whatever packet lies near the target, mostly
// between key frames. Decoding can only begin at a key frame, so the video
// packets before the first one are dropped; that costs at most one key-frame
// interval of reading, where seeking further back for every landing between
// key frames would end up reading the input from its beginning. The run seeks
// further back only when decoding from there would miss frames of the window:
// the first key frame, or a packet dropped before it, is shown after the
// window's start, or the first landing lies too close to the start (below).
//
// A seek that fails is no landing: the demuxer may stand anywhere, or where
// it stood. Some demuxers (AVI and FLV among them) cannot seek before their
// first index entry, so the beginning of the input is never sought: when the
// run needs it, the input is opened afresh and read from its very start.
#include "worker/worker_run.h"

extern "C" {
#include <libavcodec/codec_desc.h>
}

namespace {

// How far before the window's start each further try seeks; after the last,
// or once a target would lie at or before the input's beginning, the input is
// read from its very start. Doubling keeps the packets read on the way within
// twice the distance back to the key frame needed.
constexpr int64_t GE_SEEK_BACK_MS[] = {1000, 2000, 4000, 8000, 16000, 32000, 64000};
constexpr int GE_SEEK_TRIES = sizeof GE_SEEK_BACK_MS / sizeof GE_SEEK_BACK_MS[0];
bool codec_is_intra_only(const ge_run &r) {
  const AVCodecDescriptor *desc = avcodec_descriptor_get(r.video->codecpar->codec_id);
  return desc != nullptr && (desc->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
}

// Forgets a picture kept from before the window: reading starts over.
void forget_on_screen(ge_run &r) {
  if (r.m.on_screen != nullptr) av_frame_unref(r.m.on_screen);
}

// Opens the input afresh and reads it from its very start. With keyless set
// no key frame is waited for: the input has shown that it marks none.
ge_step read_from_input_start(ge_run &r, bool keyless) {
  forget_on_screen(r);
  const ge_step step = ge_open_input_and_decoder(r);
  if (step != ge_step::ok) return step;
  r.read.at_input_start = true;
  r.read.intra_only = codec_is_intra_only(r);
  r.read.await_key = !keyless && !r.read.intra_only;
  return ge_step::ok;
}

// Asks for a position at or before the target; false when the demuxer
// refuses, which leaves no landing to trust.
bool seek_to(ge_run &r, int64_t window_ms) {
  return av_seek_frame(r.m.in_ctx, r.video_index, ge_window_ms_to_stream_ts(r, window_ms),
                       AVSEEK_FLAG_BACKWARD) >= 0;
}

// Arms the checks of a landing, and drops what the decoder holds.
void landed(ge_run &r) {
  avcodec_flush_buffers(r.m.dec_ctx);
  forget_on_screen(r);
  r.read.await_key = !r.read.intra_only;
  r.read.check_packets = true;
  r.read.check_first_frame = true;
  r.read.dropped_before_key = false;
}

// Moves reading further back than the last try.
ge_step seek_further_back(ge_run &r) {
  const int tries = r.read.retries++;
  if (tries < GE_SEEK_TRIES && r.s->start_ms - GE_SEEK_BACK_MS[tries] > 0 &&
      seek_to(r, r.s->start_ms - GE_SEEK_BACK_MS[tries])) {
    landed(r);
    return ge_step::ok;
  }
  return read_from_input_start(r, false);
}

// The packet's time in window milliseconds: its presentation time or, lacking
// one, its decoding time (never later); false when it carries neither.
bool packet_window_ms(const ge_run &r, const AVPacket *pkt, int64_t *ms) {
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (ts == AV_NOPTS_VALUE) return false;
  *ms = ge_stream_ts_to_window_ms(r, ts);
  return true;
}

}  // namespace

ge_step ge_seek_to_window_start(ge_run &r) {
  r.read.intra_only = codec_is_intra_only(r);
  if (r.s->start_ms <= 0) {
    r.read.at_input_start = true;
    r.read.await_key = !r.read.intra_only;
    return ge_step::ok;
  }
  if (!seek_to(r, r.s->start_ms)) return read_from_input_start(r, false);
  landed(r);
  return ge_step::ok;
}

ge_step ge_check_video_packet(ge_run &r, const AVPacket *pkt, bool *decode) {
  ge_read_start &read = r.read;
  *decode = !read.await_key;
  if (*decode) return ge_step::ok;
  const bool key = read.intra_only || (pkt->flags & AV_PKT_FLAG_KEY) != 0;
  if (read.check_packets) {
    // Decoding must begin at a key frame shown no later than the window's
    // start. A packet before the first key frame that is shown inside the
    // window would be lost, and a key frame shown after the start leaves out
    // the frames before it: either way the key frame needed lies further
    // back, and the run seeks at once rather than read on to it.
    int64_t ms = 0;
    if (packet_window_ms(r, pkt, &ms) && (key ? ms > r.s->start_ms : ms >= r.s->start_ms))
      return seek_further_back(r);
    // Landing between key frames on the window's start itself (a demuxer that
    // seeks by timestamp): frames of the window can lie just before the
    // landing, since B-frames make decoding order run ahead of display order,
    // and a window in the input's last frames would then find none. The first
    // further try lands a second earlier, beyond any such reordering.
    if (!key && read.retries == 0) return seek_further_back(r);
  }
  if (key) {
    read.await_key = false;
    read.check_packets = false;
    *decode = true;
    return ge_step::ok;
  }
  // A picture that refers to pictures the decoder never had: dropped, however
  // many come. A key frame far in (a recording cut in the middle of a long
  // key-frame interval) leaves the window before it with nothing decodable
  // on screen; only an input with no key frame at all, which the input's
  // end shows (below), is decoded without one.
  read.dropped_before_key = true;
  return ge_step::ok;
}

ge_step ge_check_input_end(ge_run &r, bool *reread) {
  // The input ended while video packets were being dropped for want of a key
  // frame, or before any came after a seek: a landing with no key frame after
  // it is no landing, and reading starts over from the input's start. When
  // reading already began there, the input has shown that it marks no key
  // frame at all (some AVIs without an index, intra-only codecs in unusual
  // containers), and it is read once more taking every packet as it comes.
  const ge_read_start &read = r.read;
  *reread = read.await_key && (read.dropped_before_key || !read.at_input_start);
  return *reread ? read_from_input_start(r, r.read.at_input_start) : ge_step::ok;
}

ge_step ge_check_first_frame(ge_run &r, int64_t frame_ms, bool *reread) {
  *reread = false;
  if (!r.read.check_first_frame) return ge_step::ok;
  r.read.check_first_frame = false;
  if (frame_ms <= r.s->start_ms) return ge_step::ok;
  *reread = true;
  return seek_further_back(r);
}
