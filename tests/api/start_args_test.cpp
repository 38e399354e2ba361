// SPDX-License-Identifier: MIT
// gifexport_start: argument checks, input checks, window fitting, slots.
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "api/api_fixture.h"
#include "support/test_platform.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

std::string audio_only_clip() {
  fixture::ClipSpec clip;
  clip.audio_only = true;
  return apitest::cached_clip("audio_only.mp4", clip);
}

// A raw MPEG-4 elementary stream: video, but no container duration.
std::string raw_elementary_clip() {
  fixture::ClipSpec clip;
  clip.format = "m4v";
  return apitest::cached_clip("raw.m4v", clip);
}

// A path of exactly `length` bytes naming an existing copy of the 10 s clip,
// built from nested directories (each name stays under the 255-byte limit).
std::string path_of_length(size_t length) {
  std::string dir = apitest::scratch_dir() + "/long";
  testplat::make_dir(dir);
  while (dir.size() + 1 + 200 + 1 + 8 < length) {
    dir += "/" + std::string(200, 'd');
    testplat::make_dir(dir);
  }
  std::string path = dir + "/" + std::string(length - dir.size() - 1, 'f');
  // Without the link the cases below would test a missing file instead.
  if (!apitest::file_exists(path) && !testplat::hard_link(apitest::indexed_clip_10s(), path))
    ADD_FAILURE() << "cannot link the clip as " << path << ": " << std::strerror(errno);
  return path;
}

TEST_F(ApiTest, ArgumentChecksRefuseBeforeTouchingAnyFile) {
  const std::string in = apitest::indexed_clip_10s();
  const std::string out = apitest::scratch_path("args.gif");
  const std::string long_in = path_of_length(1199);
  const struct {
    const char *name;
    const char *in;
    const char *out;
    int64_t start;
  } cases[] = {
      {"null input", nullptr, out.c_str(), 0},
      {"empty input", "", out.c_str(), 0},
      {"null output", in.c_str(), nullptr, 0},
      {"empty output", in.c_str(), "", 0},
      {"negative start", in.c_str(), out.c_str(), -1},
      {"1199-byte input", long_in.c_str(), out.c_str(), 0},
      {"1199-byte output", in.c_str(), long_in.c_str(), 0},
      // The order: a null path is refused even when the start is negative too.
      {"null input and negative start", nullptr, out.c_str(), -1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(gifexport_start(c.in, c.out, c.start, -1, 0, 0), GIFEXPORT_ERR_ARGS) << c.name;
  }
  EXPECT_TRUE(apitest::file_exists(long_in)) << "a refused output path is not touched";
  EXPECT_EQ(gifexport_status(0), -1);
}

TEST_F(ApiTest, PathsOf1198BytesAreAccepted) {
  const std::string in = path_of_length(1198);
  ASSERT_EQ(in.size(), 1198u);
  std::string out = in;
  out.back() = 'g';
  ASSERT_EQ(out.size(), 1198u);
  const int id = gifexport_start(in.c_str(), out.c_str(), 0, 500, 64, 5);
  ASSERT_EQ(id, 0);
  EXPECT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE) << gifexport_result(id);
  EXPECT_EQ(json::parse(gifexport_result(id))["out_path"], out);
}

TEST_F(ApiTest, InputChecks) {
  const std::string out = apitest::scratch_path("checks.gif");
  const std::string random = apitest::scratch_path("random.bin");
  fixture::make_random_file(random, 4096, 7);
  const std::string empty = apitest::scratch_path("empty.mp4");
  apitest::write_file(empty, "");
  const std::string no_streams = apitest::scratch_path("no_streams.txt");
  ASSERT_TRUE(fixture::make_no_streams(no_streams));
  const std::string raw = raw_elementary_clip();
  ASSERT_FALSE(raw.empty());
  const struct {
    const char *name;
    std::string in;
    int64_t end;
    int expected;
  } cases[] = {
      {"missing file", apitest::scratch_dir() + "/nope.mp4", -1, GIFEXPORT_ERR_OPEN},
      {"random bytes", random, -1, GIFEXPORT_ERR_OPEN},
      {"empty file", empty, -1, GIFEXPORT_ERR_OPEN},
      {"audio only", audio_only_clip(), -1, GIFEXPORT_ERR_NO_VIDEO},
      {"no streams", no_streams, -1, GIFEXPORT_ERR_NO_VIDEO},
      // No container duration: every window is empty, even one inside the stream.
      {"no duration, end -1", raw, -1, GIFEXPORT_ERR_ARGS},
      {"no duration, end 500", raw, 500, GIFEXPORT_ERR_ARGS},
      {"end equal to start", apitest::indexed_clip_10s(), 0, GIFEXPORT_ERR_ARGS},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(gifexport_start(c.in.c_str(), out.c_str(), 0, c.end, 0, 0), c.expected) << c.name;
    EXPECT_EQ(gifexport_status(0), -1) << c.name << ": no slot is claimed";
  }
}

