// SPDX-License-Identifier: MIT
// Paths are UTF-8 in the whole interface, whatever the platform does with
// them underneath (UTF-16 file names on Windows): a non-ASCII name is the
// file of that name for writing, measuring, refusing and removing, and so is
// a path longer than Windows' classic 260-character limit, also a relative
// one whose full form (with the current folder) is that long. The tests that
// change the current folder are here and restore it.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "api/api_fixture.h"
#include "support/test_platform.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

std::string fresh_dir(const std::string &name) {
  const std::string dir = apitest::scratch_path(name);
  EXPECT_TRUE(testplat::make_dir(dir)) << dir;
  return dir;
}

TEST_F(ApiTest, NonAsciiOutputNameIsTheFileWritten) {
  const struct {
    const char *folder, *name;
  } cases[] = {
      {"plain", "\xc3\xbc\xe2\x82\xac\xe5\x90\x8d.gif"},                     // ü€名.gif
      {"caf\xc3\xa9 \xe3\x83\x95\xe3\x82\xa9\xe3\x83\xab\xe3\x83\x80", "\xf0\x9f\x98\x80 clip.gif"},  // café フォルダ / 😀 clip.gif
  };
  for (const auto &c : cases) {
    const std::string dir = fresh_dir(c.folder);
    const std::string out = dir + "/" + c.name;
    const apitest::JobEnd end = apitest::run_job(apitest::indexed_clip_10s(), out, 0, 500, 64, 5);
    ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << out << ": " << gifexport_result(end.id);
    const json r = json::parse(gifexport_result(end.id));
    EXPECT_EQ(r["out_path"], out);
    EXPECT_GT(r["out_size_bytes"], 0);
    EXPECT_EQ(r["out_size_bytes"], testplat::file_size(out)) << out;
    EXPECT_EQ(apitest::read_file(out).substr(0, 6), "GIF89a") << out;
    // Exactly that name, and nothing else, in the folder.
    EXPECT_EQ(testplat::list_dir(dir), std::vector<std::string>{c.name});
    gifexport_free(end.id);
  }
}

TEST_F(ApiTest, NonAsciiOutputNamingTheInputIsRefused) {
  const std::string dir = fresh_dir("own_input");
  const std::string in = dir + "/vid\xc3\xa9o\xe5\x90\x8d.mp4";  // vidéo名.mp4
  ASSERT_TRUE(testplat::hard_link(apitest::indexed_clip_10s(), in));
  const std::string other_name = dir + "/\xe3\x83\xaa\xe3\x83\xb3\xe3\x82\xaf \xc3\xbc.gif";  // リンク ü.gif
  ASSERT_TRUE(testplat::hard_link(in, other_name));
  const std::string before = apitest::read_file(in);
  ASSERT_FALSE(before.empty());
  for (const std::string &out : {in, other_name, dir + "/./vid\xc3\xa9o\xe5\x90\x8d.mp4"})
    EXPECT_EQ(gifexport_start(in.c_str(), out.c_str(), 0, 500, 64, 5), GIFEXPORT_ERR_ARGS) << out;
  EXPECT_EQ(apitest::read_file(in), before);
}

TEST_F(ApiTest, CancelledNonAsciiOutputLeavesNoFile) {
  const std::string dir = fresh_dir("cancelled");
  const std::string out = dir + "/\xc3\xbc\xe2\x82\xac\xe5\x90\x8d cancelled.gif";
  const int id = gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, -1, 320, 30);
  ASSERT_EQ(id, 0);
  // Cancelled once frames are being written, when the file exists.
  apitest::wait_until([&] {
    const json p = json::parse(gifexport_progress(id));
    return p["frames"] > 0 || p["state"] != GIFEXPORT_STATE_RUNNING;
  });
  gifexport_cancel(id);
  EXPECT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_CANCELLED);
  gifexport_free(id);
  EXPECT_TRUE(testplat::list_dir(dir).empty()) << testplat::list_dir(dir).size() << " files left";
}

TEST_F(ApiTest, PathsLongerThan260Characters) {
  // Nested non-ASCII folders to about 700 bytes (over 300 characters), below
  // the 1198 bytes a path may have.
  std::string dir = fresh_dir("long");
  while (dir.size() < 600) {
    dir += "/" + std::string(40, 'd') + "\xc3\xa9\xe5\x90\x8d";
    ASSERT_TRUE(testplat::make_dir(dir)) << dir.size() << " bytes";
  }
  const std::string in = dir + "/input clip.mp4", out = dir + "/\xc3\xbc long.gif";
  ASSERT_TRUE(testplat::hard_link(apitest::indexed_clip_10s(), in));
  ASSERT_GT(testplat::fs_path(out).native().size(), 300u);
  EXPECT_EQ(json::parse(gifexport_probe(in.c_str()))["ok"], true) << gifexport_probe(in.c_str());
  const apitest::JobEnd end = apitest::run_job(in, out, 0, 500, 64, 5);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
  const json r = json::parse(gifexport_result(end.id));
  EXPECT_EQ(r["out_path"], out);
  EXPECT_EQ(r["out_size_bytes"], testplat::file_size(out));
  gifexport_free(end.id);
  // Refused as its own input at that length too.
  EXPECT_EQ(gifexport_start(in.c_str(), in.c_str(), 0, 500, 64, 5), GIFEXPORT_ERR_ARGS);
}

