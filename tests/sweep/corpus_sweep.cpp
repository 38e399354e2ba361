// SPDX-License-Identifier: MIT
// Runs every file of a media folder through the probe and through whole jobs
// (the first 3 s, and a 3 s window from the middle of files longer than 10 s)
// at the default width and rate, and prints one table row per job.
// Fails (exit 1) when a probe answer is not JSON, a job never reaches a final
// state, or a done job's GIF does not decode at the expected width.
//   corpus_sweep FOLDER [SECONDS_PER_JOB]
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "gifexport.h"
#include "support/media_gen.h"
#include "support/test_platform.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::vector<std::string> list_files(const std::string &folder) {
  std::vector<std::string> names;
  for (const std::string &name : testplat::list_dir(folder))
    if (name[0] != '.' && name != "MANIFEST.md") names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

// Waits for a final state; past the limit the job is cancelled and given as
// long again. Returns the state, or -1 when it never ended (a hang).
int wait_final(int id, double limit_s) {
  const auto start = Clock::now();
  bool cancelled = false;
  for (;;) {
    const int state = gifexport_status(id);
    if (state >= GIFEXPORT_STATE_DONE) return state;
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    if (waited > limit_s && !cancelled) {
      gifexport_cancel(id);
      cancelled = true;
    }
    if (waited > 2 * limit_s) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: corpus_sweep FOLDER [SECONDS_PER_JOB]\n");
    return 2;
  }
  av_log_set_level(AV_LOG_QUIET);  // damaged files make the libraries talk a lot
  const std::string folder = argv[1];
  const double limit_s = argc > 2 ? std::atof(argv[2]) : 60.0;
  const std::string out_dir = testplat::make_temp_dir("corpus_sweep_");
  const std::string out = out_dir + "/out.gif";
  const auto files = list_files(folder);
  int problems = 0, jobs = 0, done = 0;
  std::printf("%-34s %-5s %-9s %5s %-10s %-24s %6s %7s\n", "file", "probe", "window", "start",
              "state", "error", "frames", "ms");
  for (const std::string &name : files) {
    const std::string path = folder + "/" + name;
    const json probe = json::parse(gifexport_probe(path.c_str()), nullptr, false);
    if (probe.is_discarded()) {
      std::printf("%-34s PROBE ANSWER IS NOT JSON\n", name.c_str());
      ++problems;
      continue;
    }
    const bool probe_ok = probe["ok"] == true;
    const int64_t duration = probe_ok ? probe["duration_ms"].get<int64_t>() : 0;
    std::vector<int64_t> starts = {0};
    if (duration > 10000) starts.push_back(duration / 2);
    for (const int64_t start : starts) {
      const auto t0 = Clock::now();
      const int id = gifexport_start(path.c_str(), out.c_str(), start, start + 3000, 0, 0);
      std::string state_word = "-", error, frames = "-";
      if (id >= 0) {
        ++jobs;
        const int state = wait_final(id, limit_s);
        const json result = json::parse(gifexport_result(id));
        if (state == -1) {
          state_word = "HANG";
          ++problems;
        } else if (state == GIFEXPORT_STATE_FAILED) {
          state_word = "failed";
          error = result["error"];
        } else if (state == GIFEXPORT_STATE_CANCELLED) {
          state_word = "timeout";
        } else {
          state_word = "done";
          ++done;
          frames = std::to_string(result["frames"].get<long long>());
          fixture::DecodedVideo gif;
          if (!fixture::decode_video(out, &gif) || gif.stream_width != 480 || gif.frames.empty()) {
            state_word = "BAD GIF";
            ++problems;
          }
        }
        if (state != -1) gifexport_free(id);
      }
      const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
      std::printf("%-34s %-5s %4llds+3s %5d %-10s %-24s %6s %7lld\n", name.c_str(),
                  probe_ok ? "ok" : "no", static_cast<long long>(start / 1000), id < 0 ? id : 0,
                  state_word.c_str(), error.c_str(), frames.c_str(), ms);
      std::fflush(stdout);
    }
  }
  std::remove(out.c_str());
  std::error_code ignored;
  std::filesystem::remove(testplat::fs_path(out_dir), ignored);
  std::printf("%zu files, %d jobs, %d done, %d problems\n", files.size(), jobs, done, problems);
  return problems == 0 ? 0 : 1;
}
