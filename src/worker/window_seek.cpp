// SPDX-License-Identifier: MIT
// Seeking to the window's start, and making that start exact on demuxers
// that seek by timestamp rather than to key frames (MPEG-TS above all).
//
// A timestamp seek lands on whatever packet lies near the target, mostly
// between key frames. Decoding can only begin at a key frame, so the video
// packets before the first one are dropped; that costs at most one key-frame
// interval of reading, where seeking further back for every landing between
// key frames would end up reading the input from its beginning. The run seeks
// further back only when decoding from there would miss frames of the window:
// the first key frame, or a packet dropped before it, is shown after the
// window's start, or the first landing lies too close to the start (below).
#include "worker/worker_run.h"

namespace {

// How far before the window's start each further try seeks; after the last,
// reading starts from the beginning of the input. Doubling keeps the packets
// read on the way within twice the distance back to the key frame needed.
constexpr int64_t GE_SEEK_BACK_MS[] = {1000, 2000, 4000, 8000, 16000, 32000, 64000};
constexpr int GE_SEEK_TRIES = sizeof GE_SEEK_BACK_MS / sizeof GE_SEEK_BACK_MS[0];
// A target before the input's first timestamp: asking for the start time
// itself lets a timestamp-searching demuxer stop on the frame after the first
// key frame, since with B-frames decoding order runs ahead of display order.
constexpr int64_t GE_BEGINNING_MS = -1000;

void seek_to(ge_run &r, int64_t window_ms) {
  // On failure reading goes on from wherever the demuxer stands; frames
  // before the window are dropped all the same.
  const int sought = av_seek_frame(r.m.in_ctx, r.video_index,
                                   ge_window_ms_to_stream_ts(r, window_ms), AVSEEK_FLAG_BACKWARD);
  static_cast<void>(sought);
}

// Seeks further back than the last try, and drops what the decoder holds.
void seek_further_back(ge_run &r) {
  const int tries = r.seek_retries++;
  int64_t target_ms = GE_BEGINNING_MS;
  if (tries < GE_SEEK_TRIES && r.s->start_ms - GE_SEEK_BACK_MS[tries] > 0)
    target_ms = r.s->start_ms - GE_SEEK_BACK_MS[tries];
  seek_to(r, target_ms);
  avcodec_flush_buffers(r.m.dec_ctx);
  // From the beginning of the input there is nothing further back to try:
  // every packet is then decoded, as a player starting the file would.
  const bool more_tries = target_ms != GE_BEGINNING_MS;
  r.seek_check_packet = more_tries;
  r.seek_check_frame = more_tries;
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

void ge_seek_to_window_start(ge_run &r) {
  if (r.s->start_ms <= 0) return;
  seek_to(r, r.s->start_ms);
  r.seek_check_packet = true;
  r.seek_check_frame = true;
}

bool ge_seek_landed_late_packet(ge_run &r, const AVPacket *pkt) {
  if (!r.seek_check_packet) return false;
  const bool key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
  int64_t ms = 0;
  const bool timed = packet_window_ms(r, pkt, &ms);
  // Decoding can begin only at a key frame, and must begin at one shown no
  // later than the window's start. A packet before the first key frame that
  // is shown inside the window would be lost, and a key frame shown after the
  // start leaves out the frames before it: either way the key frame needed
  // lies further back, and the run seeks at once rather than read on to it.
  if (timed && (key ? ms > r.s->start_ms : ms >= r.s->start_ms)) {
    seek_further_back(r);
    return true;
  }
  if (!key) {
    // Landing between key frames on the window's start itself (a demuxer that
    // seeks by timestamp): frames of the window can lie just before the
    // landing, since B-frames make decoding order run ahead of display order,
    // and a window in the input's last frames would then find none. The first
    // further try lands a second earlier, beyond any such reordering.
    if (r.seek_retries == 0) seek_further_back(r);
    // Otherwise a picture that refers to pictures the decoder never had, and
    // shown before the window anyway.
    return true;
  }
  r.seek_check_packet = false;
  return false;
}

bool ge_seek_landed_late_frame(ge_run &r, int64_t frame_ms) {
  if (!r.seek_check_frame) return false;
  r.seek_check_frame = false;
  if (frame_ms <= r.s->start_ms) return false;
  seek_further_back(r);
  return true;
}
