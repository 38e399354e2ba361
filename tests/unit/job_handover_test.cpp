// SPDX-License-Identifier: MIT
// The tool's running job handed between its job loop and Windows' console
// handler: on a closed console, a logoff or a shutdown the handler cancels and
// frees the job, removes its temporary file and its output, and gives the
// exit code of the first signal; exactly one of the two threads frees a job.
// Whichever thread frees it, the handler waits for the free only so long, then
// removes the job's files all the same.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
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

// A bound no free of these small jobs comes near, for the cases where the
// free has to finish: the handler's own bound is a few seconds.
constexpr std::chrono::seconds kRoomyBound{120};

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

  // The hidden temporary file the library writes for a job on out (in folder,
  // the folder of the file out leads to), and that job's id: a real job runs
  // until the file appears, and is freed.
  static ::testing::AssertionResult library_temp_file(const std::string &out,
                                                      const std::string &folder,
                                                      std::string *temp, int *id);

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

::testing::AssertionResult JobHandoverTest::library_temp_file(const std::string &out,
                                                              const std::string &folder,
                                                              std::string *temp, int *id) {
  *id = gifexport_start(clip_path().c_str(), out.c_str(), 0, -1, 320, 30);
  if (*id < 0) return ::testing::AssertionFailure() << "start: " << *id;
  const bool appeared = wait_for([&] {
    for (const std::string &name : testplat::list_dir(folder))
      if (name.rfind(".gifexport-", 0) == 0) {
        *temp = folder + "/" + name;
        return true;
      }
    return false;
  });
  gifexport_free(*id);
  if (!appeared) return ::testing::AssertionFailure() << "no temporary file appeared";
  if (!testplat::list_dir(folder).empty()) return ::testing::AssertionFailure() << "the free left files";
  return ::testing::AssertionSuccess();
}

// Stand-ins for the library's cancel and free whose free does not return until
// released: a free waiting for a worker stuck in a slow read or write. The
// state is shared, so a free still running outlives the stand-in.
class StuckFree {
 public:
  JobCalls calls() const {
    auto state = state_;
    return {[state](int) { state->cancels.fetch_add(1); },
            [state](int) {
              state->frees.fetch_add(1);
              std::unique_lock<std::mutex> lock(state->mutex);
              state->wake.wait(lock, [&] { return state->released; });
            }};
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->released = true;
    }
    state_->wake.notify_all();
  }
  int cancels() const { return state_->cancels.load(); }
  int frees() const { return state_->frees.load(); }

 private:
  struct State {
    std::atomic<int> cancels{0}, frees{0};
    std::mutex mutex;
    std::condition_variable wake;
    bool released = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

void write_file(const std::string &path, const char *text) {
  std::ofstream(testplat::fs_path(path), std::ios::binary) << text;
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

    EXPECT_EQ(end_job_for_console_event(job, c.first_signal, kRoomyBound), c.exit_code);
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

// A free that does not return within the bound, whether the handler started
// it or the job loop is in it: the handler returns once the bound has passed
// (Windows would end the process mid-way otherwise) with the output and the
// job's temporary file removed, and the job is freed once only.
TEST_F(JobHandoverTest, ConsoleEndGivesAStuckFreeOnlyTheBound) {
  const struct {
    const char *what;
    bool loop_frees;  // the job loop is in the free when the event comes
    bool via_link;    // the output path is a link into another folder
  } cases[] = {
      {"the handler frees the job", false, false},
      {"the job loop is freeing the job", true, false},
      {"the output is a link: the temporary file stands beside its target", false, true},
  };
  constexpr auto bound = std::chrono::milliseconds(200);
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // A folder of its own for each case.
    const std::string dir = out_dir_ + "/" + std::to_string(n++);
    ASSERT_TRUE(testplat::make_dir(dir));
    const std::string out = dir + "/out.gif";
    std::string folder = dir;
    if (c.via_link) {
      folder = dir + "/target";
      ASSERT_TRUE(testplat::make_dir(folder));
      if (!testplat::make_symlink(folder + "/out.gif", out)) {
        std::printf("%s: left out, no symbolic links here\n", c.what);
        continue;
      }
    }
    std::string temp;
    int id = -1;
    ASSERT_TRUE(library_temp_file(out, folder, &temp, &id));
    // What the stuck job has written so far, and what stands at its output
    // (the free removed the link, as the output of a job not done).
    write_file(temp, "part of a GIF");
    if (c.via_link)
      ASSERT_TRUE(testplat::make_symlink(folder + "/out.gif", out));
    else
      write_file(out, "GIF89a");

    StuckFree stuck;
    JobHandover job(stuck.calls());
    job.hold(id, out.c_str());
    bool loop_freed = false;
    std::thread loop;
    if (c.loop_frees) {
      loop = std::thread([&] { loop_freed = job.free_by_loop(); });
      while (stuck.frees() == 0) std::this_thread::yield();
    }
    auto ending = std::async(std::launch::async, [&] {
      const auto started = std::chrono::steady_clock::now();
      const int code = end_job_for_console_event(job, SIGHUP, bound);
      return std::make_pair(code, std::chrono::steady_clock::now() - started);
    });
    const bool returned = ending.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the handler waited for the stuck free";
    EXPECT_TRUE(testplat::list_dir(folder).empty()) << testplat::list_dir(folder)[0];
    EXPECT_FALSE(testplat::exists(out)) << "the output is still there";

    stuck.release();
    const auto [code, took] = ending.get();
    if (loop.joinable()) loop.join();
    EXPECT_EQ(code, 129);
    EXPECT_GE(took, bound) << "the handler did not wait for the free at all";
    EXPECT_EQ(stuck.frees(), 1);
    EXPECT_EQ(stuck.cancels(), c.loop_frees ? 0 : 1);
    EXPECT_EQ(loop_freed, c.loop_frees);
    EXPECT_EQ(job.taken(), !c.loop_frees);
  }
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
    handler_code = end_job_for_console_event(job, SIGHUP, kRoomyBound);
    loop.join();
    EXPECT_NE(loop_freed, handler_code != kEndedElsewhere);
    EXPECT_EQ(handler_code, loop_freed ? kEndedElsewhere : 129);
    EXPECT_EQ(gifexport_status(id), -1);
  }
}

}  // namespace
