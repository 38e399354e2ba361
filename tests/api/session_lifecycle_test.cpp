// SPDX-License-Identifier: MIT
// Status, cancel and free through a job's life, and what each ending leaves.
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <climits>
#include <vector>

#include "api/api_fixture.h"
#include "support/test_platform.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

// A job long enough to still be running when the test acts on it: the 10 s
// clip at full width and rate.
int start_long_job(const std::string &out) {
  return gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, -1, 1920, 30);
}

TEST_F(ApiTest, BadIdsAreRefusedByEveryFunction) {
  const std::string in = apitest::indexed_clip_10s();
  const std::string out = apitest::scratch_path("bad_ids.gif");
  ASSERT_EQ(gifexport_start(in.c_str(), out.c_str(), 0, 200, 64, 5), 0);
  ASSERT_EQ(apitest::wait_final(0), GIFEXPORT_STATE_DONE);
  const char *bad_report = gifexport_progress(-1);
  EXPECT_STREQ(bad_report, "{\"error\":\"bad id\"}");
  // Slot 1 was never claimed.
  for (int id : {-1, 2, INT_MIN, INT_MAX, 1}) {
    EXPECT_EQ(gifexport_status(id), -1) << id;
    EXPECT_EQ(gifexport_progress(id), bad_report) << id;
    EXPECT_EQ(gifexport_result(id), bad_report) << id;
    gifexport_cancel(id);
    gifexport_free(id);
  }
  // None of that touched the claimed slot 0 or its file.
  EXPECT_EQ(gifexport_status(0), GIFEXPORT_STATE_DONE);
  gifexport_free(0);
  EXPECT_TRUE(apitest::file_exists(out)) << "a done GIF stays after the free";
  // A freed slot is a bad id, though it still holds the old figures.
  EXPECT_EQ(gifexport_status(0), -1);
  EXPECT_EQ(gifexport_progress(0), bad_report);
  EXPECT_EQ(gifexport_result(0), bad_report);
  gifexport_free(0);  // a second free does nothing
  EXPECT_TRUE(apitest::file_exists(out));
}

TEST_F(ApiTest, StatusRunsPendingRunningFinalAndNeverOne) {
  const std::string out = apitest::scratch_path("sequence.gif");
  const int id = gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, 2000, 0, 0);
  ASSERT_EQ(id, 0);
  std::vector<int> seen;
  apitest::wait_until([&] {
    const int status = gifexport_status(id);
    if (seen.empty() || seen.back() != status) seen.push_back(status);
    return status >= GIFEXPORT_STATE_DONE;
  });
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), GIFEXPORT_STATE_DONE);
  for (size_t i = 0; i + 1 < seen.size(); ++i) {
    EXPECT_TRUE(seen[i] == GIFEXPORT_STATE_PENDING || seen[i] == GIFEXPORT_STATE_RUNNING)
        << "status " << seen[i] << " before the end";
    EXPECT_LT(seen[i], seen[i + 1]) << "status went back";
  }
  // A cancel after the end changes nothing.
  gifexport_cancel(id);
  EXPECT_EQ(gifexport_status(id), GIFEXPORT_STATE_DONE);
  gifexport_free(id);
  EXPECT_TRUE(apitest::file_exists(out));
}

TEST_F(ApiTest, CancelBeforeTheFirstReadLeavesNothing) {
  const std::string out = apitest::scratch_path("cancel_early.gif");
  apitest::write_file(out, "an older file at the output path");
  const int id = start_long_job(out);
  ASSERT_EQ(id, 0);
  gifexport_cancel(id);  // the worker is still setting up; it stops at its first read
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_CANCELLED);
  const json progress = json::parse(gifexport_progress(id));
  EXPECT_EQ(progress["phase"], "decode");
  EXPECT_EQ(progress["frames"], 0);
  EXPECT_EQ(progress["processed_ms"], 0);
  const json result = json::parse(gifexport_result(id));
  EXPECT_EQ(result["ok"], false);
  EXPECT_EQ(result["out_size_bytes"], 0);
  EXPECT_EQ(result["elapsed_ms"], 0);
  EXPECT_EQ(result["width"], 0);
  EXPECT_EQ(result["out_path"], out) << "still named although removed";
  EXPECT_FALSE(apitest::file_exists(out));
}

