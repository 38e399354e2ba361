// SPDX-License-Identifier: MIT
// gifexport: the command-line host of the library. See `gifexport --help`.
#include <nlohmann/json.hpp>
#include <unistd.h>
#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#ifndef SIGHUP
#define SIGHUP 1  // Windows: the console closed (see cli_outcomes.cpp)
#endif
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "cli_options.h"
#include "cli_outcomes.h"
#include "gifexport.h"
#include "job_handover.h"
#include "output_removal.h"
#include "sample_clip.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// SIGINT, SIGTERM and SIGHUP. While no job of ours exists (probe, the option
// checks, gifexport_start opening the input, the demo making its sample)
// there is nothing to undo, so the handler ends the tool at once: a probe
// or an open that hangs on a slow input must not outlast Ctrl-C. Once
// gifexport_start has returned a job, the handler only counts: the first
// signal makes the job loop cancel the export and wait for it to end; a
// second one makes it stop waiting and free the job (freeing cancels, waits
// for the worker, which polls for cancellation often, and removes the
// unfinished GIF). While a job stopped by a signal is being freed, a further
// signal ends the tool at once, removing what stands at the output path
// itself: the worker may be stuck in a write or read that does not return
// (a slow device or network file system). The tool exits with 128 + the
// number of the first signal.
//
// The worker creates the output file only after the whole window has been
// decoded, long after gifexport_start has returned, so ending at once during
// the start leaves no partial GIF.
enum SignalMode : int { kEndAtOnce, kCountForJobLoop };

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");
static_assert(std::atomic<const char *>::is_always_lock_free, "the signal handler needs lock-free atomics");

std::atomic<int> g_signal_mode{kEndAtOnce};
std::atomic<int> g_signal_count{0};
std::atomic<int> g_first_signal{0};
// Files that ending at once removes, or null: the demo's sample clip while
// the demo runs, the output of a job stopped by a signal while it is freed.
std::atomic<const char *> g_sample_file{nullptr};
std::atomic<const char *> g_stopped_output{nullptr};
// The running job, which Windows' console handler may have to free itself.
JobHandover g_job;

struct SignalText {
  int number;
  char text[160];
  size_t length;
};
SignalText g_signal_texts[] = {{SIGINT, "", 0}, {SIGTERM, "", 0}, {SIGHUP, "", 0}};

void note_signal(int number) {
  int none = 0;
  g_first_signal.compare_exchange_strong(none, number);
  g_signal_count.fetch_add(1);
}

// Only async-signal-safe calls here: a signal handler calls it. The job's
// temporary file goes too: a worker stuck in a write still holds it.
[[noreturn]] void end_at_once(int exit_code) {
  for (const char *path : {g_sample_file.load(), g_stopped_output.load(), g_job.temp_file()})
    if (path != nullptr) remove_file_only(path);
  const int first = g_first_signal.load();
  for (const auto &t : g_signal_texts)
    if (t.number == first && write(STDERR_FILENO, t.text, t.length) < 0) break;
#if defined(_WIN32)
  ExitProcess(static_cast<UINT>(exit_code));
#else
  _exit(exit_code);
#endif
}

extern "C" void on_signal(int number) {
  const int saved_errno = errno;
  note_signal(number);
  if (g_signal_mode.load() == kEndAtOnce) end_at_once(128 + g_first_signal.load());
  errno = saved_errno;
}

void prepare_signal_texts() {
  for (auto &t : g_signal_texts) {
    const int n = std::snprintf(t.text, sizeof t.text, "gifexport: %s\n", signal_outcome(t.number).message);
    t.length = n > 0 ? std::min(static_cast<size_t>(n), sizeof t.text - 1) : 0;
  }
}

