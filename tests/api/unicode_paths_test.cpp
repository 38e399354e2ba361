// SPDX-License-Identifier: MIT
// Paths are UTF-8 in the whole interface, whatever the platform does with
// them underneath (UTF-16 file names on Windows): a non-ASCII name is the
// file of that name for writing, measuring, refusing and removing, and so is
// a path longer than Windows' classic 260-character limit.
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

}  // namespace
