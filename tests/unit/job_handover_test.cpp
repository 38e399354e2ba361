// SPDX-License-Identifier: MIT
// The tool's running job handed between its job loop and Windows' console
// handler: on a closed console, a logoff or a shutdown the handler cancels and
// frees the job, removes its temporary file and its output, and gives the
// exit code of the first signal; exactly one of the two threads frees a job.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gifexport.h"
#include "job_handover.h"
#include "support/media_gen.h"
#include "support/test_platform.h"

#ifndef SIGHUP
#define SIGHUP 1  // the number the tool gives a closed console on Windows
#endif

namespace {

class JobHandoverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    clip_dir_ = new std::string(testplat::make_temp_dir("gifexport_handover_clip_"));
    fixture::ClipSpec clip;
    clip.frames = 250;  // 10 s: long enough to catch the job writing
    std::string err;
    ASSERT_TRUE(fixture::make_clip(clip_path(), clip, &err)) << err;
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(testplat::fs_path(*clip_dir_), ignored);
    delete clip_dir_;
  }
  void SetUp() override { out_dir_ = testplat::make_temp_dir("gifexport_handover_"); }
  void TearDown() override {
    gifexport_free(0);
    gifexport_free(1);
    std::error_code ignored;
    std::filesystem::remove_all(testplat::fs_path(out_dir_), ignored);
  }

  static std::string clip_path() { return *clip_dir_ + "/in.mp4"; }
  std::string out_path() const { return out_dir_ + "/out.gif"; }

  // Whether the job's hidden temporary file stands in the output folder.
  bool temp_file_there() const {
    for (const std::string &name : testplat::list_dir(out_dir_))
      if (name.rfind(".gifexport-", 0) == 0) return true;
    return false;
  }

  static std::string *clip_dir_;
  std::string out_dir_;
};

std::string *JobHandoverTest::clip_dir_ = nullptr;

template <typename Pred>
bool wait_for(Pred pred) {
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > stop) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST_F(JobHandoverTest, ConsoleEndFreesTheJobAndLeavesNoFile) {
  const struct {
    const char *what;
    int first_signal, exit_code;
    bool job_done;  // the GIF finished before the event, not yet freed
  } cases[] = {
      {"console closed while the GIF is written", SIGHUP, 129, false},
      {"logoff or shutdown while the GIF is written", SIGTERM, 143, false},
      {"console closed after a Ctrl-C", SIGINT, 130, false},
      {"console closed once the GIF is finished", SIGHUP, 129, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = out_path();
    const int id = gifexport_start(clip_path().c_str(), out.c_str(), 0, -1, 320, 30);
    ASSERT_GE(id, 0);
    JobHandover job;
    job.hold(id, out.c_str());
    if (c.job_done) {
      ASSERT_TRUE(wait_for([&] { return gifexport_status(id) >= GIFEXPORT_STATE_DONE; }));
      ASSERT_EQ(gifexport_status(id), GIFEXPORT_STATE_DONE);
      ASSERT_TRUE(testplat::exists(out));
    } else {
      ASSERT_TRUE(wait_for([&] { return temp_file_there(); })) << "no temporary file appeared";
    }

    EXPECT_EQ(end_job_for_console_event(job, c.first_signal), c.exit_code);
    EXPECT_EQ(gifexport_status(id), -1) << "the job was not freed";
    EXPECT_TRUE(testplat::list_dir(out_dir_).empty()) << testplat::list_dir(out_dir_)[0];
    // The job loop sees the job taken and must not free it again.
    EXPECT_TRUE(job.taken());
    EXPECT_FALSE(job.free_by_loop());
    // A second event finds the job taken: the first one ends the tool.
    EXPECT_EQ(end_job_for_console_event(job, c.first_signal), kEndedElsewhere);
  }
}

TEST_F(JobHandoverTest, ConsoleEndLeavesAJobTheLoopFreedAlone) {
  const std::string out = out_path();
  const int id = gifexport_start(clip_path().c_str(), out.c_str(), 0, 500, 64, 5);
  ASSERT_GE(id, 0);
  JobHandover job;
  job.hold(id, out.c_str());
  ASSERT_TRUE(wait_for([&] { return gifexport_status(id) >= GIFEXPORT_STATE_DONE; }));
  EXPECT_TRUE(job.free_by_loop());
  EXPECT_EQ(gifexport_status(id), -1);
  // The job loop ends the tool itself, removing the GIF if the event came
  // before its check; the handler touches nothing.
  EXPECT_EQ(end_job_for_console_event(job, SIGHUP), kEndedElsewhere);
  EXPECT_TRUE(testplat::exists(out));
  EXPECT_TRUE(job.free_by_loop());
}

TEST_F(JobHandoverTest, ConsoleEndWithoutAJobEndsAtOnce) {
  JobHandover job;
  EXPECT_EQ(end_job_for_console_event(job, SIGTERM), 143);
  EXPECT_FALSE(job.taken());
}

// The job loop's free and the handler's take at the same moment: exactly one
// of them frees the job (the library forbids overlapping frees of one id),
// and the job is gone afterwards.
TEST_F(JobHandoverTest, LoopAndHandlerRaceFreesOnce) {
  const std::string out = out_path();
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const int id = gifexport_start(clip_path().c_str(), out.c_str(), 0, 500, 64, 5);
    ASSERT_GE(id, 0);
    JobHandover job;
    job.hold(id, out.c_str());
    std::atomic<int> ready{0};
    bool loop_freed = false;
    int handler_code = 0;
    std::thread loop([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      loop_freed = job.free_by_loop();
    });
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    handler_code = end_job_for_console_event(job, SIGHUP);
    loop.join();
    EXPECT_NE(loop_freed, handler_code != kEndedElsewhere);
    EXPECT_EQ(handler_code, loop_freed ? kEndedElsewhere : 129);
    EXPECT_EQ(gifexport_status(id), -1);
  }
}

}  // namespace
