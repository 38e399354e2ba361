// SPDX-License-Identifier: MIT
// The GIF appears at its path only when it is complete: until then whatever
// stood there stays, and no ending, not even the host's process going away,
// leaves a partial GIF under the output's name.
#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "api/api_fixture.h"
#include "support/test_platform.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

// A folder of its own for each test, so its listing shows every file a job
// left there.
std::string fresh_dir(const std::string &name) {
  const std::string dir = apitest::scratch_path(name);
  EXPECT_TRUE(testplat::make_dir(dir));
  return dir;
}

std::vector<std::string> listing(const std::string &dir) { return testplat::list_dir(dir); }

bool is_gif(const std::string &path) { return apitest::read_file(path).substr(0, 6) == "GIF89a"; }

// Long enough an encode phase (300 frames) to be looked at while it runs.
int start_long_job(const std::string &out) {
  return gifexport_start(apitest::indexed_clip_10s().c_str(), out.c_str(), 0, -1, 320, 30);
}

bool encoding(int id) {
  const json p = json::parse(gifexport_progress(id));
  return p["state"] == GIFEXPORT_STATE_RUNNING && p["frames"] > 0;
}

// The long job's GIF has this many frames; the file is moved into place only
// after the last, so while fewer are counted it cannot be there yet.
constexpr int kLongJobFrames = 300;

bool before_last_frame(int id) {
  const json p = json::parse(gifexport_progress(id));
  return p["state"] == GIFEXPORT_STATE_RUNNING && p["frames"] > 0 &&
         p["frames"] < kLongJobFrames;
}

TEST_F(ApiTest, GifReplacesAnOlderFileOnlyWhenComplete) {
  const std::string dir = fresh_dir("complete");
  const std::string out = dir + "/out.gif";
  apitest::write_file(out, "older file");
  const int id = start_long_job(out);
  ASSERT_EQ(id, 0);
  ASSERT_TRUE(apitest::wait_until([&] { return encoding(id) || gifexport_status(id) > 2; }));
  int looks = 0;
  while (before_last_frame(id)) {
    // Frames are being written, but not under the output's name.
    const std::string seen = apitest::read_file(out);
    const size_t files = listing(dir).size();
    if (!before_last_frame(id)) break;  // finished meanwhile: what was seen may be the GIF
    EXPECT_EQ(seen, "older file");
    EXPECT_EQ(files, 2u) << "the older file and the one being written";
    ++looks;
  }
  EXPECT_GT(looks, 0) << "the encode phase ended before it could be looked at";
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE) << gifexport_result(id);
  EXPECT_TRUE(is_gif(out));
  EXPECT_EQ(json::parse(gifexport_result(id))["frames"], kLongJobFrames);
  EXPECT_EQ(json::parse(gifexport_result(id))["out_size_bytes"],
            static_cast<int64_t>(apitest::read_file(out).size()));
  EXPECT_EQ(listing(dir), std::vector<std::string>{"out.gif"});
}

TEST_F(ApiTest, EndingsWithoutAGifLeaveNoFileInTheFolder) {
  const std::string dir = fresh_dir("no_leftovers");
  const std::string out = dir + "/out.gif";
  // Cancelled while encoding.
  ASSERT_EQ(start_long_job(out), 0);
  ASSERT_TRUE(apitest::wait_until([&] { return encoding(0) || gifexport_status(0) > 2; }));
  gifexport_cancel(0);
  EXPECT_EQ(apitest::wait_final(0), GIFEXPORT_STATE_CANCELLED);
  EXPECT_TRUE(listing(dir).empty());
  gifexport_free(0);
  // Freed while encoding.
  ASSERT_EQ(start_long_job(out), 0);
  ASSERT_TRUE(apitest::wait_until([&] { return encoding(0) || gifexport_status(0) > 2; }));
  gifexport_free(0);
  EXPECT_TRUE(listing(dir).empty());
}

