// SPDX-License-Identifier: MIT
// Fuzz target for a whole job: the input bytes become a media file, which is
// probed and then converted (first second, 64 px wide, 5 fps) through the
// public interface, the way a host drives it. Besides the sanitizers it checks
// what the interface promises: states, report texts, the agreement of probe
// and start, a freed slot, and that only a finished job leaves its GIF.
// Inputs of odd length run with no budget for held frames, so their jobs take
// the two-pass path; each is then run again in one pass, and both runs must
// end alike (see check_one_pass_agrees).
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_common.h"
#include "gifexport.h"
#include "worker/two_pass_budget.h"

namespace {

constexpr size_t kProbeCap = 65536;
constexpr size_t kProgressCap = 512;  // the slot's progress buffer
constexpr size_t kResultCap = 4096;   // the slot's result buffer
// Pictures above this many pixels are skipped: decoding them only measures
// the allocator, and one 64 px wide GIF needs nothing that large.
constexpr long long kMaxPixels = 4096LL * 4096LL;
// The probe stops listing streams once its text passes this length, so a
// shorter text holds every stream of the file.
constexpr size_t kProbeListLimit = kProbeCap - 513;
constexpr int kWidth = 64;
constexpr int kFps = 5;
constexpr int64_t kEndMs = 1000;
// After this the job (with its one-pass rerun) is asked to stop; libFuzzer's
// -timeout catches a job that does not stop after that.
constexpr double kCancelAfterSeconds = 20.0;
const char kStale[] = "stale bytes the job must remove unless it finishes\n";

std::string g_input_path;
std::string g_output_path;
// JOB_FUZZER_VERBOSE=1 prints what each input did, for replaying findings.
bool g_verbose = false;
// The library's own held-frames budget, restored for one-pass runs.
int64_t g_library_budget = 0;

// The window here holds 6 frames of 64xH BGRA (1536*H bytes), far below the
// library's budget, so without help no job would take two passes. Odd-length
// inputs get a budget of 0: the length shows a finding's mode at a glance,
// and libFuzzer's inserts and erasures move inputs between the two modes.
bool takes_two_passes(size_t size) { return size % 2 == 1; }

// FFmpeg messages at error level or worse since the count was cleared (at
// each input); nothing is printed.
std::atomic<int> g_ffmpeg_errors{0};
void count_ffmpeg_errors(void *, int level, const char *, va_list) {
  if (level <= AV_LOG_ERROR) g_ffmpeg_errors.fetch_add(1, std::memory_order_relaxed);
}

// How one job ended: its state and result text, and its GIF when done.
struct job_ending {
  int state = 0;
  bool cancelled = false;
  std::string result;
  std::string gif;
};

void remove_scratch() {
  std::remove(g_input_path.c_str());
  std::remove(g_output_path.c_str());
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// True when some stream of the probe text is larger than kMaxPixels.
bool has_huge_picture(const char *probe) {
  for (const char *at = std::strstr(probe, "\"width\":"); at != nullptr;
       at = std::strstr(at + 1, "\"width\":")) {
    long long w = 0, h = 0;
    if (std::sscanf(at, "\"width\":%lld,\"height\":%lld", &w, &h) == 2 && w * h > kMaxPixels)
      return true;
  }
  return false;
}

// Size of the file at path, or -1 when there is none (not following a link).
long long file_size(const std::string &path, bool *regular) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    FUZZ_CHECK(errno == ENOENT, "lstat %s: %s", path.c_str(), std::strerror(errno));
    return -1;
  }
  if (regular) *regular = S_ISREG(st.st_mode);
  return static_cast<long long>(st.st_size);
}

// What the probe says the start must answer: the same open and analysis run
// in both, so they agree on whether the file opens, has video and has a
// non-empty first second.
void check_start_agrees_with_probe(const char *probe, size_t probe_len, int id) {
  if (std::strncmp(probe, "{\"ok\":false", 11) == 0) {
    FUZZ_CHECK(id == GIFEXPORT_ERR_OPEN, "probe failed (%s) but start returned %d", probe, id);
    return;
  }
  const bool complete_list = probe_len < kProbeListLimit;
  const bool video = std::strstr(probe, "\"type\":\"video\"") != nullptr;
  if (!video) {
    if (complete_list)
      FUZZ_CHECK(id == GIFEXPORT_ERR_NO_VIDEO,
                 "probe lists no video (%.300s) but start returned %d", probe, id);
    return;
  }
  const long long duration_ms = fuzz_json_int(probe, "duration_ms", 0);
  if (duration_ms <= 0)
    FUZZ_CHECK(id == GIFEXPORT_ERR_ARGS,
               "duration %lld ms gives an empty window, start returned %d", duration_ms, id);
  else
    FUZZ_CHECK(id >= 0 || id == GIFEXPORT_ERR_THREAD,
               "probe found video and %lld ms (%.300s) but start returned %d", duration_ms, probe,
               id);
}

