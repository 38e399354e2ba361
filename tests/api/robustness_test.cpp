// SPDX-License-Identifier: MIT
// Hostile calls and files, resources left after every ending, hosts that
// call from several threads at once, and a bounded stress run.
#include <nlohmann/json.hpp>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <mutex>
#include <set>

#include "api/api_fixture.h"
#include "support/test_platform.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

#if defined(_WIN32)
constexpr bool kHaveFifos = false;
#else
constexpr bool kHaveFifos = true;
#endif

std::string small_clip() {
  fixture::ClipSpec clip;
  clip.width = 160;
  clip.height = 120;
  clip.frames = 25;
  return apitest::cached_clip("small_1s.mp4", clip);
}

// Every start result and state any call may give.
const std::set<int> kStartResults = {0, 1, -1, -2, -3, -4, -5};
const std::set<int> kStates = {-1, 0, 2, 3, 4, 5};

TEST_F(ApiTest, HostileInputsAreRefusedWithoutHanging) {
  const std::string out = apitest::scratch_path("hostile.gif");
  const std::string fifo = apitest::scratch_path("input.fifo");
#if !defined(_WIN32)
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
#endif
  const std::string dir = apitest::scratch_path("input_dir");
  ASSERT_TRUE(testplat::make_dir(dir));
  const std::string loop_a = apitest::scratch_path("loop_a"), loop_b = apitest::scratch_path("loop_b");
  const bool have_links =
      testplat::make_symlink(loop_b, loop_a) && testplat::make_symlink(loop_a, loop_b);
#if !defined(_WIN32)
  ASSERT_TRUE(have_links);
#endif
  std::string every_byte = apitest::scratch_dir() + "/";
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
  // Windows has no FIFOs in the file system, and links only where the user
  // may make them.
  const struct {
    const char *name;
    std::string in;
    bool runs;
  } cases[] = {{"fifo", fifo, kHaveFifos},
               {"directory", dir, true},
               {"symlink loop", loop_a, have_links},
               {"every byte", every_byte, true}};
  for (const auto &c : cases) {
    if (!c.runs) continue;
    EXPECT_EQ(gifexport_start(c.in.c_str(), out.c_str(), 0, -1, 0, 0), GIFEXPORT_ERR_OPEN) << c.name;
    const json probe = json::parse(gifexport_probe(c.in.c_str()), nullptr, false);
    ASSERT_FALSE(probe.is_discarded()) << c.name;
    EXPECT_EQ(probe["ok"], false) << c.name;
    EXPECT_FALSE(apitest::file_exists(out)) << c.name;
  }
  EXPECT_EQ(apitest::file_exists(fifo), kHaveFifos);
  EXPECT_TRUE(apitest::file_exists(dir));
}

TEST_F(ApiTest, OutputPathWithEveryByteFailsCleanlyAndIsEscaped) {
  std::string out = apitest::scratch_dir() + "/";
  for (int b = 1; b < 256; ++b) out += static_cast<char>(b);
  const apitest::JobEnd end = apitest::run_job(small_clip(), out, 0, -1, 64, 5);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_FAILED);
  EXPECT_EQ(json::parse(gifexport_result(0))["error"], "cannot open output file");
}

