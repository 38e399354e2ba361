// Seeking to the window's start, and making that start exact on demuxers
// that seek by timestamp rather than to key frames (MPEG-TS above all).
#include "worker/worker_run.h"

namespace {

// How far before the window's start each further try seeks; after the last,
// reading starts from the beginning of the input.
constexpr int64_t GE_SEEK_BACK_MS[] = {1000, 2000, 4000, 8000};
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
  // From the beginning of the input there is nothing further back to try.
  const bool more_tries = target_ms != GE_BEGINNING_MS;
  r.seek_check_packet = more_tries;
  r.seek_check_frame = more_tries;
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
  r.seek_check_packet = false;
  if (pkt->flags & AV_PKT_FLAG_KEY) return false;
  seek_further_back(r);
  return true;
}

bool ge_seek_landed_late_frame(ge_run &r, int64_t frame_ms) {
  if (!r.seek_check_frame) return false;
  r.seek_check_frame = false;
  if (frame_ms <= r.s->start_ms) return false;
  seek_further_back(r);
  return true;
}
