// SPDX-License-Identifier: MIT
// The two session slots: each slot is the complete record of one job, shared
// by the host's threads and the job's worker thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/thread.h"

constexpr int GE_MAX_SESSIONS = 2;
constexpr int GE_PATH_CAP = 1200;        // bytes per path field, NUL included
constexpr int GE_MAX_PATH_LEN = 1198;    // longest path a job accepts
constexpr int64_t GE_MAX_CLIP_MS = 60000;
constexpr int GE_ERROR_CAP = 256;
constexpr int GE_PROGRESS_CAP = 512;
constexpr int GE_RESULT_CAP = 4096;

// Values of `in_use`. While a start fills a slot it holds it as FILLING, which
// no other start can take and every id check still treats as free.
constexpr int32_t GE_SLOT_FREE = 0;
constexpr int32_t GE_SLOT_CLAIMED = 1;
constexpr int32_t GE_SLOT_FILLING = 2;

constexpr int GE_STATE_PENDING = 0;
constexpr int GE_STATE_RUNNING = 2;
constexpr int GE_STATE_DONE = 3;
constexpr int GE_STATE_CANCELLED = 4;
constexpr int GE_STATE_FAILED = 5;

constexpr int GE_PHASE_DECODE = 0;
constexpr int GE_PHASE_ENCODE = 1;

constexpr int GE_ERR_ARGS = -1;
constexpr int GE_ERR_BUSY = -2;
constexpr int GE_ERR_OPEN = -3;
constexpr int GE_ERR_THREAD = -4;
constexpr int GE_ERR_NO_VIDEO = -5;

static_assert(std::atomic<int32_t>::is_always_lock_free, "32-bit fields must be single words");
static_assert(std::atomic<int64_t>::is_always_lock_free, "64-bit fields must be single words");

// Sharing rules. Fields the other side may read while one side writes them
// are atomic words with loads and stores only:
//  - `cancel` and the worker's running figures use relaxed order: each is a
//    value of its own, carrying no other data.
//  - `state`: the worker's final store is a release store and every reader
//    loads it with acquire, so whoever sees the final state also sees the
//    figures and the `error` text written before it.
//  - `in_use`: taken by compare-and-exchange (free to FILLING), published as
//    CLAIMED with release once the slot is filled and its thread stored; id
//    checks load it with acquire, so a reader that finds a slot claimed also
//    sees the paths, the parameters and the thread the start wrote. A free
//    from another thread therefore never finds a claimed slot without its
//    thread, which it must wait for.
//  - `thread`: written by start (before the claim is published) and by free
//    and the next start (after waiting for the thread), read by both; an
//    atomic pointer, so a free on another thread reads it whole.
// The paths and job parameters are written before the thread is created and
// never change while the slot is claimed.
struct ge_session {
  std::atomic<int32_t> in_use;
  std::atomic<int32_t> state;
  std::atomic<int32_t> cancel;
  char in_path[GE_PATH_CAP];
  char out_path[GE_PATH_CAP];
  int64_t start_ms;
  int64_t end_ms;
  int32_t target_width;
  int32_t fps;
  std::atomic<int64_t> processed_ms;
  int64_t total_ms;
  std::atomic<int64_t> frames;
  std::atomic<int32_t> phase;
  std::atomic<int32_t> out_width;
  std::atomic<int32_t> out_height;
  std::atomic<int64_t> out_size_bytes;
  std::atomic<int64_t> elapsed_ms;
  char error[GE_ERROR_CAP];
  char progress_json[GE_PROGRESS_CAP];
  char result_json[GE_RESULT_CAP];
  std::atomic<ge_thread *> thread;
};

// Zero-filled at load (static storage); never allocated or released.
extern ge_session g_sessions[GE_MAX_SESSIONS];

// The slot of a good id (0 or 1, slot claimed), or null for a bad id.
ge_session *ge_claimed_slot(int id);

// Sets every field of the slot except `in_use` to zero (`thread` included).
void ge_session_clear(ge_session *s);

// Waits for the slot's thread (if any) to end, releases it and clears `thread`.
void ge_session_reap_thread(ge_session *s);
