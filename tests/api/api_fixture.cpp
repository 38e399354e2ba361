// SPDX-License-Identifier: MIT
#include "api/api_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "support/test_platform.h"

namespace apitest {

namespace {

// Removes the scratch directory when the test program ends.
class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(testplat::fs_path(scratch_dir()), ignored);
  }
};

::testing::Environment *const g_scratch_cleanup =
    ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

}  // namespace

const std::string &scratch_dir() {
  static const std::string dir = [] {
    return testplat::make_temp_dir("gifexport_tests_");
  }();
  return dir;
}

std::string scratch_path(const std::string &name) {
  static int counter = 0;
  return scratch_dir() + "/" + std::to_string(++counter) + "_" + name;
}

std::string cached_clip(const std::string &name, const fixture::ClipSpec &clip,
                        std::string *why) {
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  const std::string path = scratch_dir() + "/clip_" + name;
  std::string err;
  if (!fixture::make_clip(path, clip, &err)) {
    if (why) *why = err;
    return "";
  }
  made[name] = path;
  return path;
}

std::string indexed_clip_10s() {
  fixture::ClipSpec clip;
  clip.frames = 250;
  return cached_clip("indexed_10s.mp4", clip);
}

std::string ntsc_clip() {
  fixture::ClipSpec ntsc;
  ntsc.time_base = AVRational{1, 30000};
  ntsc.frames = 30;
  for (int i = 0; i < ntsc.frames; ++i) ntsc.frame_pts.push_back(int64_t{1001} * i);
  ntsc.last_frame_duration = 1001;
  return cached_clip("ntsc.mp4", ntsc);
}

std::string picture_late_clip() {
  fixture::ClipSpec late;
  late.time_base = AVRational{1, 1000};
  late.frames = 3;
  late.frame_pts = {2000, 2100, 5000};
  late.audio_stream_first = true;  // the sound starts at 0 and sets the input's start
  return cached_clip("picture_late.mp4", late);
}

bool file_exists(const std::string &path) {
  return testplat::exists(path);
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(testplat::fs_path(path), std::ios::binary) << bytes;
}

std::string read_file(const std::string &path) {
  std::ifstream in(testplat::fs_path(path), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int wait_final(int id, std::chrono::milliseconds deadline) {
  int status = -1;
  wait_until(
      [&] {
        status = gifexport_status(id);
        return status != GIFEXPORT_STATE_PENDING && status != GIFEXPORT_STATE_RUNNING;
      },
      deadline);
  return status;
}

JobEnd run_job(const std::string &in, const std::string &out, int64_t start_ms, int64_t end_ms,
               int width, int fps) {
  JobEnd end;
  end.id = gifexport_start(in.c_str(), out.c_str(), start_ms, end_ms, width, fps);
  if (end.id >= 0) end.status = wait_final(end.id);
  return end;
}

void ApiTest::SetUp() {
  gifexport_free(0);
  gifexport_free(1);
}

void ApiTest::TearDown() {
  gifexport_free(0);
  gifexport_free(1);
}

}  // namespace apitest
