// SPDX-License-Identifier: MIT
// Shared helpers of the tests that drive the library through its exports.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "gifexport.h"
#include "support/media_gen.h"

namespace apitest {

// A per-process scratch directory, made once.
const std::string &scratch_dir();

// A fresh path in the scratch directory (nothing is created there).
std::string scratch_path(const std::string &name);

// Makes the clip once per process under a name and returns its path; an
// empty string (with the reason in *why) when the generator cannot.
std::string cached_clip(const std::string &name, const fixture::ClipSpec &clip,
                        std::string *why = nullptr);

// A 10 s, 25 fps, 320x240 MPEG-4 clip whose frame i shows its index.
std::string indexed_clip_10s();

// A 1 s clip at 30000/1001 frames a second (NTSC): a rate probes print as
// 29.970.
std::string ntsc_clip();

// A clip whose picture begins 2 s after its sound: no frame is on screen in
// the window [0, 1000), so a job over it fails "no frames in segment" at the
// end of its encode phase.
std::string picture_late_clip();

bool file_exists(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);

// Polls gifexport_status until the job reaches a final state (3, 4 or 5) or
// the deadline passes; returns the last status seen.
int wait_final(int id, std::chrono::milliseconds deadline = std::chrono::seconds(60));

// Polls until pred() holds or the deadline passes; returns pred().
template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
  const auto stop = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > stop) return false;
    std::this_thread::yield();
  }
  return true;
}

// The whole job: start, wait for the end, and return the start result and the
// final status. The slot is left claimed for the caller to inspect.
struct JobEnd {
  int id = -100;
  int status = -100;
};
JobEnd run_job(const std::string &in, const std::string &out, int64_t start_ms, int64_t end_ms,
               int width = 0, int fps = 0);

// Frees both slots, whatever they hold, so every test starts with none claimed.
class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace apitest
