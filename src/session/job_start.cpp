// SPDX-License-Identifier: MIT
#include "session/job_start.h"

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "gifexport.h"
#include "files/job_files.h"
#include "platform/thread.h"
#include "session/session_table.h"
#include "worker/gif_thread.h"

int32_t ge_clamp_width(int requested) {
  if (requested <= 0) return 480;
  if (requested < 64) return 64;
  if (requested > 1920) return 1920;
  return requested;
}

int32_t ge_clamp_fps(int requested) {
  if (requested <= 0) return 15;
  if (requested > 30) return 30;
  return requested;
}

int64_t ge_duration_ms(int64_t container_duration_us) {
  if (container_duration_us == AV_NOPTS_VALUE) return 0;
  return container_duration_us / 1000;  // truncates toward zero
}

bool ge_fit_window(int64_t start_ms, int64_t requested_end_ms, int64_t duration_ms,
                   int64_t *end_ms) {
  int64_t end = (requested_end_ms >= 0 && requested_end_ms < duration_ms) ? requested_end_ms
                                                                          : duration_ms;
  if (end <= start_ms) return false;
  if (end - start_ms > GE_MAX_CLIP_MS) end = start_ms + GE_MAX_CLIP_MS;
  *end_ms = end;
  return true;
}

namespace {

bool path_ok(const char *path) { return path != nullptr && path[0] != '\0'; }

// Length of a path, counted no further than one byte past the longest accepted.
size_t bounded_len(const char *path) { return strnlen(path, GE_MAX_PATH_LEN + 1); }

// Opens the input once to learn whether it holds video and how long it is.
// Returns 0, GE_ERR_OPEN or GE_ERR_NO_VIDEO; the input is closed on every path.
int check_input(const char *in_path, int64_t *duration_ms) {
  AVFormatContext *in_ctx = nullptr;
  if (ge_open_input(&in_ctx, in_path) < 0) return GE_ERR_OPEN;
  if (avformat_find_stream_info(in_ctx, nullptr) < 0) {
    avformat_close_input(&in_ctx);
    return GE_ERR_OPEN;
  }
  if (in_ctx->nb_streams == 0) {
    avformat_close_input(&in_ctx);
    return GE_ERR_NO_VIDEO;
  }
  bool has_video = false;
  for (unsigned i = 0; i < in_ctx->nb_streams; ++i)
    if (in_ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) has_video = true;
  *duration_ms = ge_duration_ms(in_ctx->duration);
  avformat_close_input(&in_ctx);
  return has_video ? 0 : GE_ERR_NO_VIDEO;
}

// Takes the first free slot (0 before 1) by compare-and-exchange, so two
// overlapping starts never get the same slot. Returns its index or -1.
int take_free_slot() {
  for (int i = 0; i < GE_MAX_SESSIONS; ++i) {
    int32_t expected = GE_SLOT_FREE;
    if (g_sessions[i].in_use.compare_exchange_strong(expected, GE_SLOT_FILLING,
                                                     std::memory_order_acquire))
      return i;
  }
  return -1;
}

void release_slot(ge_session *s) {
  s->thread.store(nullptr, std::memory_order_relaxed);
  s->in_use.store(GE_SLOT_FREE, std::memory_order_release);
}

}  // namespace

extern "C" GIFEXPORT_API int GIFEXPORT_CALL gifexport_start(const char *in_path,
                                                            const char *out_path,
                                                            int64_t start_ms, int64_t end_ms,
                                                            int width, int fps) {
  if (!path_ok(in_path) || !path_ok(out_path) || start_ms < 0) return GE_ERR_ARGS;
  const size_t in_len = bounded_len(in_path);
  const size_t out_len = bounded_len(out_path);
  if (in_len > GE_MAX_PATH_LEN || out_len > GE_MAX_PATH_LEN) return GE_ERR_ARGS;
  // A failed or cancelled job removes its output: never let that be the input.
  if (ge_output_names_input(in_path, out_path)) return GE_ERR_ARGS;
  // Opening a FIFO or socket for writing waits for a reader, where no cancel
  // reaches the worker: such an output is refused before anything starts.
  if (ge_output_would_block(out_path)) return GE_ERR_ARGS;

  const int32_t target_width = ge_clamp_width(width);
  const int32_t target_fps = ge_clamp_fps(fps);

  int64_t duration_ms = 0;
  if (int rc = check_input(in_path, &duration_ms); rc != 0) return rc;
  int64_t window_end = 0;
  if (!ge_fit_window(start_ms, end_ms, duration_ms, &window_end)) return GE_ERR_ARGS;

  const int id = take_free_slot();
  if (id < 0) return GE_ERR_BUSY;
  ge_session *s = &g_sessions[id];

  // A thread left by an earlier job of this slot is waited for and released.
  ge_session_reap_thread(s);

  ge_session_clear(s);
  s->state.store(GE_STATE_PENDING, std::memory_order_relaxed);
  std::memcpy(s->in_path, in_path, in_len + 1);  // the length test guarantees the fit
  std::memcpy(s->out_path, out_path, out_len + 1);
  s->start_ms = start_ms;
  s->end_ms = window_end;
  s->total_ms = window_end - start_ms;
  s->target_width = target_width;
  s->fps = target_fps;

  auto *t = static_cast<ge_thread *>(std::calloc(1, sizeof(ge_thread)));
  if (t == nullptr) {
    release_slot(s);
    return GE_ERR_THREAD;
  }
  t->routine = gif_thread;
  t->arg = s;
  if (!ge_thread_start(t)) {
    std::free(t);
    release_slot(s);
    return GE_ERR_THREAD;
  }
  // The thread is stored before the claim is published: a free on another
  // thread that sees the slot claimed always finds the thread to wait for.
  // The worker never reads `in_use`, so it may run before the claim shows.
  s->thread.store(t, std::memory_order_relaxed);
  s->in_use.store(GE_SLOT_CLAIMED, std::memory_order_release);
  return id;
}
