// SPDX-License-Identifier: MIT
// A free from another thread while a start is creating the job's thread (a
// host freeing both ids on shutdown): the free must either find nothing to
// free or wait for the thread, never release a slot whose thread it cannot
// see.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "gifexport.h"
#include "platform/thread.h"
#include "support/media_gen.h"
#include "support/test_platform.h"

namespace {

std::atomic<bool> g_creating{false};

void slow_thread_creation() {
  g_creating.store(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  g_creating.store(false);
}

TEST(StartAndFree, FreeDuringThreadCreationNeverLosesTheJob) {
  const std::string dir = testplat::make_temp_dir("gifexport_race_");
  const std::string in = dir + "/in.mp4", out = dir + "/out.gif";
  fixture::ClipSpec clip;
  clip.frames = 10;
  std::string err;
  ASSERT_TRUE(fixture::make_clip(in, clip, &err)) << err;

  g_before_thread_create = slow_thread_creation;
  std::atomic<bool> stop{false};
  std::atomic<int> seen_while_creating{0};
  std::thread host_shutdown([&] {
    while (!stop.load()) {
      if (g_creating.load()) {
        // The slot may not look claimed before its thread is stored.
        if (gifexport_status(0) != -1) seen_while_creating.fetch_add(1);
        gifexport_free(0);
        gifexport_free(1);
      }
      std::this_thread::yield();
    }
  });
  const int id = gifexport_start(in.c_str(), out.c_str(), 0, -1, 64, 5);
  stop.store(true);
  host_shutdown.join();
  g_before_thread_create = nullptr;

  ASSERT_EQ(id, 0);
  EXPECT_EQ(seen_while_creating.load(), 0);
  // The id start returned is good, and its job runs to its end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int state = gifexport_status(id);
  while ((state == 0 || state == 2) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    state = gifexport_status(id);
  }
  EXPECT_EQ(state, GIFEXPORT_STATE_DONE);
  gifexport_free(id);
  EXPECT_EQ(gifexport_status(id), -1);
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::error_code ignored;
  std::filesystem::remove(testplat::fs_path(dir), ignored);
}

}  // namespace