// Makes path the current folder until the end of the scope.
class CurrentDirScope {
 public:
  explicit CurrentDirScope(const std::string &path) : before_(testplat::current_dir()) {
    entered_ = !before_.empty() && testplat::set_current_dir(path);
  }
  CurrentDirScope(const CurrentDirScope &) = delete;
  CurrentDirScope &operator=(const CurrentDirScope &) = delete;
  ~CurrentDirScope() {
    if (entered_) {
      EXPECT_TRUE(testplat::set_current_dir(before_)) << before_;
    }
  }
  bool entered() const { return entered_; }

 private:
  std::string before_;
  bool entered_ = false;
};

// The length Windows counts (UTF-16 units; bytes elsewhere, the same for
// ASCII names).
size_t path_length(const std::string &path) { return testplat::fs_path(path).native().size(); }

TEST_F(ApiTest, RelativePathsWhoseFullFormPasses260Characters) {
  // A current folder of 230 characters: Windows takes one below 258 without
  // the long form. The names below are short, their full forms long.
  std::string cwd = fresh_dir("rel");
  while (path_length(cwd) < 200) {
    cwd += "/" + std::string(20, 'c');
    ASSERT_TRUE(testplat::make_dir(cwd)) << cwd;
  }
  ASSERT_LT(path_length(cwd), 229u) << cwd;
  cwd += "/" + std::string(229 - path_length(cwd), 'c');
  ASSERT_TRUE(testplat::make_dir(cwd)) << cwd;
  ASSERT_EQ(path_length(cwd), 230u);
  const std::string in_name = std::string(40, 'i') + ".mp4";
  ASSERT_TRUE(testplat::hard_link(apitest::indexed_clip_10s(), cwd + "/" + in_name));
  // Each output in a folder of its own, so the temporary file beside it is
  // over 260 characters too: out = prefix + folder + separator + name.
  struct Spelling {
    std::string prefix, separator;
  };
#if defined(_WIN32)
  const std::string own_folder = ".\\";
  const std::vector<Spelling> spellings = {
      {"", "/"}, {"", "\\"}, {".\\", "\\"},
      {cwd.substr(0, 2), "\\"},  // drive-relative: C:folder\name.gif
  };
#else
  const std::string own_folder = "./";
  const std::vector<Spelling> spellings = {{"", "/"}, {"./", "/"}};
#endif
  CurrentDirScope scope(cwd);
  ASSERT_TRUE(scope.entered()) << cwd;
  for (size_t i = 0; i < spellings.size(); ++i) {
    const std::string folder = std::string(28, 's') + std::to_string(10 + i);
    ASSERT_TRUE(testplat::make_dir(cwd + "/" + folder));
    const std::string name = std::string(20, 'o') + ".gif";
    const std::string out = spellings[i].prefix + folder + spellings[i].separator + name;
    SCOPED_TRACE(out);
    ASSERT_GT(path_length(cwd + "/" + folder + "/.gifexport-0000-0.tmp"), 260u);
    const apitest::JobEnd end = apitest::run_job(in_name, out, 0, 500, 64, 5);
    ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
    const json r = json::parse(gifexport_result(end.id));
    EXPECT_EQ(r["out_path"], out);
    EXPECT_EQ(r["out_size_bytes"], testplat::file_size(cwd + "/" + folder + "/" + name));
    EXPECT_EQ(apitest::read_file(cwd + "/" + folder + "/" + name).substr(0, 6), "GIF89a");
    // The GIF alone: the temporary file was moved onto it.
    EXPECT_EQ(testplat::list_dir(cwd + "/" + folder), std::vector<std::string>{name});
    gifexport_free(end.id);
  }
  // The input named relatively is refused as its own output, whichever side
  // is spelled that way.
  const std::string absolute_in = cwd + "/" + in_name;
  const std::string before = apitest::read_file(absolute_in);
  const struct {
    std::string in, out;
  } own[] = {{in_name, in_name}, {absolute_in, in_name}, {in_name, absolute_in},
             {in_name, own_folder + in_name}};
  for (const auto &c : own)
    EXPECT_EQ(gifexport_start(c.in.c_str(), c.out.c_str(), 0, 500, 64, 5), GIFEXPORT_ERR_ARGS)
        << c.in << " -> " << c.out;
  EXPECT_EQ(apitest::read_file(absolute_in), before);
}

}  // namespace
