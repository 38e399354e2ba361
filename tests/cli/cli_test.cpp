// SPDX-License-Identifier: MIT
// The gifexport tool, run as a user runs it: through its process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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
  int killed_by = 0;  // the signal that ended the tool without its own exit
  bool hung = false;  // still running after the hang guard: killed
  std::string out, err;
};

// Polls until ready() holds; false when it still does not after a minute.
// The minute is a guard against a hang, not a measure of speed.
bool wait_for(const std::function<bool()> &ready) {
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > guard) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct SpawnOptions {
  int stderr_fd = -1;           // the tool's standard error instead of the err file
  bool ignore_hangup = false;   // started as nohup starts it
};

// Starts the tool with args, its output going to files; returns its pid.
pid_t spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err,
            const SpawnOptions &options = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout)) _exit(127);
    if (options.stderr_fd >= 0 ? dup2(options.stderr_fd, STDERR_FILENO) < 0
                               : !freopen(err.c_str(), "w", stderr))
      _exit(127);
    if (options.ignore_hangup) signal(SIGHUP, SIG_IGN);
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
  if (!wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
    r.hung = true;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.killed_by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
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

// A new empty folder for one export: whatever the export writes there (the
// GIF, or a file it is written to first) shows up as an entry.
std::string empty_folder(const std::string &name) {
  const std::string path = dir() + "/" + name;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  std::filesystem::create_directory(path);
  return path;
}

bool has_entries(const std::string &folder) {
  std::error_code ec;
  return !std::filesystem::is_empty(folder, ec) && !ec;
}

// Raw H.264 has no container and no duration.
std::string raw_h264_clip() {
  return clip("raw.h264", [](fixture::ClipSpec &c) {
    c.format = "h264";
    c.encoder = "libx264";
  });
}

// 10 s, 320x240: at 480 px and 30 fps its encoding lasts long enough to be
// caught with the GIF half written, most of the time.
std::string ten_second_clip() {
  return clip("long.mp4", [](fixture::ClipSpec &c) { c.frames = 250; });
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
      {{"convert", raw_h264_clip(), out}, 3, "the input reports no duration"},
      {{"convert", short_clip(), out, "--end", "10000000000000000s"}, 2, "too large"},
      {{"convert", short_clip(), out, "--end", "99999999999999999999"}, 2, "too large"},
      {{"convert", short_clip(), out, "--start", "2562047788016:00:00"}, 2, "too large"},
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

TEST(CliTimes, OnlyTimesThatFitIn64BitMilliseconds) {
  const std::string max = "9223372036854775807";
  const struct {
    std::string text;
    int64_t ms;       // -1: refused
    bool too_large;   // refused as a time that does not fit
  } cases[] = {
      {max, INT64_MAX, false},
      {"9223372036854775808", -1, true},
      {"99999999999999999999999", -1, true},
      {"00000000000000000000001500", 1500, false},
      {"9223372036854775.807s", INT64_MAX, false},
      {"9223372036854775.808s", -1, true},
      {"9223372036854775.8074s", INT64_MAX, false},  // rounds down
      {"9223372036854775.8075s", -1, true},          // rounds up past the limit
      {"10000000000000000s", -1, true},
      {"1" + std::string(400, '0') + "s", -1, true},  // beyond any double
      {"2562047788015:12:55.807", INT64_MAX, false},
      {"2562047788015:12:55.808", -1, true},
      {"2562047788016:00:00", -1, true},
      {"153722867280912:55.807", INT64_MAX, false},
      {"153722867280912:56", -1, true},
      {"99999999999999999999:00", -1, true},
      {"1:99999999999999999999", -1, false},  // not below 60
      {"0.0005s", 1, false},
      {"0.0004999s", 0, false},
      {"1:02.0005", 62001, false},
      {".5s", 500, false},
  };
  for (const auto &c : cases) {
    bool too_large = !c.too_large;
    const auto ms = parse_time_ms(c.text, &too_large);
    EXPECT_EQ(too_large, c.too_large) << c.text;
    if (c.ms < 0) {
      EXPECT_FALSE(ms.has_value()) << c.text;
    } else {
      ASSERT_TRUE(ms.has_value()) << c.text;
      EXPECT_EQ(*ms, c.ms) << c.text;
    }
  }
}

TEST(Cli, OutputPathThatIsNotUtf8) {
  // The result names the output path; whether the library passes its bytes
  // through or replaces them, the tool must read it and print JSON.
  const std::string out = dir() + "/\xff\xfe.gif";
  const ToolRun as_json = run({"convert", short_clip(), out, "--json", "--quiet", "--end", "500"});
  ASSERT_EQ(as_json.exit_code, 0) << as_json.err;
  EXPECT_TRUE(exists(out));
  const json result = json::parse(as_json.out, nullptr, false);
  ASSERT_FALSE(result.is_discarded()) << as_json.out;
  EXPECT_EQ(result["out_path"], dir() + "/\uFFFD\uFFFD.gif");
  EXPECT_EQ(result["frames"], 8);

  const ToolRun plain = run({"convert", short_clip(), out, "--end", "500"});
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_EQ(plain.out.rfind(out + ": ", 0), 0u) << plain.out;
  EXPECT_NE(plain.out.find("8 frames at 15 fps"), std::string::npos) << plain.out;
  EXPECT_EQ(run({"probe", out}).exit_code, 0);
}

// A pseudo-terminal whose other end is never used: reading the device named
// by slave() blocks, and so does writing to it once its buffer is full.
class SilentTerminal {
 public:
  SilentTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 && ptsname(master_))
      slave_ = ptsname(master_);
  }
  ~SilentTerminal() {
    if (master_ >= 0) close(master_);
  }
  const std::string &slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

// Whether process pid has path open.
bool holds_open(pid_t pid, const std::string &path) {
  std::error_code ec;
  for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code link_error;
    if (std::filesystem::read_symlink(fd.path(), link_error) == path) return true;
  }
  return false;
}