void check_final_reports(int id, int state) {
  const char *progress = gifexport_progress(id);
  fuzz_check_json_object(progress, kProgressCap, "progress");
  FUZZ_CHECK(fuzz_json_int(progress, "state", -100) == state, "progress state vs %d: %s", state,
             progress);
  double percent = -1;
  const char *p = std::strstr(progress, "\"percent\":");
  FUZZ_CHECK(p && std::sscanf(p, "\"percent\":%lf", &percent) == 1 && percent >= 0.0 &&
                 percent <= 100.0,
             "percent out of range: %s", progress);
  FUZZ_CHECK(fuzz_json_int(progress, "total_ms", -1) > 0 &&
                 fuzz_json_int(progress, "total_ms", -1) <= kEndMs,
             "window length out of range: %s", progress);

  const char *result = gifexport_result(id);
  fuzz_check_json_object(result, kResultCap, "result");
  FUZZ_CHECK(fuzz_json_int(result, "state", -100) == state, "result state vs %d: %s", state,
             result);
  if (state == GIFEXPORT_STATE_FAILED) {
    FUZZ_CHECK(std::strstr(result, "\"ok\":false,\"error\":\"") != nullptr, "failed result: %s",
               result);
  } else if (state == GIFEXPORT_STATE_DONE) {
    FUZZ_CHECK(std::strstr(result, "\"ok\":true") != nullptr, "done result: %s", result);
    FUZZ_CHECK(fuzz_json_int(result, "width", -1) == kWidth, "GIF width: %s", result);
    FUZZ_CHECK(fuzz_json_int(result, "height", -1) > 0, "GIF height: %s", result);
    FUZZ_CHECK(fuzz_json_int(result, "fps", -1) == kFps, "GIF fps: %s", result);
    FUZZ_CHECK(fuzz_json_int(result, "frames", -1) > 0, "done without frames: %s", result);
    // The GIF covers the window only: one frame per 1/fps second of it, and
    // one more for the rounding of the rate stage at either edge.
    const long long window_ms = fuzz_json_int(result, "duration_ms", -1);
    const long long max_frames = (window_ms * kFps + 999) / 1000 + 1;
    FUZZ_CHECK(fuzz_json_int(result, "frames", -1) <= max_frames,
               "%lld ms at %d fps allow %lld frames: %s", window_ms, kFps, max_frames, result);
  }
}

// A finished GIF must be the file the result describes; it is read into
// `gif` and removed.
void take_gif(const char *result, std::string *gif) {
  bool regular = false;
  const long long size = file_size(g_output_path, &regular);
  FUZZ_CHECK(size > 0 && regular, "done job left no GIF (size %lld)", size);
  FUZZ_CHECK(size == fuzz_json_int(result, "out_size_bytes", -1),
             "file size %lld differs from the result: %s", size, result);
  gif->assign(static_cast<size_t>(size), '\0');
  std::FILE *f = std::fopen(g_output_path.c_str(), "rb");
  FUZZ_CHECK(f != nullptr, "cannot read the GIF");
  const size_t got = std::fread(&(*gif)[0], 1, gif->size(), f);
  std::fclose(f);
  FUZZ_CHECK(got == gif->size(), "GIF shorter than its size");
  FUZZ_CHECK(gif->compare(0, 4, "GIF8") == 0, "output is no GIF");
  std::remove(g_output_path.c_str());
}

// Follows a started job to its end, cancelling it at `cancel_at` (a
// now_seconds() time), checks its reports and what it left at its output,
// and frees it.
job_ending follow_job(int id, double cancel_at) {
  job_ending end;
  const double started = now_seconds();
  for (;;) {
    end.state = gifexport_status(id);
    FUZZ_CHECK(end.state == 0 || end.state == 2 || end.state == 3 || end.state == 4 ||
                   end.state == 5,
               "status returned %d while the job is claimed", end.state);
    if (end.state >= GIFEXPORT_STATE_DONE) break;
    if (!end.cancelled && now_seconds() > cancel_at) {
      gifexport_cancel(id);
      end.cancelled = true;
    }
    usleep(500);
  }
  FUZZ_CHECK(end.state != GIFEXPORT_STATE_CANCELLED || end.cancelled,
             "cancelled without being asked");

  check_final_reports(id, end.state);
  // Copied before the free: the slot's buffer is the library's.
  end.result = gifexport_result(id);
  if (g_verbose)
    std::fprintf(stderr, "after %.3f s: %s\n%s\n", now_seconds() - started,
                 gifexport_progress(id), end.result.c_str());

  gifexport_free(id);
  FUZZ_CHECK(gifexport_status(id) == -1, "status of a freed id is %d", gifexport_status(id));
  FUZZ_CHECK(std::strcmp(gifexport_result(id), "{\"error\":\"bad id\"}") == 0,
             "result of a freed id: %s", gifexport_result(id));

  if (end.state == GIFEXPORT_STATE_DONE) {
    take_gif(end.result.c_str(), &end.gif);
  } else {
    const long long left = file_size(g_output_path, nullptr);
    FUZZ_CHECK(left == -1, "job ended in state %d but left %lld bytes at its output", end.state,
               left);
  }
  return end;
}