// The host's process ends in the middle of the encode phase (returning from
// main, killed, its terminal closed): no truncated GIF takes the output's
// name. Only the hidden file being written may stay behind.
TEST_F(ApiTest, HostEndingMidEncodeLeavesNoPartialGif) {
#if defined(_WIN32)
  GTEST_SKIP() << "the test forks a host process, and Windows has no fork";
#else
  const std::string dir = fresh_dir("host_exit");
  const std::string out = dir + "/out.gif";
  const std::string in = apitest::indexed_clip_10s();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int id = start_long_job(out);
    if (id < 0) _exit(2);
    apitest::wait_until([&] { return encoding(id) || gifexport_status(id) > 2; });
    _exit(gifexport_status(id) == GIFEXPORT_STATE_RUNNING ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the child's job was not in its encode phase";
  EXPECT_FALSE(apitest::file_exists(out));
  // Only the hidden file being written, named for the process and the slot,
  // so no other job, in this process or another, chooses the same name.
  EXPECT_EQ(listing(dir),
            std::vector<std::string>{".gifexport-" + std::to_string(child) + "-0.tmp"});
#endif
}

// Each ending that keeps no GIF, with an older file at the output path given
// plainly and in the "file:" spelling: the older file goes too, as the path
// names it, not as the literal string.
TEST_F(ApiTest, EndingsWithoutAGifRemoveAnOlderFileInEverySpelling) {
  const std::string late = apitest::picture_late_clip();
  ASSERT_FALSE(late.empty());
  enum class Ending { cancel_while_encoding, free_while_encoding, fail };
  const struct {
    const char *name;
    Ending ending;
  } kEndings[] = {
      {"cancelled", Ending::cancel_while_encoding},
      {"freed", Ending::free_while_encoding},
      {"failed", Ending::fail},
  };
  int folder = 0;
  for (const char *scheme : {"", "file:"}) {
    for (const auto &e : kEndings) {
      SCOPED_TRACE(std::string(scheme) + " " + e.name);
      const std::string dir = fresh_dir("older_" + std::to_string(folder++));
      apitest::write_file(dir + "/out.gif", "older file");
      const std::string out = scheme + dir + "/out.gif";
      if (e.ending == Ending::fail) {
        const apitest::JobEnd end = apitest::run_job(late, out, 0, 1000, 64, 5);
        ASSERT_EQ(end.status, GIFEXPORT_STATE_FAILED) << gifexport_result(end.id);
        EXPECT_EQ(json::parse(gifexport_result(end.id))["error"], "no frames in segment");
      } else {
        ASSERT_EQ(start_long_job(out), 0);
        ASSERT_TRUE(apitest::wait_until([] { return encoding(0) || gifexport_status(0) > 2; }));
        if (e.ending == Ending::cancel_while_encoding) {
          gifexport_cancel(0);
          EXPECT_EQ(apitest::wait_final(0), GIFEXPORT_STATE_CANCELLED);
          EXPECT_TRUE(listing(dir).empty()) << "before the slot is freed";
        }
      }
      gifexport_free(0);
      EXPECT_TRUE(listing(dir).empty());
    }
  }
}

#if !defined(_WIN32)
// A folder on another file system than the scratch folder when the machine
// has one at hand (/dev/shm is tmpfs on most Linux systems), else another
// folder beside it; second tells which. Removed by the caller.
std::pair<std::string, bool> folder_elsewhere(const std::string &name) {
  struct stat scratch, shm;
  if (stat(apitest::scratch_dir().c_str(), &scratch) == 0 && stat("/dev/shm", &shm) == 0 &&
      S_ISDIR(shm.st_mode) && shm.st_dev != scratch.st_dev) {
    const std::string dir =
        "/dev/shm/gifexport_" + name + "_" + std::to_string(static_cast<long>(getpid()));
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    if (testplat::make_dir(dir)) return {dir, true};
  }
  return {fresh_dir(name), false};
}
#endif

// A link in one folder to a file in another (on another file system where
// possible): the GIF is written beside the target, where it can be moved onto
// it, and nothing is left in either folder.
TEST_F(ApiTest, LinkToAnotherFolderReplacesItsTarget) {
#if defined(_WIN32)
  GTEST_SKIP() << "symbolic links are followed to their target only on POSIX systems";
#else
  const std::string link_dir = fresh_dir("link_here");
  const auto [target_dir, other_fs] = folder_elsewhere("link_target");
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{target_dir};
  const std::string link = link_dir + "/link.gif", target = target_dir + "/target.gif";
  apitest::write_file(target, "older file");
  ASSERT_TRUE(testplat::make_symlink(target, link));
  const int id = start_long_job(link);
  ASSERT_EQ(id, 0);
  ASSERT_TRUE(apitest::wait_until([&] { return encoding(id) || gifexport_status(id) > 2; }));
  int looks = 0;
  std::string odd;  // the first listing that shows the GIF written elsewhere
  while (before_last_frame(id)) {
    const std::vector<std::string> here = listing(link_dir), there = listing(target_dir);
    if (!before_last_frame(id)) break;
    // The older target and the file being written beside it; only the link here.
    if (odd.empty() && (here.size() != 1 || there.size() != 2))
      odd = std::to_string(here.size()) + " file(s) beside the link, " +
            std::to_string(there.size()) + " beside the target";
    ++looks;
  }
  EXPECT_GT(looks, 0) << "the encode phase ended before it could be looked at";
  EXPECT_EQ(odd, "") << "while the GIF was being written";
  ASSERT_EQ(apitest::wait_final(id), GIFEXPORT_STATE_DONE)
      << gifexport_result(id) << (other_fs ? " (target on another file system)" : "");
  EXPECT_TRUE(testplat::is_symlink(link));
  EXPECT_TRUE(is_gif(target));
  EXPECT_EQ(json::parse(gifexport_result(id))["out_size_bytes"],
            static_cast<int64_t>(apitest::read_file(target).size()));
  gifexport_free(id);
  EXPECT_EQ(listing(link_dir), std::vector<std::string>{"link.gif"});
  EXPECT_EQ(listing(target_dir), std::vector<std::string>{"target.gif"});
#endif
}

TEST_F(ApiTest, LinkedOutputReplacesTheLinkTarget) {
#if defined(_WIN32)
  GTEST_SKIP() << "symbolic links are followed to their target only on POSIX systems; on Windows the job writes through the link";
#else
  const std::string dir = fresh_dir("linked");
  apitest::write_file(dir + "/target.gif", "older file");
  ASSERT_TRUE(testplat::make_symlink("target.gif", (dir + "/link.gif")));
  ASSERT_TRUE(testplat::make_symlink("not_yet.gif", (dir + "/dangling.gif")));
  for (const char *name : {"link.gif", "dangling.gif"}) {
    const std::string out = dir + "/" + name;
    const apitest::JobEnd end = apitest::run_job(apitest::indexed_clip_10s(), out, 0, 500, 64, 5);
    ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << name << ": " << gifexport_result(end.id);
    EXPECT_EQ(json::parse(gifexport_result(end.id))["out_size_bytes"],
              static_cast<int64_t>(apitest::read_file(out).size()))
        << name;
    gifexport_free(end.id);
    EXPECT_TRUE(testplat::is_symlink(out)) << name;
    EXPECT_TRUE(is_gif(out)) << name;
  }
  EXPECT_TRUE(is_gif(dir + "/target.gif"));
  EXPECT_TRUE(is_gif(dir + "/not_yet.gif"));
  EXPECT_EQ(listing(dir).size(), 4u);
#endif
}

// A device cannot be replaced by a file: it is written as it is.
TEST_F(ApiTest, DeviceOutputIsWrittenDirectly) {
#if defined(_WIN32)
  const char *device = "NUL";
#else
  const char *device = "/dev/null";
  if (!testplat::exists(device)) GTEST_SKIP() << "no /dev/null";
#endif
  const apitest::JobEnd end = apitest::run_job(apitest::indexed_clip_10s(), device, 0, 500, 64, 5);
  EXPECT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
  gifexport_free(end.id);
  // Still the device, not a file put in its place.
  EXPECT_FALSE(std::filesystem::is_regular_file(device)) << device;
#if !defined(_WIN32)
  EXPECT_TRUE(testplat::exists(device));
#endif
}

}  // namespace