// Whether a thread of process pid is in a write to path, as /proc shows it.
bool writing_to(pid_t pid, const std::string &path) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (const auto &fd : std::filesystem::directory_iterator(proc + "/fd", ec)) {
    std::error_code link_error;
    if (std::filesystem::read_symlink(fd.path(), link_error) != path) continue;
    char fd_arg[32];
    std::snprintf(fd_arg, sizeof fd_arg, "0x%x", std::stoi(fd.path().filename().string()));
    std::error_code task_error;
    for (const auto &task : std::filesystem::directory_iterator(proc + "/task", task_error)) {
      std::ifstream in(task.path() / "syscall");
      std::string number, first_arg;
      if (in >> number >> first_arg && number == std::to_string(SYS_write) && first_arg == fd_arg)
        return true;
    }
  }
  return false;
}

enum class MainThreadCall { kUnknown, kWriteToStderr, kOther };

// What the main thread of pid is doing, as /proc shows it (kUnknown when
// /proc does not tell).
MainThreadCall main_thread_call(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  std::string number, first_arg;
  if (!(in >> number)) return MainThreadCall::kUnknown;
  in >> first_arg;  // none while the thread runs
  return number == std::to_string(SYS_write) && first_arg == "0x2" ? MainThreadCall::kWriteToStderr
                                                                    : MainThreadCall::kOther;
}

const char *signal_name(int number) {
  return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : number == SIGHUP ? "SIGHUP" : "?";
}

