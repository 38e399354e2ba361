// SPDX-License-Identifier: MIT
// The texts a host reads: exact templates, key order, escaping, pointers.
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "api/api_fixture.h"
#include "support/test_platform.h"

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
#if defined(_WIN32)
  // Windows allows neither quotes nor tabs in a file name; a backslash is
  // its folder separator and still comes back escaped, with UTF-8 as it is.
  const std::string dir = apitest::scratch_path("back");
  ASSERT_TRUE(testplat::make_dir(dir));
  const std::string out = dir + "\\slash caf\xc3\xa9.gif";
  const int id = gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, 200, 64, 5);
  ASSERT_EQ(id, 0);
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE) << gifexport_result(id);
  const std::string result = gifexport_result(id);
  EXPECT_NE(result.find("back\\\\slash caf\xc3\xa9.gif\""), std::string::npos) << result;
  EXPECT_EQ(json::parse(result)["out_path"], out);
  EXPECT_TRUE(apitest::file_exists(out));
#else
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
#endif
}

TEST_F(ApiTest, OutputPathThatIsNotUtf8StillGivesJson) {
  // A Linux file name may hold any bytes. Here: two bytes that never start a
  // character, a cut three-byte sequence, an encoded surrogate, and one valid
  // four-byte character, which must come through unchanged.
  const std::string name = "gif\xff\xfe \xe2\x82 \xed\xa0\x80 \xf0\x9f\x98\x80.gif";
  const std::string out = apitest::scratch_path(name);
  const int id = gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, 200, 64, 5);
  ASSERT_EQ(id, 0);
#if defined(_WIN32)
  // Windows file names are UTF-16: such bytes name no file there, and the
  // failure still comes back as JSON.
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_FAILED);
  const json failed = json::parse(gifexport_result(id), nullptr, false);
  ASSERT_FALSE(failed.is_discarded()) << gifexport_result(id);
  EXPECT_EQ(failed["error"], "cannot open output file");
  return;
#endif
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE);
  const std::string result = gifexport_result(id);
  json r;
  ASSERT_NO_THROW(r = json::parse(result)) << "not JSON: " << result;
#define FFFD "\xef\xbf\xbd"
  const std::string shown = out.substr(0, out.size() - name.size()) +
                            "gif" FFFD FFFD " " FFFD " " FFFD FFFD FFFD " \xf0\x9f\x98\x80.gif";
#undef FFFD
  EXPECT_EQ(r["out_path"], shown);
  // The file itself is at the path as given, byte for byte.
  const std::string gif = apitest::read_file(out);
  EXPECT_EQ(gif.substr(0, 6), "GIF89a");
  EXPECT_EQ(r["out_size_bytes"], static_cast<int64_t>(gif.size()));
  EXPECT_FALSE(apitest::file_exists(shown));
}

TEST_F(ApiTest, LongestPathOfInvalidBytesComesBackWhole) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows file names are UTF-16: bytes that are not UTF-8 name no file there (the failure's text is checked in OutputPathThatIsNotUtf8StillGivesJson)";
#else
  // Each byte that is not UTF-8 takes three in the text (U+FFFD); the
  // longest path a job accepts still comes back whole, not cut.
  const std::string fffd = "\xef\xbf\xbd";
  auto replaced = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += fffd;
    return s;
  };
  const size_t kLongest = 1198, kPart = 150;
  std::string dir = apitest::scratch_dir(), shown = dir;
  while (dir.size() + 1 + kPart + 1 + 100 <= kLongest) {
    dir += "/" + std::string(kPart, '\xff');
    shown += "/" + replaced(kPart);
    ASSERT_TRUE(testplat::make_dir(dir)) << std::strerror(errno);
  }
  const size_t name = kLongest - dir.size() - 1 - 4;
  const std::string out = dir + "/" + std::string(name, '\xfe') + ".gif";
  shown += "/" + replaced(name) + ".gif";
  ASSERT_EQ(out.size(), kLongest);
  const int id = gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, 200, 64, 5);
  ASSERT_EQ(id, 0);
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE);
  const std::string result = gifexport_result(id);
  json r;
  ASSERT_NO_THROW(r = json::parse(result)) << result;
  EXPECT_EQ(r["out_path"], shown);
  EXPECT_EQ(r["out_size_bytes"], static_cast<int64_t>(apitest::read_file(out).size()));
#endif
}

