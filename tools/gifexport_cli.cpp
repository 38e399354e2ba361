// gifexport: the command-line host of the library. See `gifexport --help`.
#include <nlohmann/json.hpp>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli_options.h"
#include "cli_outcomes.h"
#include "gifexport.h"
#include "sample_clip.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_interrupt(int) { g_interrupted = 1; }

void install_interrupt_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
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
               "Ctrl-C stops an export and leaves no file.\n"
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
    if (quiet_) return;
    const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
    if (!terminal_ && elapsed < next_line_at_) return;
    next_line_at_ = elapsed + 1.0;
    const double percent = progress["percent"];
    const std::string phase = progress["phase"];
    const long long frames = progress["frames"];
    // Decoding covers the window; encoding is counted against the frames
    // the window will give.
    const double expected_frames = progress["total_ms"].get<double>() * fps / 1000.0;
    const double done = phase == "decode" ? percent / 100.0 * 0.5
                                          : 0.5 + 0.5 * (expected_frames > 0 ? frames / expected_frames : 0);
    char left[32] = "";
    if (done > 0.05) std::snprintf(left, sizeof left, "  ~%.0fs left", elapsed * (1 - done) / done);
    if (terminal_) {
      const int filled = static_cast<int>(percent / 5);
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
  std::printf("%s: %s, %dx%d, %lld frames at %d fps, %.2f s of video, made in %.2f s\n",
              out.c_str(), human_size(r["out_size_bytes"]).c_str(), r["width"].get<int>(),
              r["height"].get<int>(), r["frames"].get<long long>(), r["fps"].get<int>(),
              r["duration_ms"].get<double>() / 1000.0, r["elapsed_ms"].get<double>() / 1000.0);
}

int convert(const ConvertOptions &o) {
  const int id = gifexport_start(o.in.c_str(), o.out.c_str(), o.start_ms, o.end_ms, o.width, o.fps);
  if (id < 0) return fail(start_outcome(id));
  const int fps = json::parse(gifexport_result(id))["fps"];
  ProgressView view(o.quiet);
  bool cancel_sent = false;
  int state;
  while ((state = gifexport_status(id)) < GIFEXPORT_STATE_DONE) {
    if (g_interrupted && !cancel_sent) {
      gifexport_cancel(id);
      cancel_sent = true;
    }
    view.show(json::parse(gifexport_progress(id)), fps);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  view.show(json::parse(gifexport_progress(id)), fps);
  view.finish();
  const std::string result = gifexport_result(id);
  gifexport_free(id);
  if (g_interrupted) {
    // The user asked to stop: even a GIF that was finished meanwhile goes.
    if (state == GIFEXPORT_STATE_DONE) std::remove(o.out.c_str());
    return fail({EXIT_INTERRUPTED, "interrupted; no file was left"});
  }
  const json r = json::parse(result);
  if (o.json) std::printf("%s\n", result.c_str());
  if (state == GIFEXPORT_STATE_FAILED) return fail(failure_outcome(r["error"]), " (" + r["error"].get<std::string>() + ")");
  if (state != GIFEXPORT_STATE_DONE) return fail({EXIT_INTERRUPTED, "the export was cancelled"});
  if (!o.json && !o.quiet) print_summary(r, o.out);
  return EXIT_OK;
}

int probe(const std::string &path, bool raw) {
  const std::string text = gifexport_probe(path.c_str());
  const json p = json::parse(text);
  if (raw) {
    std::printf("%s\n", text.c_str());
  } else if (p["ok"]) {
    std::printf("%s\n  format    %s\n  duration  %.3f s\n", path.c_str(),
                p["format"].get<std::string>().c_str(), p["duration_ms"].get<double>() / 1000.0);
    for (const auto &s : p["streams"]) {
      std::printf("  #%-3d %-6s %-10s", s["index"].get<int>(), s["type"].get<std::string>().c_str(),
                  s["codec"].get<std::string>().c_str());
      if (s["type"] == "video")
        std::printf(" %dx%d  %.3f fps", s["width"].get<int>(), s["height"].get<int>(),
                    s["fps"].get<double>());
      std::printf("\n");
    }
  } else {
    std::fprintf(stderr, "gifexport: %s: %s\n", path.c_str(),
                 p["error"].get<std::string>().c_str());
  }
  return p["ok"] ? EXIT_OK : EXIT_PROBE_NOT_OK;
}

int demo(const std::string &out) {
  const std::string sample = out + ".sample.mp4";
  std::string err;
  std::printf("making a 5 s sample clip ...\n");
  if (!make_sample_clip(sample, 5, &err)) {
    std::remove(sample.c_str());
    return fail({EXIT_SAMPLE_FAILED, "the sample clip could not be made: "}, err);
  }
  ConvertOptions o;
  o.in = sample;
  o.out = out;
  const int rc = convert(o);
  std::remove(sample.c_str());
  if (rc == EXIT_OK) std::printf("GIF written to %s\n", out.c_str());
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage(stderr);
  install_interrupt_handlers();
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