// A terminal nobody types into would keep a read of it waiting for ever: the
// library opens only regular files, so probing it or exporting from it ends
// at once with the open failure, and nothing is written.
TEST(CliSignals, ATerminalAsTheInputIsRefusedAtOnce) {
  const SilentTerminal terminal;
  if (terminal.slave().empty()) GTEST_SKIP() << "no pseudo-terminal";
  const std::string out = dir() + "/never.gif";
  const struct {
    std::vector<std::string> args;
    int exit_code;
  } cases[] = {
      // 1: the probe's "ok" is false; 5: the input cannot be opened.
      {{"probe", terminal.slave()}, 1},
      {{"probe", terminal.slave(), "--json"}, 1},
      {{"convert", terminal.slave(), out}, 5},
      {{"convert", terminal.slave(), out, "--json"}, 5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 2 ? " " + c.args.back() : ""));
    std::remove(out.c_str());
    const ToolRun r = run(c.args);
    EXPECT_FALSE(r.hung) << "the open of a terminal waited";
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_FALSE(exists(out));
  }
}

TEST(CliSignals, ASignalWhileTheDemoMakesItsSampleLeavesNothing) {
  const std::string out = dir() + "/demo.gif", sample = out + ".sample.mp4";
  const std::string so = dir() + "/demo_out", se = dir() + "/demo_err";
  const pid_t pid = spawn({"demo", out}, so, se);
  ASSERT_TRUE(wait_for([&] { return exists(sample); }));
  kill(pid, SIGINT);
  const ToolRun r = finish(pid, so, se);
  EXPECT_EQ(r.killed_by, 0);
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_FALSE(exists(sample));
  EXPECT_FALSE(exists(out));
}

TEST(CliSignals, DuringAnExportTheJobIsStoppedAndItsHalfWrittenGifRemoved) {
  const std::string in = ten_second_clip();
  const struct {
    std::vector<int> signals;
    int exit_code;
    const char *message;
  } cases[] = {
      {{SIGTERM}, 143, "terminated"},
      {{SIGHUP}, 129, "hung up"},
      {{SIGINT}, 130, "interrupted"},
      {{SIGINT, SIGINT}, 130, "interrupted"},  // the second one stops the waiting
      {{SIGTERM, SIGTERM}, 143, "terminated"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(signal_name(c.signals[0])) + " x" + std::to_string(c.signals.size()));
    ToolRun r;
    // Writing starts when encoding begins, after the whole window has been
    // decoded, and the signal is sent as soon as a file shows. Should the
    // job still have ended first (a busy machine), the tool rightly ends
    // well, and the row is tried again.
    std::string folder;
    for (int attempt = 0; attempt < 3 && (attempt == 0 || r.exit_code == 0); ++attempt) {
      folder = empty_folder("half");
      const std::string so = dir() + "/half_out", se = dir() + "/half_err";
      const pid_t pid = spawn({"convert", in, folder + "/half.gif", "--fps", "30", "--quiet"}, so, se);
      ASSERT_TRUE(wait_for([&] { return has_entries(folder); }));
      for (const int s : c.signals) kill(pid, s);
      r = finish(pid, so, se);
    }
    EXPECT_EQ(r.killed_by, 0) << "killed instead of exiting";
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(has_entries(folder)) << "a file was left";
  }
}