TEST_F(ApiTest, InputReplacedBetweenStartAndWorker) {
  const std::string junk = apitest::scratch_path("junk.bin");
  fixture::make_random_file(junk, 4096, 3);
  fixture::ClipSpec audio;
  audio.audio_only = true;
  const std::string sound = apitest::cached_clip("replacing_audio.mp4", audio);
  const struct {
    std::string replacement;
    std::set<std::string> failures;  // what the worker may find instead
  } cases[] = {
      {junk, {"cannot open input", "no stream info"}},
      {sound, {"no video stream"}},
  };
  for (const auto &c : cases) {
    const std::string in = apitest::scratch_path("replaced.mp4");
    ASSERT_TRUE(testplat::hard_link(small_clip(), in));
    const std::string replacement = apitest::scratch_path("replacement");
    ASSERT_TRUE(testplat::hard_link(c.replacement, replacement));
    const std::string out = apitest::scratch_path("replaced.gif");
    const int id = gifexport_start(in.c_str(), out.c_str(), 0, -1, 64, 5);
    ASSERT_EQ(id, 0);
    // Windows refuses to replace a file that the worker already holds open;
    // the worker then reads the old one, which the outcomes allow.
    std::error_code renamed;
    std::filesystem::rename(testplat::fs_path(replacement), testplat::fs_path(in), renamed);
#if !defined(_WIN32)
    ASSERT_FALSE(renamed) << renamed.message();
#endif
    // The worker either opened the old file already or finds the new one.
    const int status = apitest::wait_final(id);
    const json result = json::parse(gifexport_result(id));
    if (status == GIFEXPORT_STATE_FAILED) {
      EXPECT_TRUE(c.failures.count(result["error"])) << result.dump();
    } else {
      EXPECT_EQ(status, GIFEXPORT_STATE_DONE) << result.dump();
    }
    gifexport_free(id);
    EXPECT_EQ(apitest::file_exists(out), status == GIFEXPORT_STATE_DONE);
  }
}

// One job for each ending the suite can provoke; none leaves a descriptor or
// a thread behind once freed.
TEST_F(ApiTest, EveryEndingReleasesFilesAndThreads) {
  const std::string in = small_clip();
  const std::string long_in = apitest::indexed_clip_10s();
  const std::string late = apitest::picture_late_clip();
  // A full medium comes from /dev/full, which Windows has no counterpart of.
  const std::string full_link = apitest::scratch_path("full.gif");
  const bool have_full = testplat::exists("/dev/full");
  if (have_full) {
    ASSERT_TRUE(testplat::make_symlink("/dev/full", full_link));
  }

  // A first job lets the process start whatever threads it keeps (a
  // sanitizer's helper thread, for one) before the counts are taken.
  ASSERT_EQ(apitest::run_job(in, apitest::scratch_path("e0.gif"), 0, -1, 64, 5).status,
            GIFEXPORT_STATE_DONE);
  gifexport_free(0);
  const int fds_before = testplat::open_handle_count();
  const long threads_before = testplat::thread_count();
  const struct {
    const char *name;
    std::string in, out;
    int64_t start, end;
    int width, fps;
    int cancel;  // 0 never, 1 at once, 2 once frames are encoded
    int state;
  } cases[] = {
      {"done", in, apitest::scratch_path("e1.gif"), 0, -1, 64, 5, 0, GIFEXPORT_STATE_DONE},
      {"cancel before reading", long_in, apitest::scratch_path("e2.gif"), 0, 4000, 1920, 30, 1,
       GIFEXPORT_STATE_CANCELLED},
      {"cancel while encoding", long_in, apitest::scratch_path("e3.gif"), 0, 4000, 1920, 30, 2,
       GIFEXPORT_STATE_CANCELLED},
      {"no frames in segment", late, apitest::scratch_path("e4.gif"), 0, 1000, 64, 5, 0,
       GIFEXPORT_STATE_FAILED},
      {"cannot open output file", in, apitest::scratch_dir() + "/none/e5.gif", 0, -1, 64, 5, 0,
       GIFEXPORT_STATE_FAILED},
      {"write failed", long_in, full_link, 0, 3000, 0, 0, 0, GIFEXPORT_STATE_FAILED},
  };
  for (const auto &c : cases) {
    if (c.out == full_link && !have_full) continue;
    const int id = gifexport_start(c.in.c_str(), c.out.c_str(), c.start, c.end, c.width, c.fps);
    ASSERT_EQ(id, 0) << c.name;
    if (c.cancel == 1) gifexport_cancel(id);
    if (c.cancel == 2) {
      apitest::wait_until([&] { return json::parse(gifexport_progress(id))["frames"] > 0; });
      gifexport_cancel(id);
    }
    EXPECT_EQ(apitest::wait_final(id), c.state) << c.name << ": " << gifexport_result(id);
    gifexport_free(id);
  }
  EXPECT_EQ(testplat::open_handle_count(), fds_before);
  EXPECT_EQ(testplat::thread_count(), threads_before);
}