TEST_F(ApiTest, WindowIsFittedToTheInput) {
  fixture::ClipSpec long_spec;
  long_spec.width = 64;
  long_spec.height = 48;
  long_spec.fps = 5;
  long_spec.frames = 350;  // 70 s
  const std::string long_clip = apitest::cached_clip("long_70s.mp4", long_spec);
  const std::string ten = apitest::indexed_clip_10s();
  const struct {
    std::string in;
    int64_t start, end, duration_ms;
  } cases[] = {
      {ten, 2000, -1, 8000},    {ten, 2000, 20000, 8000},   {ten, 2000, 5000, 3000},
      {long_clip, 0, 60000, 60000}, {long_clip, 0, 60001, 60000}, {long_clip, 0, -1, 60000},
      {long_clip, 5000, -1, 60000},
  };
  const std::string out = apitest::scratch_path("window.gif");
  for (const auto &c : cases) {
    const int id = gifexport_start(c.in.c_str(), out.c_str(), c.start, c.end, 64, 1);
    ASSERT_EQ(id, 0);
    const json result = json::parse(gifexport_result(id));
    EXPECT_EQ(result["duration_ms"], c.duration_ms) << c.start << ".." << c.end;
    gifexport_free(id);
  }
  EXPECT_EQ(gifexport_start(ten.c_str(), out.c_str(), 10000, -1, 0, 0), GIFEXPORT_ERR_ARGS);
}

TEST_F(ApiTest, SlotsAreTakenInOrderAndBusyUntilFreed) {
  const std::string in = apitest::indexed_clip_10s();
  const std::string a = apitest::scratch_path("a.gif"), b = apitest::scratch_path("b.gif");
  ASSERT_EQ(gifexport_start(in.c_str(), a.c_str(), 0, 200, 64, 5), 0);
  ASSERT_EQ(gifexport_start(in.c_str(), b.c_str(), 0, 200, 64, 5), 1);
  // Ended jobs keep their slots until freed.
  EXPECT_EQ(apitest::wait_final(0), GIFEXPORT_STATE_DONE);
  EXPECT_EQ(apitest::wait_final(1), GIFEXPORT_STATE_DONE);

  const std::string c = apitest::scratch_path("c.gif");
  EXPECT_EQ(gifexport_start(in.c_str(), c.c_str(), 0, 200, 0, 0), GIFEXPORT_ERR_BUSY);
  // The checks before the slot choice still win over busy.
  EXPECT_EQ(gifexport_start(nullptr, c.c_str(), 0, 200, 0, 0), GIFEXPORT_ERR_ARGS);
  EXPECT_EQ(gifexport_start(in.c_str(), c.c_str(), 5000, 5000, 0, 0), GIFEXPORT_ERR_ARGS);
  EXPECT_EQ(gifexport_start((apitest::scratch_dir() + "/missing").c_str(), c.c_str(), 0, -1, 0, 0),
            GIFEXPORT_ERR_OPEN);
  EXPECT_EQ(gifexport_start(audio_only_clip().c_str(), c.c_str(), 0, -1, 0, 0),
            GIFEXPORT_ERR_NO_VIDEO);

  gifexport_free(0);
  ASSERT_EQ(gifexport_start(in.c_str(), c.c_str(), 0, 200, 0, 0), 0);
  EXPECT_EQ(apitest::wait_final(0), GIFEXPORT_STATE_DONE);
}

TEST_F(ApiTest, OutputNamingTheInputIsRefusedAndTheInputKept) {
  const std::string in = apitest::scratch_path("own.mp4");
  ASSERT_TRUE(testplat::hard_link(apitest::indexed_clip_10s(), in));
  const std::string before = apitest::read_file(in);
  const std::string hard_link = apitest::scratch_path("hardlink.gif");
  ASSERT_TRUE(testplat::hard_link(in, hard_link));
  const std::string other_spelling =
      apitest::scratch_dir() + "/./" + in.substr(apitest::scratch_dir().size() + 1);
  for (const std::string &out : {in, hard_link, other_spelling}) {
    EXPECT_EQ(gifexport_start(in.c_str(), out.c_str(), 0, -1, 0, 0), GIFEXPORT_ERR_ARGS) << out;
  }
  EXPECT_EQ(apitest::read_file(in), before);
}

}  // namespace
