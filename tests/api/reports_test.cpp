// The texts a host reads: exact templates, key order, escaping, pointers.
#include <nlohmann/json.hpp>

#include <regex>
#include <set>

#include "api/api_fixture.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

// Keys of a compact JSON object in the order they are written (the parser
// sorts them, so they are read from the raw text).
std::vector<std::string> keys_in_order(const std::string &text) {
  EXPECT_NO_THROW(json::parse(text)) << text;
  std::vector<std::string> keys;
  std::regex key("\"([a-z_]+)\":");
  for (std::sregex_iterator it(text.begin(), text.end(), key), end; it != end; ++it)
    keys.push_back((*it)[1]);
  return keys;
}

const std::vector<std::string> kProgressKeys = {"state", "percent", "phase", "processed_ms",
                                                 "total_ms", "frames"};
const std::vector<std::string> kResultKeys = {"state", "ok", "out_path", "out_size_bytes",
                                               "width", "height", "fps", "frames",
                                               "duration_ms", "elapsed_ms"};

TEST_F(ApiTest, VersionNamesTheLibavfilterBuiltAgainst) {
  const char *v = gifexport_version();
  EXPECT_EQ(v, gifexport_version());
  EXPECT_TRUE(std::regex_match(v, std::regex(R"(1\.0\.0 \(libavfilter \d+\.\d+\.\d+\))"))) << v;
}

TEST_F(ApiTest, ProgressAndResultOfADoneJob) {
  const std::string out = apitest::scratch_path("report.gif");
  const int id = gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 2000, 7000, 0, 0);
  ASSERT_EQ(id, 0);
  // Before the first frame of the window has been fed.
  const std::string early = gifexport_progress(id);
  EXPECT_TRUE(std::regex_match(
      early, std::regex(R"(\{"state":[02],"percent":0\.0,"phase":"decode","processed_ms":0,"total_ms":5000,"frames":0\})")))
      << early;
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE);

  const std::string progress = gifexport_progress(id);
  EXPECT_EQ(keys_in_order(progress), kProgressKeys);
  const json p = json::parse(progress);
  EXPECT_EQ(p["percent"], 100.0);
  EXPECT_EQ(p["phase"], "encode");
  EXPECT_EQ(p["processed_ms"], 6960);  // the last source frame before 7 s
  EXPECT_EQ(p["frames"], 75);

  const std::string result = gifexport_result(id);
  EXPECT_EQ(keys_in_order(result), kResultKeys);
  const json r = json::parse(result);
  EXPECT_EQ(r["state"], 3);
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["out_path"], out);
  EXPECT_EQ(r["out_size_bytes"], static_cast<int64_t>(apitest::read_file(out).size()));
  EXPECT_EQ(r["width"], 480);
  EXPECT_EQ(r["height"], 360);
  EXPECT_EQ(r["fps"], 15);
  EXPECT_EQ(r["duration_ms"], 5000);
  EXPECT_GT(r["elapsed_ms"], 0);
}

TEST_F(ApiTest, OutputPathIsEscapedInTheResult) {
  // Quotes, a backslash and UTF-8 in a file name; a tab in it vanishes.
  const std::string out =
      apitest::scratch_path("q\"uo\\te caf\xc3\xa9\t.gif");
  const int id = gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, 200, 64, 5);
  ASSERT_EQ(id, 0);
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE);
  const std::string result = gifexport_result(id);
  EXPECT_NE(result.find("q\\\"uo\\\\te caf\xc3\xa9.gif\""), std::string::npos) << result;
  std::string without_tab = out;
  without_tab.erase(without_tab.find('\t'), 1);
  EXPECT_EQ(json::parse(result)["out_path"], without_tab);
  EXPECT_TRUE(apitest::file_exists(out));
}

TEST_F(ApiTest, FourStablePointersAndOneBadIdPointer) {
  const std::string in = apitest::indexed_clip_10s();
  ASSERT_EQ(gifexport_start(in.c_str(), apitest::scratch_path("p0.gif").c_str(), 0, 200, 64, 5), 0);
  ASSERT_EQ(gifexport_start(in.c_str(), apitest::scratch_path("p1.gif").c_str(), 0, 200, 64, 5), 1);
  const char *progress0 = gifexport_progress(0), *progress1 = gifexport_progress(1);
  const char *result0 = gifexport_result(0), *result1 = gifexport_result(1);
  EXPECT_EQ((std::set<const char *>{progress0, progress1, result0, result1}).size(), 4u);
  apitest::wait_final(0);
  apitest::wait_final(1);
  // The same addresses later, with the texts of the ended jobs in them.
  EXPECT_EQ(gifexport_progress(0), progress0);
  EXPECT_EQ(gifexport_progress(1), progress1);
  EXPECT_EQ(gifexport_result(0), result0);
  EXPECT_EQ(gifexport_result(1), result1);
  EXPECT_EQ(json::parse(result1)["state"], GIFEXPORT_STATE_DONE);
  EXPECT_EQ(gifexport_result(-1), gifexport_progress(2));
}

}  // namespace