// A host polling every report as fast as it can while another thread
// cancels and a third frees: race-free under ThreadSanitizer.
TEST_F(ApiTest, ReportsCancelAndFreeFromThreeThreads) {
  const std::string out = apitest::scratch_path("threads.gif");
  const int id =
      gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, -1, 1920, 30);
  ASSERT_EQ(id, 0);
  std::atomic<bool> freed{false}, decoding{false};
  std::atomic<long> polls{0};
  std::thread poller([&] {
    while (!freed.load()) {
      const int status = gifexport_status(id);
      EXPECT_TRUE(kStates.count(status)) << status;
      // Only this thread calls the report functions: same-id report calls
      // must not overlap.
      const std::string progress = gifexport_progress(id);
      const std::string result = gifexport_result(id);
      if (progress.find("\"processed_ms\":0,") == std::string::npos) decoding.store(true);
      EXPECT_EQ(progress.front(), '{');
      EXPECT_EQ(result.back(), '}');
      polls.fetch_add(1);
    }
  });
  std::thread canceller([&] {
    apitest::wait_until([&] {
      return decoding.load() || gifexport_status(id) >= GIFEXPORT_STATE_DONE;
    });
    gifexport_cancel(id);
  });
  std::thread freer([&] {
    apitest::wait_until([&] { return gifexport_status(id) >= GIFEXPORT_STATE_DONE; });
    gifexport_free(id);
    freed.store(true);
  });
  canceller.join();
  freer.join();
  poller.join();
  EXPECT_GT(polls.load(), 0);
  EXPECT_EQ(gifexport_status(id), -1);
  EXPECT_FALSE(apitest::file_exists(out));
}

// Two host threads start, maybe cancel, and free jobs over and over.
// GIFEXPORT_STRESS_ROUNDS sets the rounds per thread (default 60).
TEST_F(ApiTest, StressTwoThreadsStartCancelFree) {
  const char *env = std::getenv("GIFEXPORT_STRESS_ROUNDS");
  const int rounds = env ? std::atoi(env) : 60;
  const std::string in = small_clip();
  // Warm the media libraries up so their one-time allocations are not counted.
  ASSERT_EQ(apitest::run_job(in, apitest::scratch_path("warm.gif"), 0, -1, 64, 5).status,
            GIFEXPORT_STATE_DONE);
  gifexport_free(0);
  const int fds_before = testplat::open_handle_count();
  const long threads_before = testplat::thread_count();
  const long rss_before = testplat::resident_kb();

  std::atomic<int> unexpected{0}, done{0}, cancelled{0}, busy{0};
  std::mutex kept_mutex;
  std::set<std::string> kept, all;
  auto host = [&](int seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < rounds; ++i) {
      const std::string out = apitest::scratch_dir() + "/stress_" + std::to_string(seed) + "_" +
                              std::to_string(i) + ".gif";
      const int id = gifexport_start(in.c_str(), out.c_str(), 0, -1, 64, 5);
      if (!kStartResults.count(id)) ++unexpected;
      if (id == GIFEXPORT_ERR_BUSY) ++busy;
      if (id < 0) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 51));
      if (rng() % 2) gifexport_cancel(id);
      const int status = gifexport_status(id);
      if (!kStates.count(status) || status < 0) ++unexpected;
      apitest::wait_final(id);
      const int final_status = gifexport_status(id);
      gifexport_free(id);
      if (gifexport_status(id) != -1 && gifexport_status(id) != 0 && gifexport_status(id) != 2)
        ++unexpected;  // freed, or already claimed again by the other thread
      std::lock_guard<std::mutex> lock(kept_mutex);
      all.insert(out);
      if (final_status == GIFEXPORT_STATE_DONE) {
        kept.insert(out);
        ++done;
      } else if (final_status == GIFEXPORT_STATE_CANCELLED) {
        ++cancelled;
      } else {
        ++unexpected;
      }
    }
  };
  std::thread a(host, 1), b(host, 2);
  a.join();
  b.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(busy.load(), 0) << "each host holds at most one slot";
  for (const std::string &out : all) EXPECT_EQ(apitest::file_exists(out), kept.count(out) == 1) << out;
  const long rss_after = testplat::resident_kb();
  std::printf("stress: %d rounds x 2 threads: %d done, %d cancelled; fds %d -> %d, threads %ld -> %ld, "
              "RSS %ld -> %ld kB\n",
              rounds, done.load(), cancelled.load(), fds_before, testplat::open_handle_count(), threads_before,
              testplat::thread_count(), rss_before, rss_after);
  EXPECT_EQ(testplat::open_handle_count(), fds_before);
  EXPECT_EQ(testplat::thread_count(), threads_before);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (A sanitizer keeps freed memory in quarantine, so RSS says nothing there.)
  EXPECT_LT(rss_after - rss_before, 64 * 1024) << "kB grown";