#if defined(_WIN32)
// A closed console, a logoff or a shutdown: Windows ends the process as soon
// as the handler returns (and after about 5 s if it does not), so counting
// for the job loop would leave the job unfreed and its temporary file
// behind. The handler ends the job itself within kEndBound, whichever thread
// frees it (end_job_for_console_event), and ends the tool with the code of
// the first signal. When the job loop freed the job within the bound, the
// loop ends the tool; should it not have by the end of the bound, the tool
// ends at once as for a third signal.
[[noreturn]] void end_for_console_event(int number) {
  const auto started = Clock::now();
  note_signal(number);
  int exit_code = end_job_for_console_event(g_job, g_first_signal.load());
  if (exit_code == kEndedElsewhere) {
    std::this_thread::sleep_until(started + kEndBound);
    exit_code = 128 + g_first_signal.load();
  }
  end_at_once(exit_code);
}

// Windows calls this on a thread of its own for the console's events:
// Ctrl-C and Ctrl-Break count as SIGINT, a closed console as SIGHUP, a
// logoff or shutdown as SIGTERM.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      on_signal(SIGINT);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      end_for_console_event(SIGHUP);
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      end_for_console_event(SIGTERM);
    default:
      return FALSE;
  }
}

void install_signal_handlers() {
  prepare_signal_texts();
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
#else
// A signal that was ignored when the tool started (nohup, a background job
// of a shell without job control) stays ignored.
void install_signal_handlers() {
  prepare_signal_texts();
  for (auto &t : g_signal_texts) {
    struct sigaction old {};
    if (sigaction(t.number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // The library's calls on the job's thread, where a signal may land,
    // go on instead of failing with EINTR.
    sa.sa_flags = SA_RESTART;
    sigaction(t.number, &sa, nullptr);
  }
}
#endif

// The library's texts are UTF-8 JSON, but a library that passed the bytes
// of a path through unchanged would hand over text that is not UTF-8, which
// neither parses nor is JSON to print. Each byte that is not part of a
// valid UTF-8 sequence becomes U+FFFD here.
std::string valid_utf8(const char *text) {
  std::string out;
  const auto *in = reinterpret_cast<const unsigned char *>(text);
  while (*in != 0) {
    const unsigned char lead = *in;
    int continuations = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the byte after the lead
    if (lead < 0x80) {
      continuations = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuations = 2;
      if (lead == 0xE0) low = 0xA0;  // overlong forms
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuations = 3;
      if (lead == 0xF0) low = 0x90;  // overlong forms
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      continuations = -1;  // never a lead byte
    }
    int n = 1;
    // A continuation byte is looked at only while the ones before it were
    // valid, so never past the terminator.
    for (; continuations > 0 && n <= continuations; ++n, low = 0x80, high = 0xBF)
      if (in[n] < low || in[n] > high) break;
    if (continuations >= 0 && n == continuations + 1) {
      out.append(reinterpret_cast<const char *>(in), static_cast<size_t>(n));
      in += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++in;
    }
  }
  return out;
}

// A report of the library as JSON; a discarded value when it cannot be
// parsed, which every reader below treats as a report without the member.
json parse_report(const std::string &text) { return json::parse(text, nullptr, false); }

// A member of a report, or fallback when the report has no such member or
// one of another type.
template <typename T>
T field(const json &report, const char *key, T fallback) {
  if (!report.is_object()) return fallback;
  const auto member = report.find(key);
  if (member == report.end()) return fallback;
  try {
    return member->get<T>();
  } catch (const json::exception &) {
    return fallback;
  }
}

int usage(FILE *to) {
  std::fprintf(to,
               "usage: gifexport probe FILE [--json]\n"
               "       gifexport convert IN OUT [--start T] [--end T] [--width N] [--fps N]\n"
               "                         [--json] [--quiet]\n"
               "       gifexport demo [OUT]\n"
               "       gifexport --version | --help\n"
               "\n"
               "Times T: milliseconds (1500), seconds (2.5s) or clock form (1:02.5).\n"
               "The window is at most 60 s; width 64-1920 (default 480); fps 1-30 (default 15).\n"
               "Ctrl-C (SIGINT), SIGTERM and SIGHUP stop an export and leave no file; a\n"
               "second one stops waiting for the export to wind down. Without an export\n"
               "running they end the tool at once.\n"
               "\n"
               "Exit codes:\n%s",
               exit_code_table().c_str());
  return to == stdout ? EXIT_OK : EXIT_USAGE;
}

int fail(const Outcome &o, const std::string &detail = "") {
  std::fprintf(stderr, "gifexport: %s%s\n", o.message, detail.c_str());
  return o.exit_code;
}

std::string human_size(int64_t bytes) {
  char text[32];
  if (bytes >= 1048576)
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1048576.0);
  else
    std::snprintf(text, sizeof text, "%.1f KB", bytes / 1024.0);
  return text;
}

// One view of a running job on standard error: a bar on a terminal, a plain
// line every second otherwise, nothing when quiet.
class ProgressView {
 public:
  explicit ProgressView(bool quiet) : quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1) {}

  void show(const json &progress, int fps) {
    if (quiet_ || !progress.is_object()) return;
    const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
    if (!terminal_ && elapsed < next_line_at_) return;
    next_line_at_ = elapsed + 1.0;
    double percent = field(progress, "percent", 0.0);
    if (!(percent >= 0)) percent = 0;
    if (percent > 100) percent = 100;
    const std::string phase = field<std::string>(progress, "phase", "");
    const long long frames = field(progress, "frames", 0LL);
    // The whole job: decoding covers the window (the first half), encoding
    // is counted against the frames the window will give (the second half;
    // a long job's second pass over the window is its encode phase).
    const double expected_frames = field(progress, "total_ms", 0.0) * fps / 1000.0;
    double done = phase == "decode" ? percent / 100.0 * 0.5
                                    : 0.5 + 0.5 * (expected_frames > 0 ? frames / expected_frames : 0);
    if (done > 1) done = 1;
    char left[32] = "";
    if (done > 0.05 && done <= 1) std::snprintf(left, sizeof left, "  ~%.0fs left", elapsed * (1 - done) / done);
    if (terminal_) {
      const int filled = static_cast<int>(done * 20);
      std::fprintf(stderr, "\r[%-20s] %5.1f%% %-6s frames %-5lld %5.1fs%-14s",
                   std::string(static_cast<size_t>(filled), '#').c_str(), percent, phase.c_str(),
                   frames, elapsed, left);
    } else {
      std::fprintf(stderr, "progress: %.1f%% %s, %lld frames, %.1fs\n", percent, phase.c_str(),
                   frames, elapsed);
    }
    std::fflush(stderr);
  }

  void finish() {
    if (!quiet_ && terminal_) std::fputc('\n', stderr);
  }

 private:
  bool quiet_;
  bool terminal_;
  Clock::time_point started_ = Clock::now();
  double next_line_at_ = 0;
};

void print_summary(const json &r, const std::string &out) {
  if (!r.is_object()) {
    std::printf("%s: written (the library's result text could not be read)\n", out.c_str());
    return;
  }
  std::printf("%s: %s, %dx%d, %lld frames at %d fps, %.2f s of video, made in %.2f s\n",
              out.c_str(), human_size(field<int64_t>(r, "out_size_bytes", 0)).c_str(),
              field(r, "width", 0), field(r, "height", 0), field(r, "frames", 0LL),
              field(r, "fps", 0), field(r, "duration_ms", 0.0) / 1000.0,
              field(r, "elapsed_ms", 0.0) / 1000.0);
}

// Blocks the calling thread for good: another thread is ending the process.
[[noreturn]] void wait_for_the_end() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Frees the job on every way out of convert, an exception included: the
// library then stops it and removes its unfinished output. When Windows'
// console handler has taken the job, that handler frees it and ends the
// tool, and this thread waits for that.
class JobRelease {
 public:
  explicit JobRelease(JobHandover &job) : job_(job) {}
  JobRelease(const JobRelease &) = delete;
  JobRelease &operator=(const JobRelease &) = delete;
  ~JobRelease() { release(); }
  void release() {
    if (!job_.free_by_loop()) wait_for_the_end();
  }

 private:
  JobHandover &job_;
};

// Whether a probe of path reports that it has no duration: gifexport_start
// refuses such an input with GIFEXPORT_ERR_ARGS, as if the window were empty.
bool reports_no_duration(const std::string &path) {
  const json p = parse_report(valid_utf8(gifexport_probe(path.c_str())));
  return field(p, "ok", false) && field<int64_t>(p, "duration_ms", -1) == 0;
}

// The file an output argument names: the library reads a leading "file:"
// as the media libraries' spelling of a local path.
const char *output_file(const std::string &out) {
  return out.compare(0, 5, "file:") == 0 ? out.c_str() + 5 : out.c_str();
}

// The end of a job stopped by a signal, once it has been freed: the library
// has removed an unfinished GIF, and one finished meanwhile goes too, as
// the user asked to stop.
int end_for_signal(const std::string &out) {
  remove_file_only(output_file(out));
  return fail(signal_outcome(g_first_signal.load()));
}

int convert(const ConvertOptions &o) {
  const int id = gifexport_start(o.in.c_str(), o.out.c_str(), o.start_ms, o.end_ms, o.width, o.fps);
  if (id < 0) {
    if (id == GIFEXPORT_ERR_ARGS && reports_no_duration(o.in)) return fail(no_duration_outcome());
    return fail(start_outcome(id));
  }
  g_job.hold(id, output_file(o.out));
  g_signal_mode.store(kCountForJobLoop);
  JobRelease job(g_job);
  // A job that has already failed reports no fps; the view then counts
  // encoding as half done.
  const int fps = field(parse_report(valid_utf8(gifexport_result(id))), "fps", 0);
  ProgressView view(o.quiet);
  bool cancel_sent = false;
  int state;
  while ((state = gifexport_status(id)) < GIFEXPORT_STATE_DONE) {
    if (g_job.taken()) wait_for_the_end();
    const int signals = g_signal_count.load();
    if (signals >= 2) break;  // no more waiting: freeing stops the job
    if (signals == 1 && !cancel_sent) {
      gifexport_cancel(id);
      cancel_sent = true;
    }
    view.show(parse_report(valid_utf8(gifexport_progress(id))), fps);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (g_signal_count.load() > 0) {
    view.finish();
    g_stopped_output.store(output_file(o.out));
    g_signal_mode.store(kEndAtOnce);
    job.release();
    const int rc = end_for_signal(o.out);
    g_stopped_output.store(nullptr);
    return rc;
  }
  view.show(parse_report(valid_utf8(gifexport_progress(id))), fps);
  view.finish();
  const std::string result = valid_utf8(gifexport_result(id));
  job.release();
  if (g_signal_count.load() > 0) return end_for_signal(o.out);
  const json r = parse_report(result);
  if (o.json) std::printf("%s\n", result.c_str());
  if (state == GIFEXPORT_STATE_FAILED) {
    const std::string error = field<std::string>(r, "error", "");
    return fail(failure_outcome(error), " (" + error + ")");
  }
  if (state != GIFEXPORT_STATE_DONE) return fail({EXIT_INTERRUPTED, "the export was cancelled"});
  if (!o.json && !o.quiet) print_summary(r, o.out);
  return EXIT_OK;
}

int probe(const std::string &path, bool raw) {
  const std::string text = valid_utf8(gifexport_probe(path.c_str()));
  const json p = parse_report(text);
  const bool ok = field(p, "ok", false);
  if (raw) {
    std::printf("%s\n", text.c_str());
  } else if (ok) {
    std::printf("%s\n  format    %s\n  duration  %.3f s\n", path.c_str(),
                field<std::string>(p, "format", "").c_str(), field(p, "duration_ms", 0.0) / 1000.0);
    for (const auto &s : field(p, "streams", json::array())) {
      const std::string type = field<std::string>(s, "type", "");
      std::printf("  #%-3d %-6s %-10s", field(s, "index", -1), type.c_str(),
                  field<std::string>(s, "codec", "").c_str());
      if (type == "video")
        std::printf(" %dx%d  %.3f fps", field(s, "width", 0), field(s, "height", 0),
                    field(s, "fps", 0.0));
      std::printf("\n");
    }
  } else {
    std::fprintf(stderr, "gifexport: %s: %s\n", path.c_str(),
                 field<std::string>(p, "error", "the probe's report could not be read").c_str());
  }
  return ok ? EXIT_OK : EXIT_PROBE_NOT_OK;
}

int demo(const std::string &out) {
  const std::string sample = out + ".sample.mp4";
  g_sample_file.store(sample.c_str());  // a signal while it is made removes it
  std::string err;
  std::printf("making a 5 s sample clip ...\n");
  std::fflush(stdout);
  if (!make_sample_clip(sample, 5, &err)) {
    remove_file_only(sample.c_str());
    g_sample_file.store(nullptr);
    return fail({EXIT_SAMPLE_FAILED, "the sample clip could not be made: "}, err);
  }
  ConvertOptions o;
  o.in = sample;
  o.out = out;
  const int rc = convert(o);
  remove_file_only(sample.c_str());
  g_sample_file.store(nullptr);
  if (rc == EXIT_OK) std::printf("GIF written to %s\n", out.c_str());
  return rc;
}

int run_command(const std::vector<std::string> &args) {
  const std::string &cmd = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (cmd == "--help" || cmd == "-h") return usage(stdout);
  if (cmd == "--version" && rest.empty()) {
    std::printf("%s\n", gifexport_version());
    return EXIT_OK;
  }
  if (cmd == "probe" && (rest.size() == 1 || (rest.size() == 2 && rest[1] == "--json")))
    return probe(rest[0], rest.size() == 2);
  if (cmd == "convert") {
    std::string error;
    const auto options = parse_convert(rest, &error);
    if (!options) return fail({EXIT_USAGE, error.c_str()});
    return convert(*options);
  }
  if (cmd == "demo" && rest.size() <= 1) return demo(rest.empty() ? "demo.gif" : rest[0]);
  return usage(stderr);
}

}  // namespace

#if defined(_WIN32)
// main's arguments are in the ANSI code page, which cannot hold every file
// name: the wide command line, converted to UTF-8 (what the library takes).
std::vector<std::string> utf8_arguments() {
  std::vector<std::string> args;
  int argc = 0;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], n, nullptr, nullptr);
    arg.resize(arg.size() - 1);
    args.push_back(arg);
  }
  LocalFree(argv);
  return args;
}
#endif

int main(int argc, char **argv) {
#if defined(_WIN32)
  static_cast<void>(argc);
  static_cast<void>(argv);
  const std::vector<std::string> args = utf8_arguments();
  // What the tool prints is UTF-8; a console shows it as such.
  SetConsoleOutputCP(CP_UTF8);
#else
  const std::vector<std::string> args(argv + 1, argv + argc);
#endif
  if (args.empty()) return usage(stderr);
  install_signal_handlers();
#ifdef __GLIBC__
  // This program only polls while the job's thread works, so one heap serves
  // it without contention. With glibc's default, the job's thread gets its own
  // arena, which unmaps and maps again the 8 MB frame copies of a 1920 px
  // encode: about 30 % more page faults and 15-20 % more time on such jobs.
  mallopt(M_ARENA_MAX, 1);
#endif
  // The media libraries' notes (palette statistics and the like) would mix
  // with the progress display; their errors still show.
  av_log_set_level(AV_LOG_ERROR);
  try {
    return run_command(args);
  } catch (const std::exception &e) {
    // Out of memory and the like: a message and an exit code, never an
    // abort; a job has been freed on the way out.
    std::fprintf(stderr, "gifexport: %s\n", e.what());
    return EXIT_UNKNOWN_FAILURE;
  }
}
