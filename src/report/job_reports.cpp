// SPDX-License-Identifier: MIT
// Progress and result reports of a job, formatted into the slot's own buffers.
#include <cstdio>

#include "gifexport.h"
#include "report/job_reports.h"
#include "report/json_escape.h"
#include "session/session_table.h"

namespace {

constexpr uint64_t GE_ERROR_ESCAPE_CAP = 512;
// Every path byte becomes at most three (a quote two, a byte that is not
// UTF-8 the three of U+FFFD), so the longest accepted path is never cut.
constexpr uint64_t GE_PATH_ESCAPE_CAP = 3 * GE_MAX_PATH_LEN + 1;
// The result's other fields take at most 300 bytes, so its text is never cut.
static_assert(GE_PATH_ESCAPE_CAP - 1 + 300 < GE_RESULT_CAP, "result text must hold the path");
static_assert(GE_ERROR_ESCAPE_CAP - 1 + 100 < GE_RESULT_CAP, "result text must hold the error");

}  // namespace

double ge_window_percent(int32_t state, int64_t processed_ms, int64_t start_ms, int64_t total_ms) {
  if (state == GE_STATE_DONE) return 100.0;
  int64_t done_ms = processed_ms - start_ms;
  if (done_ms < 0) done_ms = 0;
  const int64_t window_ms = total_ms > 0 ? total_ms : 1;
  const double percent = static_cast<double>(done_ms) * 100.0 / static_cast<double>(window_ms);
  return percent > 100.0 ? 100.0 : percent;
}

extern "C" {

GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_progress(int id) {
  ge_session *s = ge_claimed_slot(id);
  if (!s) return GE_BAD_ID_JSON;
  const int32_t state = s->state.load(std::memory_order_acquire);
  const int64_t processed_ms = s->processed_ms.load(std::memory_order_relaxed);
  const int32_t phase = s->phase.load(std::memory_order_relaxed);
  const int64_t frames = s->frames.load(std::memory_order_relaxed);
  // The fraction is formatted apart from the locale; the integers need no
  // care, as printf groups digits only when asked with the ' flag.
  char percent[GE_JSON_FIXED_CAP];
  json_fixed(ge_window_percent(state, processed_ms, s->start_ms, s->total_ms), 1, percent);
  std::snprintf(s->progress_json, sizeof s->progress_json,
                "{\"state\":%d,\"percent\":%s,\"phase\":\"%s\",\"processed_ms\":%lld,"
                "\"total_ms\":%lld,\"frames\":%lld}",
                state, percent,
                phase == GE_PHASE_DECODE ? "decode" : "encode",
                static_cast<long long>(processed_ms), static_cast<long long>(s->total_ms),
                static_cast<long long>(frames));
  return s->progress_json;
}

GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_result(int id) {
  ge_session *s = ge_claimed_slot(id);
  if (!s) return GE_BAD_ID_JSON;
  char escaped[GE_PATH_ESCAPE_CAP];
  // The state is read first: the failure text is complete once it says failed.
  const int32_t state = s->state.load(std::memory_order_acquire);
  if (state == GE_STATE_FAILED) {
    json_escape(s->error, escaped, GE_ERROR_ESCAPE_CAP);
    std::snprintf(s->result_json, sizeof s->result_json,
                  "{\"state\":%d,\"ok\":false,\"error\":\"%s\"}", state, escaped);
    return s->result_json;
  }
  json_escape(s->out_path, escaped, GE_PATH_ESCAPE_CAP);
  std::snprintf(s->result_json, sizeof s->result_json,
                "{\"state\":%d,\"ok\":%s,\"out_path\":\"%s\",\"out_size_bytes\":%lld,"
                "\"width\":%d,\"height\":%d,\"fps\":%d,\"frames\":%lld,\"duration_ms\":%lld,"
                "\"elapsed_ms\":%lld}",
                state, state == GE_STATE_DONE ? "true" : "false", escaped,
                static_cast<long long>(s->out_size_bytes.load(std::memory_order_relaxed)),
                s->out_width.load(std::memory_order_relaxed),
                s->out_height.load(std::memory_order_relaxed), s->fps,
                static_cast<long long>(s->frames.load(std::memory_order_relaxed)),
                static_cast<long long>(s->total_ms),
                static_cast<long long>(s->elapsed_ms.load(std::memory_order_relaxed)));
  return s->result_json;
}

}  // extern "C"