#endif
}

}  // namespace

namespace {

// A transport stream whose picture doubles in height halfway (two streams
// joined end to end, as broadcast recordings can be): the frames of the second
// size are left out and nothing is written past the graph's buffers.
TEST_F(ApiTest, PictureSizeChangeMidStreamIsSafe) {
  fixture::ClipSpec first, second;
  first.format = second.format = "mpegts";
  first.encoder = second.encoder = "mpeg2video";
  second.height = 480;
  std::string why;
  const std::string a = apitest::cached_clip("size_a.ts", first, &why);
  const std::string b = apitest::cached_clip("size_b.ts", second, &why);
  if (a.empty() || b.empty()) GTEST_SKIP() << why;
  const std::string joined = apitest::scratch_path("size_change.ts");
  apitest::write_file(joined, apitest::read_file(a) + apitest::read_file(b));
  const std::string out = apitest::scratch_path("size_change.gif");
  const apitest::JobEnd end = apitest::run_job(joined, out, 0, -1, 64, 5);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(0);
  fixture::DecodedVideo gif;
  ASSERT_TRUE(fixture::decode_video(out, &gif));
  EXPECT_EQ(gif.stream_width, 64);
  EXPECT_EQ(gif.stream_height, 48);
}

}  // namespace

namespace {

// Timestamps near the 64-bit limits, as a crafted file may carry them: every
// window of such a file ends in a final state (and, under the sanitizers,
// without an overflow in the library's arithmetic).
TEST_F(ApiTest, TimestampsNearTheLimitsEndCleanly) {
  const struct {
    const char *name, *format;
    int64_t offset;  // added to every timestamp, in milliseconds
  } cases[] = {
      {"matroska_2_62", "matroska", int64_t{1} << 62},
      {"matroska_wrapped", "matroska", INT64_MAX - 1000},
      {"nut_max_100", "nut", INT64_MAX / 100},
      {"mp4_max_100", "mp4", INT64_MAX / 100},
  };
  for (const auto &c : cases) {
    fixture::ClipSpec clip;
    clip.format = c.format;
    clip.time_base = AVRational{1, 1000};
    clip.frames = 10;
    clip.pts_offset = c.offset;
    std::string why;
    const std::string in = apitest::cached_clip(std::string("limits_") + c.name, clip, &why);
    if (in.empty()) {
      ADD_FAILURE() << c.name << ": generator: " << why;
      continue;
    }
    EXPECT_FALSE(json::parse(gifexport_probe(in.c_str()), nullptr, false).is_discarded());
    for (const int64_t start : {int64_t{0}, int64_t{200}}) {
      const apitest::JobEnd end = apitest::run_job(in, apitest::scratch_path("limits.gif"), start,
                                                   -1, 64, 5);
      EXPECT_TRUE(kStartResults.count(end.id)) << c.name;
      if (end.id < 0) continue;
      EXPECT_TRUE(end.status == GIFEXPORT_STATE_DONE || end.status == GIFEXPORT_STATE_FAILED)
          << c.name << " from " << start << ": " << end.status;
      EXPECT_FALSE(json::parse(gifexport_result(end.id), nullptr, false).is_discarded());
      gifexport_free(end.id);
    }
  }
}

}  // namespace