// Switches the whole process to a German UTF-8 locale, whose decimal point
// is a comma, as a host does with setlocale(LC_ALL, "") there; back to "C"
// (and LOCPATH as it was) when it goes out of scope. When the system lacks
// the locale it is compiled with localedef into the scratch directory.
class CommaDecimalLocale {
 public:
  CommaDecimalLocale() {
#if defined(_WIN32)
    // Windows names its locales itself and makes none on request.
    for (const char *name : {"de-DE", "German_Germany.1252", "German"})
      if (std::setlocale(LC_ALL, name)) return;
    problem_ = "no German locale on this Windows";
    tool_missing_ = true;
    return;
#endif
    if (const char *old = std::getenv("LOCPATH")) old_locpath_ = old;
    if (std::setlocale(LC_ALL, kName)) return;
    if (std::system("command -v localedef >/dev/null 2>&1") != 0) {
      problem_ = "localedef is missing, so no comma-decimal locale can be made";
      tool_missing_ = true;
      return;
    }
    const std::string dir = apitest::scratch_dir() + "/locale";
    // -c: write the locale even if localedef has warnings about its source.
    const std::string command =
        "mkdir -p '" + dir + "' && localedef -c -i de_DE -f UTF-8 '" + dir + "/" + kName + "'";
    const int rc = std::system(command.c_str());
    testplat::set_env("LOCPATH", dir.c_str());
    if (std::setlocale(LC_ALL, kName) == nullptr)
      problem_ = "localedef (exit " + std::to_string(rc) + ") gave no loadable " + kName;
  }
  ~CommaDecimalLocale() {
    std::setlocale(LC_ALL, "C");
    if (old_locpath_.empty()) {
      testplat::unset_env("LOCPATH");
    } else {
      testplat::set_env("LOCPATH", old_locpath_.c_str());
    }
  }
  CommaDecimalLocale(const CommaDecimalLocale &) = delete;
  CommaDecimalLocale &operator=(const CommaDecimalLocale &) = delete;

  const std::string &problem() const { return problem_; }
  bool tool_missing() const { return tool_missing_; }

 private:
  static constexpr const char *kName = "de_DE.UTF-8";
  std::string old_locpath_;
  std::string problem_;
  bool tool_missing_ = false;
};

TEST_F(ApiTest, TextsStayJsonInACommaDecimalLocale) {
  // Inputs are made first, in the "C" locale.
  const std::string in = apitest::indexed_clip_10s();
  const std::string ntsc_in = apitest::ntsc_clip();  // fps 29.970
  ASSERT_FALSE(ntsc_in.empty());

  const CommaDecimalLocale locale;
  if (locale.tool_missing()) GTEST_SKIP() << locale.problem();
  ASSERT_EQ(locale.problem(), "");
  char comma[16];
  std::snprintf(comma, sizeof comma, "%.1f", 42.5);
  ASSERT_STREQ(comma, "42,5") << "printf must follow the locale here, or the test shows nothing";

  json p;
  const std::string probe = gifexport_probe(in.c_str());
  ASSERT_NO_THROW(p = json::parse(probe)) << probe;
  EXPECT_EQ(p["streams"][0]["fps"].get<double>(), 25.0);
  EXPECT_NE(probe.find("\"fps\":25.000}"), std::string::npos) << probe;
  const std::string ntsc_probe = gifexport_probe(ntsc_in.c_str());
  ASSERT_NO_THROW(p = json::parse(ntsc_probe)) << ntsc_probe;
  EXPECT_DOUBLE_EQ(p["streams"][0]["fps"].get<double>(), 29.97);
  EXPECT_NE(ntsc_probe.find("\"fps\":29.970}"), std::string::npos) << ntsc_probe;

  const std::string out = apitest::scratch_path("locale.gif");
  const int id = gifexport_start(in.c_str(), out.c_str(), 1000, 9000, 64, 10);
  ASSERT_EQ(id, 0);
  // Every progress text while the job runs, fractions included, is JSON with
  // one decimal after a point.
  const std::regex percent_form(R"("percent":\d{1,3}\.\d,)");
  int texts = 0;
  while (gifexport_status(id) < GIFEXPORT_STATE_DONE && texts < 100000) {
    const std::string progress = gifexport_progress(id);
    ASSERT_TRUE(std::regex_search(progress, percent_form)) << progress;
    ASSERT_NO_THROW(p = json::parse(progress)) << progress;
    ASSERT_GE(p["percent"].get<double>(), 0.0);
    ASSERT_LE(p["percent"].get<double>(), 100.0);
    ++texts;
  }
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE);
  const std::string progress = gifexport_progress(id);
  EXPECT_NE(progress.find("\"percent\":100.0,"), std::string::npos) << progress;
  ASSERT_NO_THROW(p = json::parse(progress)) << progress;
  EXPECT_EQ(p["percent"].get<double>(), 100.0);
  EXPECT_EQ(p["total_ms"], 8000);

  const std::string result = gifexport_result(id);
  ASSERT_NO_THROW(p = json::parse(result)) << result;
  EXPECT_EQ(p["out_path"], out);
  EXPECT_EQ(p["fps"], 10);
  EXPECT_EQ(p["frames"], 80);
  EXPECT_EQ(p["out_size_bytes"], static_cast<int64_t>(apitest::read_file(out).size()));
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