TEST_F(ApiTest, CancelDuringTheEncodePhaseStopsAfterAFrame) {
  const std::string out = apitest::scratch_path("cancel_encode.gif");
  const int id = start_long_job(out);
  ASSERT_EQ(id, 0);
  ASSERT_TRUE(apitest::wait_until([&] {
    const json p = json::parse(gifexport_progress(id));
    return (p["phase"] == "encode" && p["frames"] > 0) || p["state"] >= GIFEXPORT_STATE_DONE;
  }));
  gifexport_cancel(id);
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_CANCELLED) << gifexport_result(id);
  const json progress = json::parse(gifexport_progress(id));
  EXPECT_EQ(progress["phase"], "encode");
  EXPECT_GT(progress["frames"], 0);
  EXPECT_LT(progress["frames"], 300);
  const json result = json::parse(gifexport_result(id));
  EXPECT_EQ(result["width"], 1920);
  EXPECT_EQ(result["out_size_bytes"], 0);
  EXPECT_FALSE(apitest::file_exists(out)) << "the partial GIF is removed";
}

TEST_F(ApiTest, FreeOfARunningJobWaitsAndRemovesTheOutput) {
  const std::string out = apitest::scratch_path("free_running.gif");
  const int id = start_long_job(out);
  ASSERT_EQ(id, 0);
  ASSERT_TRUE(apitest::wait_until([&] { return gifexport_status(id) == GIFEXPORT_STATE_RUNNING; }));
  gifexport_free(id);
  EXPECT_EQ(gifexport_status(id), -1);
  EXPECT_FALSE(apitest::file_exists(out));
  gifexport_free(id);
}

TEST_F(ApiTest, FailedJobRemovesAnOlderFileButNeverADirectory) {
  // A window with no frames fails at the end of the encode phase.
  const std::string in = apitest::picture_late_clip();
  ASSERT_FALSE(in.empty());

  const std::string file_out = apitest::scratch_path("older.gif");
  apitest::write_file(file_out, "older");
  const std::string dir_out = apitest::scratch_path("a_directory.gif");
  ASSERT_TRUE(testplat::make_dir(dir_out));
  const struct {
    std::string out;
    int64_t start, end;
    const char *error;
    bool survives;
  } cases[] = {
      {file_out, 0, 1000, "no frames in segment", false},
      {dir_out, 0, -1, "cannot open output file", true},
  };
  for (const auto &c : cases) {
    const apitest::JobEnd end = apitest::run_job(in, c.out, c.start, c.end);
    ASSERT_EQ(end.id, 0);
    ASSERT_EQ(end.status, GIFEXPORT_STATE_FAILED);
    EXPECT_EQ(json::parse(gifexport_result(0))["error"], c.error);
    gifexport_free(0);
    EXPECT_EQ(apitest::file_exists(c.out), c.survives) << c.out;
  }
}

TEST_F(ApiTest, AReclaimedSlotStartsFromZero) {
  const std::string in = apitest::indexed_clip_10s();
  const std::string first = apitest::scratch_path("first.gif");
  ASSERT_EQ(apitest::run_job(in, first, 0, 1000).status, GIFEXPORT_STATE_DONE);
  const char *old_progress = gifexport_progress(0);
  const char *old_result = gifexport_result(0);
  EXPECT_NE(std::string(old_result).find("\"ok\":true"), std::string::npos);
  gifexport_free(0);

  const std::string second = apitest::scratch_path("second.gif");
  ASSERT_EQ(start_long_job(second), 0);
  // The old texts were cleared with the claim.
  EXPECT_STREQ(old_progress, "");
  EXPECT_STREQ(old_result, "");
  gifexport_cancel(0);
  ASSERT_EQ(apitest::wait_final(0), GIFEXPORT_STATE_CANCELLED);
  const json result = json::parse(gifexport_result(0));
  EXPECT_EQ(result["frames"], 0);
  EXPECT_EQ(result["width"], 0);
  EXPECT_EQ(result["height"], 0);
  EXPECT_EQ(result["elapsed_ms"], 0);
  EXPECT_EQ(result["fps"], 30);
  EXPECT_EQ(gifexport_progress(0), old_progress) << "one buffer per slot";
}

}  // namespace
