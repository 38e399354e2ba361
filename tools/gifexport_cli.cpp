// gifexport: a command-line host of the library.
//   gifexport probe FILE
//   gifexport convert IN OUT [START_MS [END_MS [WIDTH [FPS]]]]
//   gifexport demo [OUT]
//   gifexport --version
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "gifexport.h"
#include "sample_clip.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: gifexport probe FILE\n"
               "       gifexport convert IN OUT [START_MS [END_MS [WIDTH [FPS]]]]\n"
               "       gifexport demo [OUT]\n"
               "       gifexport --version\n");
  return 2;
}

int convert(const char *in, const char *out, int64_t start_ms, int64_t end_ms, int width,
            int fps) {
  const int id = gifexport_start(in, out, start_ms, end_ms, width, fps);
  if (id < 0) {
    std::fprintf(stderr, "gifexport: cannot start (code %d)\n", id);
    return 3;
  }
  while (gifexport_status(id) < GIFEXPORT_STATE_DONE) {
    std::fprintf(stderr, "\r%s", gifexport_progress(id));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const int state = gifexport_status(id);
  std::fprintf(stderr, "\r%s\n", gifexport_progress(id));
  std::printf("%s\n", gifexport_result(id));
  gifexport_free(id);
  return state == GIFEXPORT_STATE_DONE ? 0 : 4;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  if (cmd == "--version") {
    std::printf("%s\n", gifexport_version());
    return 0;
  }
  if (cmd == "probe" && argc == 3) {
    const char *report = gifexport_probe(argv[2]);
    std::printf("%s\n", report);
    return std::strstr(report, "\"ok\":true") ? 0 : 1;
  }
  if (cmd == "convert" && argc >= 4 && argc <= 8) {
    const int64_t start = argc > 4 ? std::atoll(argv[4]) : 0;
    const int64_t end = argc > 5 ? std::atoll(argv[5]) : -1;
    const int width = argc > 6 ? std::atoi(argv[6]) : 0;
    const int fps = argc > 7 ? std::atoi(argv[7]) : 0;
    return convert(argv[2], argv[3], start, end, width, fps);
  }
  if (cmd == "demo" && argc <= 3) {
    const std::string out = argc == 3 ? argv[2] : "demo.gif";
    const std::string sample = out + ".sample.mp4";
    std::string err;
    if (!make_sample_clip(sample, 5, &err)) {
      std::fprintf(stderr, "gifexport: cannot make the sample clip: %s\n", err.c_str());
      return 5;
    }
    const int rc = convert(sample.c_str(), out.c_str(), 0, -1, 0, 0);
    std::remove(sample.c_str());
    if (rc == 0) std::printf("GIF written to %s\n", out.c_str());
    return rc;
  }
  return usage();
}
