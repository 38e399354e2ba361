// SPDX-License-Identifier: MIT
#include "session/session_table.h"

#include <cstdlib>
#include <cstring>

#include "gifexport.h"
#include "files/job_files.h"

ge_session g_sessions[GE_MAX_SESSIONS];

ge_session *ge_claimed_slot(int id) {
  // Taken as unsigned, every negative id is out of range too.
  if (static_cast<unsigned>(id) >= static_cast<unsigned>(GE_MAX_SESSIONS)) return nullptr;
  ge_session *s = &g_sessions[id];
  return s->in_use.load(std::memory_order_acquire) == GE_SLOT_CLAIMED ? s : nullptr;
}

void ge_session_clear(ge_session *s) {
  // The atomics make the record non-trivial, so it is reset field by field.
  // `in_use` is left to the caller, which holds the slot by it.
  s->state.store(0, std::memory_order_relaxed);
  s->cancel.store(0, std::memory_order_relaxed);
  std::memset(s->in_path, 0, sizeof s->in_path);
  std::memset(s->out_path, 0, sizeof s->out_path);
  s->start_ms = 0;
  s->end_ms = 0;
  s->target_width = 0;
  s->fps = 0;
  s->processed_ms.store(0, std::memory_order_relaxed);
  s->total_ms = 0;
  s->frames.store(0, std::memory_order_relaxed);
  s->phase.store(0, std::memory_order_relaxed);
  s->out_width.store(0, std::memory_order_relaxed);
  s->out_height.store(0, std::memory_order_relaxed);
  s->out_size_bytes.store(0, std::memory_order_relaxed);
  s->elapsed_ms.store(0, std::memory_order_relaxed);
  std::memset(s->error, 0, sizeof s->error);
  std::memset(s->progress_json, 0, sizeof s->progress_json);
  std::memset(s->result_json, 0, sizeof s->result_json);
  s->thread.store(nullptr, std::memory_order_relaxed);
}

void ge_session_reap_thread(ge_session *s) {
  ge_thread *t = s->thread.load(std::memory_order_relaxed);
  if (t == nullptr) return;
  ge_thread_join(t);
  std::free(t);
  s->thread.store(nullptr, std::memory_order_relaxed);
}

extern "C" {

GIFEXPORT_API int GIFEXPORT_CALL gifexport_status(int id) {
  ge_session *s = ge_claimed_slot(id);
  return s ? s->state.load(std::memory_order_acquire) : -1;
}

GIFEXPORT_API void GIFEXPORT_CALL gifexport_cancel(int id) {
  ge_session *s = ge_claimed_slot(id);
  if (s) s->cancel.store(1, std::memory_order_relaxed);
}

GIFEXPORT_API void GIFEXPORT_CALL gifexport_free(int id) {
  ge_session *s = ge_claimed_slot(id);
  if (!s) return;
  s->cancel.store(1, std::memory_order_relaxed);
  ge_session_reap_thread(s);
  // The output belongs to the job: whatever stands there goes unless it is the
  // finished GIF.
  if (s->state.load(std::memory_order_acquire) != GE_STATE_DONE) ge_remove_job_output(s->out_path);
  s->in_use.store(GE_SLOT_FREE, std::memory_order_release);
}

}  // extern "C"
