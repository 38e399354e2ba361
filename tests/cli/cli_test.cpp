// The gifexport tool, run as a user runs it: through its process.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli_options.h"
#include "support/media_gen.h"

namespace {

using nlohmann::json;

const std::string &dir() {
  static const std::string d = [] {
    std::string t = ::testing::TempDir() + "gifexport_cli_XXXXXX";
    if (mkdtemp(t.data()) == nullptr) std::abort();
    return t;
  }();
  return d;
}

// Removes the scratch directory when the test program ends.
class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir(), ignored);
  }
};
::testing::Environment *const g_cleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

struct ToolRun {
  int exit_code = -1;
  std::string out, err;
};

// Starts the tool with args, its output going to files; returns its pid.
pid_t spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
    std::vector<char *> argv{const_cast<char *>(GIFEXPORT_TOOL)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(GIFEXPORT_TOOL, argv.data());
    _exit(127);
  }
  return pid;
}

ToolRun finish(pid_t pid, const std::string &out, const std::string &err) {
  ToolRun r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

ToolRun run(const std::vector<std::string> &args) {
  const std::string out = dir() + "/stdout", err = dir() + "/stderr";
  return finish(spawn(args, out, err), out, err);
}

std::string clip(const std::string &name, void (*edit)(fixture::ClipSpec &)) {
  const std::string path = dir() + "/" + name;
  if (exists(path)) return path;
  fixture::ClipSpec c;
  edit(c);
  EXPECT_TRUE(fixture::make_clip(path, c));
  return path;
}

std::string short_clip() {
  return clip("short.mp4", [](fixture::ClipSpec &) {});  // 2 s, 320x240
}

TEST(Cli, RefusalsGiveTheirMessageAndExitCode) {
  const std::string audio = clip("audio.mp4", [](fixture::ClipSpec &c) { c.audio_only = true; });
  const std::string out = dir() + "/refused.gif";
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char *message;
  } cases[] = {
      {{"convert", dir() + "/missing.mp4", out}, 5, "cannot be opened"},
      {{"convert", audio, out}, 7, "no video stream"},
      {{"convert", short_clip(), out, "--start", "20s"}, 3, "window"},
      {{"convert", short_clip(), out, "--start", "2.5"}, 2, "--start needs a time"},
      {{"convert", short_clip()}, 2, "input and an output"},
      {{"convert", short_clip(), dir() + "/no/such/dir.gif"}, 27, "cannot be created"},
      {{"probe", dir() + "/missing.mp4"}, 1, "No such file"},
      {{"frobnicate"}, 2, "usage"},
  };
  for (const auto &c : cases) {
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << " " << c.args[1] << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(exists(out));
  }
}

TEST(Cli, ConvertWritesAGifAndReportsIt) {
  const std::string out = dir() + "/ok.gif";
  const ToolRun plain = run({"convert", short_clip(), out, "--end", "0:01.5", "--width", "200"});
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_NE(plain.out.find("200x150, 23 frames at 15 fps"), std::string::npos) << plain.out;
  const ToolRun probed = run({"probe", out, "--json"});
  ASSERT_EQ(probed.exit_code, 0);
  EXPECT_EQ(json::parse(probed.out)["streams"][0]["codec"], "gif");

  const ToolRun quiet = run({"convert", short_clip(), out, "--json", "--quiet", "--fps", "10"});
  ASSERT_EQ(quiet.exit_code, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  const json result = json::parse(quiet.out);
  EXPECT_EQ(result["ok"], true);
  EXPECT_EQ(result["fps"], 10);
  EXPECT_EQ(result["out_path"], out);
}

TEST(Cli, InterruptLeavesNoFileAndExits130) {
  const std::string in = clip("long.mp4", [](fixture::ClipSpec &c) { c.frames = 250; });
  const std::string out = dir() + "/interrupted.gif";
  const std::string so = dir() + "/int_out", se = dir() + "/int_err";
  const pid_t pid = spawn({"convert", in, out, "--width", "1920", "--fps", "30"}, so, se);
  // Wait for the first progress line: the job is running.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (slurp(se).find("progress:") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(pid, SIGINT);
  kill(pid, SIGINT);  // a second Ctrl-C changes nothing
  const ToolRun r = finish(pid, so, se);
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(out));
}

TEST(Cli, HelpListsEveryExitCodeAndVersionPrintsTheLibrarysText) {
  const ToolRun help = run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char *code : {"  3  ", " 27  ", " 31  ", "130  "})
    EXPECT_NE(help.out.find(code), std::string::npos) << code;
  const ToolRun version = run({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("1.0.0 (libavfilter ", 0), 0u) << version.out;
}

TEST(CliTimes, AcceptedForms) {
  const struct {
    const char *text;
    int64_t ms;  // -1: refused
  } cases[] = {
      {"1500", 1500}, {"0", 0},         {"2.5s", 2500},  {"2s", 2000},    {"1:02.5", 62500},
      {"1:02:03", 3723000}, {"0:00.04", 40}, {"2.5", -1}, {"", -1},        {"1:60", -1},
      {"-5", -1},     {"1:2:3:4", -1},  {"abc", -1},     {"1.2.3s", -1},  {"s", -1},
  };
  for (const auto &c : cases) {
    const auto ms = parse_time_ms(c.text);
    if (c.ms < 0) {
      EXPECT_FALSE(ms.has_value()) << c.text;
    } else {
      ASSERT_TRUE(ms.has_value()) << c.text;
      EXPECT_EQ(*ms, c.ms) << c.text;
    }
  }
}

}  // namespace