TEST(CliSignals, RepeatedSignalsEndAnExportStuckInAWrite) {
  // The output is a terminal nobody reads: once its buffer is full, the
  // job's thread is stuck in a write and never sees a cancellation, and
  // freeing the job waits for ever. Ctrl-C pressed again and again must
  // still end the tool.
  const SilentTerminal terminal;
  if (terminal.slave().empty()) GTEST_SKIP() << "no pseudo-terminal";
  const std::string so = dir() + "/stuck_out", se = dir() + "/stuck_err";
  const pid_t pid = spawn(
      {"convert", ten_second_clip(), terminal.slave(), "--end", "4s", "--fps", "30", "--quiet"}, so, se);
  // Open once encoding begins. A thread that is seen in a write to it is
  // stuck there: a write with room returns at once.
  ASSERT_TRUE(wait_for([&] { return holds_open(pid, terminal.slave()); }));
  if (main_thread_call(pid) != MainThreadCall::kUnknown) {
    ASSERT_TRUE(wait_for([&] { return writing_to(pid, terminal.slave()); }));
  }
  int status = 0;
  const bool ended = wait_for([&] {
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return waitpid(pid, &status, WNOHANG) == pid;
  });
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended) << "the tool ignored the signals";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_NE(slurp(se).find("interrupted"), std::string::npos) << slurp(se);
  struct stat st;
  ASSERT_EQ(lstat(terminal.slave().c_str(), &st), 0) << "the terminal was removed";
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(CliSignals, AHangupIgnoredAtStartStaysIgnored) {
  // As under nohup: the export goes on to the end.
  const std::string folder = empty_folder("nohup"), out = folder + "/nohup.gif";
  const std::string so = dir() + "/nohup_out", se = dir() + "/nohup_err";
  SpawnOptions options;
  options.ignore_hangup = true;
  const pid_t pid = spawn({"convert", ten_second_clip(), out, "--fps", "30", "--quiet"}, so, se, options);
  ASSERT_TRUE(wait_for([&] { return has_entries(folder); }));
  kill(pid, SIGHUP);
  const ToolRun r = finish(pid, so, se);
  EXPECT_EQ(r.killed_by, 0);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(exists(out));
}

int thread_count(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

TEST(CliSignals, AnExportFinishedAfterTheInterruptGoesUnlessNotAFile) {
  // The interrupt has to land after the job is done but before the tool
  // has seen it end. The tool's standard error is a pipe that is full: its
  // first progress line blocks it, while the job's thread runs to the end.
  const std::string device = dir() + "/null_device";
  const bool root_can_mknod = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const struct {
    std::string out;   // as given to the tool
    std::string file;  // the file it names
    bool kept;
  } cases[] = {
      {dir() + "/finished.gif", dir() + "/finished.gif", false},
      {"file:" + dir() + "/finished_url.gif", dir() + "/finished_url.gif", false},
      // As root, remove() would delete a device node named as the output.
      {device, device, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.out);
    if (c.file == device && !root_can_mknod) continue;
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(pipe_fds[1], block.data(), block.size()) > 0) {
    }
    while (write(pipe_fds[1], "x", 1) > 0) {
    }
    fcntl(pipe_fds[1], F_SETFL, 0);
    const std::string so = dir() + "/done_out";
    SpawnOptions options;
    options.stderr_fd = pipe_fds[1];
    const pid_t pid = spawn({"convert", short_clip(), c.out, "--end", "1s"}, so, "", options);
    close(pipe_fds[1]);
    if (!wait_for([&] { return main_thread_call(pid) != MainThreadCall::kOther; }) ||
        main_thread_call(pid) == MainThreadCall::kUnknown) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      close(pipe_fds[0]);
      GTEST_SKIP() << "/proc does not show the tool's system calls";
    }
    // Blocked on its first progress line, after gifexport_start: once the
    // job's thread is gone, the job has ended.
    ASSERT_TRUE(wait_for([&] { return thread_count(pid) == 1; }));
    if (!c.kept) {
      ASSERT_TRUE(exists(c.file)) << "the job did not finish";
    }
    kill(pid, SIGINT);
    std::string err;
    std::thread drain([&] {
      char buffer[4096];
      ssize_t n;
      while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) err.append(buffer, static_cast<size_t>(n));
    });
    const ToolRun r = finish(pid, so, "/dev/null");
    drain.join();
    close(pipe_fds[0]);
    EXPECT_EQ(r.exit_code, 130) << err.substr(err.find_first_not_of('x'));
    EXPECT_NE(err.find("interrupted"), std::string::npos);
    struct stat st;
    if (c.kept) {
      ASSERT_EQ(lstat(c.file.c_str(), &st), 0) << "the device node was removed";
      EXPECT_TRUE(S_ISCHR(st.st_mode));
    } else {
      EXPECT_FALSE(exists(c.file));
    }
  }
  std::remove(device.c_str());
}

}  // namespace
