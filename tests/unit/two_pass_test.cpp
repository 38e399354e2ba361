// SPDX-License-Identifier: MIT
// Jobs over the held-frames budget run in two passes. With the budget lowered
// for the test, the two-pass GIF must be byte for byte the one-pass GIF, and
// the job must report, cancel and clean up as any job does.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/log.h>
}

#include "gifexport.h"
#include "support/job_wait.h"
#include "support/media_gen.h"
#include "worker/two_pass_budget.h"
#include "support/test_platform.h"

namespace {

using nlohmann::json;

// The folder of this program's files: made on first use, removed with all it
// holds when the program ends.
class Scratch : public ::testing::Environment {
 public:
  const std::string &dir() {
    if (dir_.empty()) dir_ = testplat::make_temp_dir("gifexport_two_pass_");
    return dir_;
  }
  void TearDown() override {
    if (dir_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(testplat::fs_path(dir_), ignored);
    dir_.clear();
  }

 private:
  std::string dir_;
};

Scratch *const g_scratch = static_cast<Scratch *>(::testing::AddGlobalTestEnvironment(new Scratch));

const std::string &dir() { return g_scratch->dir(); }

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using testjob::wait_final;

// The GIF of one job with the given budget; empty when it did not end done.
std::string gif_with_budget(int64_t budget, const std::string &in, int64_t start_ms,
                            int64_t end_ms, int width, int fps) {
  ge_set_held_frames_budget(budget);
  const std::string out = dir() + "/out.gif";
  const int id = gifexport_start(in.c_str(), out.c_str(), start_ms, end_ms, width, fps);
  EXPECT_EQ(id, 0);
  if (id < 0) return "";
  const int state = wait_final(id);
  EXPECT_EQ(state, GIFEXPORT_STATE_DONE) << gifexport_result(id);
  gifexport_free(id);
  const std::string gif = state == GIFEXPORT_STATE_DONE ? slurp(out) : "";
  std::remove(out.c_str());
  return gif;
}

class TwoPass : public ::testing::Test {
 protected:
  void TearDown() override {
    gifexport_free(0);
    gifexport_free(1);
    ge_set_held_frames_budget(kDefaultBudget);
  }
  const int64_t kDefaultBudget = ge_held_frames_budget();
};

// Counts the warnings our graph's sources log while installed. Frames must
// reach a source as it was set up: a frame whose properties differ reads as a
// change of stream, which newer FFmpeg logs for every two-pass job. Other
// filters' warnings (the palette stage's about duplicate colours) are
// FFmpeg's own remarks on the picture and not counted.
std::atomic<int> g_ffmpeg_warnings{0};
std::string g_first_warning;

bool from_buffer_source(void *avcl) {
  if (avcl == nullptr) return false;
  const AVClass *cls = *static_cast<const AVClass *const *>(avcl);
  if (cls == nullptr || std::strcmp(cls->class_name, "AVFilter") != 0) return false;
  const AVFilterContext *ctx = static_cast<const AVFilterContext *>(avcl);
  return ctx->filter != nullptr && std::strcmp(ctx->filter->name, "buffer") == 0;
}

void count_warnings(void *avcl, int level, const char *fmt, va_list vl) {
  if (level > AV_LOG_WARNING || !from_buffer_source(avcl)) return;
  if (g_ffmpeg_warnings.fetch_add(1) != 0) return;
  char line[512];
  int print_prefix = 1;
  av_log_format_line(avcl, level, fmt, vl, line, sizeof line, &print_prefix);
  g_first_warning = line;
}

class WarningCounter {
 public:
  WarningCounter() {
    g_ffmpeg_warnings = 0;
    g_first_warning.clear();
    av_log_set_callback(count_warnings);
  }
  ~WarningCounter() { av_log_set_callback(av_log_default_callback); }
};

TEST_F(TwoPass, GifIsByteIdenticalToOnePass) {
  const struct {
    const char *name;
    fixture::ClipSpec clip;
    int64_t start_ms, end_ms;
    int width, fps;
  } cases[] = {
      {"rotated", [] {
         fixture::ClipSpec c;
         c.pattern = fixture::Pattern::Corners;
         c.rotation_deg = 90;
         c.frames = 50;
         return c;
       }(), 0, -1, 240, 15},
      {"dv_anamorphic.mkv", [] {
         fixture::ClipSpec c;
         c.format = "matroska";
         c.width = 720;
         c.height = 576;
         c.sar = {64, 45};
         c.pattern = fixture::Pattern::Moving;
         c.frames = 50;
         return c;
       }(), 400, 1800, 480, 10},
      {"late_window.ts", [] {
         fixture::ClipSpec c;
         c.format = "mpegts";
         c.encoder = "libx264";
         c.frames = 250;
         c.gop = 60;
         c.max_b_frames = 2;
         return c;
       }(), 5200, 6800, 160, 15},
      {"short_window.mp4", fixture::ClipSpec{}, 1000, 1040, 320, 10},
  };
  for (const auto &c : cases) {
    const std::string in = dir() + "/" + c.name;
    std::string err;
    if (!fixture::make_clip(in, c.clip, &err)) {
      ADD_FAILURE() << c.name << ": generator: " << err;
      continue;
    }
    const WarningCounter warnings;
    const std::string one = gif_with_budget(INT64_MAX, in, c.start_ms, c.end_ms, c.width, c.fps);
    const std::string two = gif_with_budget(0, in, c.start_ms, c.end_ms, c.width, c.fps);
    EXPECT_EQ(g_ffmpeg_warnings.load(), 0) << c.name << ": a source logged " << g_first_warning;
    EXPECT_FALSE(one.empty()) << c.name;
    EXPECT_TRUE(one == two) << c.name << ": " << one.size() << " bytes in one pass, " << two.size()
                            << " in two";
  }
}

// Which way a job ran, told by the count of second passes: an ordinary job
// (the library's own budget, or one well above its held frames) decodes its
// window once; only a job over the budget decodes it twice. The job holds
// about 135 KiB: 11 frames of 64x49 BGRA.
TEST_F(TwoPass, OnlyAJobOverTheBudgetTakesASecondPass) {
  fixture::ClipSpec clip;
  clip.frames = 25;
  const std::string in = dir() + "/one_second.mp4";
  std::string err;
  ASSERT_TRUE(fixture::make_clip(in, clip, &err)) << err;
  const struct {
    const char *name;
    int64_t budget;
    int64_t second_passes;
  } cases[] = {
      {"library budget", kDefaultBudget, 0},
      {"16 MiB", int64_t{16} << 20, 0},
      {"4 KiB", int64_t{4} << 10, 1},
      {"0", 0, 1},
  };
  for (const auto &c : cases) {
    const int64_t before = ge_second_passes();
    EXPECT_FALSE(gif_with_budget(c.budget, in, 0, 1000, 64, 10).empty()) << c.name;
    EXPECT_EQ(ge_second_passes() - before, c.second_passes) << "budget " << c.name;
  }
}

// Writing its GIF, and not yet at the last of the 300 frames of the 10 s job
// at 30 fps: its temporary file stands in its folder.
bool writing(int id) {
  const json p = json::parse(gifexport_progress(id));
  return p["state"] == GIFEXPORT_STATE_RUNNING && p["phase"] == "encode" && p["frames"] > 0 &&
         p["frames"] < 300;
}

// Both slots writing into one folder at once. The temporary files of one
// process in one folder differ by the slot alone, so there are two of them,
// and both GIFs arrive whole. Two passes make the files stand together for
// sure: a job writes its GIF through its whole second pass, about half its
// run; should one job still end before the other writes, the run is repeated.
TEST_F(TwoPass, TwoJobsAtOnceIntoOneFolder) {
  fixture::ClipSpec clip;
  clip.frames = 250;
  const std::string in = dir() + "/ten_seconds_together.mp4";
  std::string err;
  ASSERT_TRUE(fixture::make_clip(in, clip, &err)) << err;
  ge_set_held_frames_budget(0);
  bool together = false;
  for (int attempt = 0; attempt < 3 && !together; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    const std::string folder = dir() + "/together_" + std::to_string(attempt);
    ASSERT_TRUE(testplat::make_dir(folder));
    const std::string outs[] = {folder + "/first.gif", folder + "/second.gif"};
    ASSERT_EQ(gifexport_start(in.c_str(), outs[0].c_str(), 0, -1, 320, 30), 0);
    ASSERT_EQ(gifexport_start(in.c_str(), outs[1].c_str(), 0, -1, 320, 30), 1);
    size_t fewest = 2;  // files in the folder while both jobs write
    while (gifexport_status(0) <= GIFEXPORT_STATE_RUNNING ||
           gifexport_status(1) <= GIFEXPORT_STATE_RUNNING) {
      if (writing(0) && writing(1)) {
        const size_t files = testplat::list_dir(folder).size();
        if (writing(0) && writing(1)) {
          together = true;
          fewest = std::min(fewest, files);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(fewest, 2u) << "one temporary file for each job";
    for (int id : {0, 1}) {
      ASSERT_EQ(wait_final(id), GIFEXPORT_STATE_DONE) << id << ": " << gifexport_result(id);
      EXPECT_EQ(json::parse(gifexport_result(id))["frames"], 300) << id;
      fixture::DecodedVideo gif;
      ASSERT_TRUE(fixture::decode_video(outs[id], &gif, &err)) << id << ": " << err;
      EXPECT_EQ(gif.frames.size(), 300u) << id;
      gifexport_free(id);
    }
    std::vector<std::string> files = testplat::list_dir(folder);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"first.gif", "second.gif"}));
  }
  EXPECT_TRUE(together) << "the two jobs never wrote at the same time";
}

// 10 s at 30 fps: the first pass is reported as "decode" with the percentage
// rising and no frames, the second as "encode" with the percentage where the
// first left it while the frames grow; a cancel in the second pass leaves no
// file.
TEST_F(TwoPass, ReportsBothPassesAndCancelsInTheSecond) {
  fixture::ClipSpec clip;
  clip.frames = 250;
  const std::string in = dir() + "/ten_seconds.mp4";
  std::string err;
  ASSERT_TRUE(fixture::make_clip(in, clip, &err)) << err;
  ge_set_held_frames_budget(0);
  const std::string out = dir() + "/cancelled.gif";
  const int id = gifexport_start(in.c_str(), out.c_str(), 0, -1, 320, 30);
  ASSERT_EQ(id, 0);
  double decode_percent = -1, encode_percent = -1;
  bool saw_encode = false;
  long long frames = 0;
  for (;;) {
    const json p = json::parse(gifexport_progress(id));
    if (p["state"] != GIFEXPORT_STATE_PENDING && p["state"] != GIFEXPORT_STATE_RUNNING) break;
    const double percent = p["percent"];
    if (p["phase"] == "decode") {
      ASSERT_FALSE(saw_encode) << "back to decode after encode";
      EXPECT_EQ(p["frames"], 0);
      EXPECT_GE(percent, decode_percent);
      decode_percent = percent;
    } else {
      if (!saw_encode) encode_percent = percent;
      saw_encode = true;
      EXPECT_EQ(percent, encode_percent) << "the percentage moved in the second pass";
      frames = p["frames"];
      if (frames >= 20) {
        gifexport_cancel(id);
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(saw_encode);
  EXPECT_GT(encode_percent, 90.0);
  EXPECT_EQ(wait_final(id), GIFEXPORT_STATE_CANCELLED);
  EXPECT_FALSE(testplat::exists(out));
  gifexport_free(id);
  EXPECT_FALSE(testplat::exists(out));
}

}  // namespace