// Starts a job on the scratch input with a stale file at its output path (the
// job owns the path and must remove it unless it finishes). Returns the id or
// the start's error code.
int start_job(int64_t budget) {
  fuzz_write_file(g_output_path, reinterpret_cast<const uint8_t *>(kStale), sizeof kStale - 1);
  // Read by the worker the job starts, so set before the start.
  ge_set_held_frames_budget(budget);
  const int id = gifexport_start(g_input_path.c_str(), g_output_path.c_str(), 0, kEndMs, kWidth,
                                 kFps);
  FUZZ_CHECK(id != GIFEXPORT_ERR_BUSY, "a slot is still taken after every job was freed");
  FUZZ_CHECK(id == 0 || id == 1 || id == GIFEXPORT_ERR_ARGS || id == GIFEXPORT_ERR_OPEN ||
                 id == GIFEXPORT_ERR_THREAD || id == GIFEXPORT_ERR_NO_VIDEO,
             "start returned %d", id);
  if (id < 0) std::remove(g_output_path.c_str());
  return id;
}

// The two-pass job must end as the same job in one pass does: the same state,
// the same failure, the same frames and, when FFmpeg logged no error in
// either run, the same GIF bytes. A decoder that meets damaged data may leave
// parts of a picture as whatever its buffers held before (FFmpeg 5.1's HEVC
// decoder does), so two decodes of one damaged file need not give the same
// pixels. A job stopped by the harness's cancel is not compared (where it
// stopped depends on the machine). The rerun shares the two-pass job's
// deadline, so the pair stays within libFuzzer's -timeout.
void check_one_pass_agrees(const job_ending &two, double cancel_at) {
  if (two.cancelled) return;
  const int id = start_job(g_library_budget);
  if (g_verbose) std::fprintf(stderr, "again in one pass: start: %d\n", id);
  if (id == GIFEXPORT_ERR_THREAD) return;
  FUZZ_CHECK(id >= 0, "started in two passes, but start returned %d in one", id);
  const job_ending one = follow_job(id, cancel_at);
  if (one.cancelled) return;
  const char *r1 = one.result.c_str(), *r2 = two.result.c_str();
  FUZZ_CHECK(one.state == two.state, "one pass ended in state %d, two passes in %d:\n  %s\n  %s",
             one.state, two.state, r1, r2);
  if (one.state == GIFEXPORT_STATE_FAILED)
    FUZZ_CHECK(one.result == two.result, "failures differ:\n  %s\n  %s", r1, r2);
  if (one.state != GIFEXPORT_STATE_DONE) return;
  for (const char *key : {"width", "height", "frames", "duration_ms"})
    FUZZ_CHECK(fuzz_json_int(r1, key, -1) == fuzz_json_int(r2, key, -1),
               "%s differs:\n  one pass:   %s\n  two passes: %s", key, r1, r2);
  const int errors = g_ffmpeg_errors.load(std::memory_order_relaxed);
  if (g_verbose) std::fprintf(stderr, "FFmpeg errors logged in the two runs: %d\n", errors);
  if (errors == 0)
    FUZZ_CHECK(one.gif == two.gif, "GIFs differ: %zu bytes in one pass, %zu in two",
               one.gif.size(), two.gif.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  av_log_set_level(AV_LOG_QUIET);
  av_log_set_callback(count_ffmpeg_errors);
  g_library_budget = ge_held_frames_budget();
  g_input_path = fuzz_scratch_path("job_fuzzer", ".fuzzin");
  g_output_path = fuzz_scratch_path("job_fuzzer", "-out.gif");
  std::atexit(remove_scratch);
  const char *verbose = std::getenv("JOB_FUZZER_VERBOSE");
  g_verbose = verbose != nullptr && verbose[0] == '1';
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_write_file(g_input_path, data, size);
  const char *probe = gifexport_probe(g_input_path.c_str());
  const size_t probe_len = fuzz_check_json_object(probe, kProbeCap, "probe");
  const uint32_t kind = fuzz_note_probe(probe);
  if (has_huge_picture(probe)) return 0;
  // The probe text is replaced by the next probe only, so it stays readable.

  const bool two_passes = takes_two_passes(size);
  g_ffmpeg_errors.store(0, std::memory_order_relaxed);
  const int id = start_job(two_passes ? 0 : g_library_budget);
  if (g_verbose)
    std::fprintf(stderr, "probe: %.300s\nstart: %d (%s)\n", probe, id,
                 two_passes ? "two passes" : "one pass");
  check_start_agrees_with_probe(probe, probe_len, id);
  fuzz_note_outcome(fuzz_mix(kind, id));
  if (id < 0) return 0;

  const double cancel_at = now_seconds() + kCancelAfterSeconds;
  const job_ending ending = follow_job(id, cancel_at);
  // How the job ended (state, failure text, frame count) per kind of file
  // and mode.
  fuzz_note_outcome(fuzz_mix(fuzz_mix(fuzz_hash(ending.result.c_str(), true, kind),
                                      fuzz_json_int(ending.result.c_str(), "frames", -1)),
                             two_passes));
  if (two_passes) check_one_pass_agrees(ending, cancel_at);
  FUZZ_CHECK(file_size(g_input_path, nullptr) == static_cast<long long>(size),
             "the input file was changed");
  return 0;
}
