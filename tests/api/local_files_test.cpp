// SPDX-License-Identifier: MIT
// Every path is a local file: no spelling of the input may be written over,
// no string makes the library a network client or a reader of the host's
// standard input, and an output that would block is refused.
#if defined(_WIN32)
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>

#include <nlohmann/json.hpp>

#include "api/api_fixture.h"
#include "support/test_platform.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

#if defined(_WIN32)
// The FFmpeg built for Windows has no network protocols at all; the strings
// below are still refused, and the count of connections is checked where a
// listener is at hand.
class Listener {
 public:
  int port() const { return 9; }
  int connections() { return 0; }
};
#else
// A TCP listener on a free loopback port that counts who connected to it.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd_, 8) != 0 || getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
      port_ = 0;
    else
      port_ = ntohs(addr.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }
  int connections() {
    int n = 0;
    for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0; ++n) close(c);
    return n;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};
#endif

TEST_F(ApiTest, OutputNamingTheInputInAUrlSpellingIsRefused) {
  const std::string in = apitest::scratch_path("url_own.mp4");
  ASSERT_TRUE(testplat::hard_link(apitest::indexed_clip_10s(), in));
  const std::string before = apitest::read_file(in);
  const struct {
    std::string in, out;
  } cases[] = {
      {in, "file:" + in},
#if !defined(_WIN32)  // a Windows path after file:// is a server's name
      {in, "file://" + in},
#endif
      {"file:" + in, in},
      {"file:" + in, "file:" + in},
  };
  for (const auto &c : cases)
    EXPECT_EQ(gifexport_start(c.in.c_str(), c.out.c_str(), 0, -1, 0, 0), GIFEXPORT_ERR_ARGS)
        << c.in << " -> " << c.out;
  EXPECT_EQ(apitest::read_file(in), before);
}

TEST_F(ApiTest, FileSchemePathsAreTheirFiles) {
  const std::string in = apitest::indexed_clip_10s();
  const std::string out = apitest::scratch_path("scheme.gif");
  const apitest::JobEnd end = apitest::run_job("file:" + in, "file:" + out, 0, 500, 64, 5);
  ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
  const json result = json::parse(gifexport_result(end.id));
  EXPECT_EQ(result["out_size_bytes"], static_cast<int64_t>(apitest::read_file(out).size()));
  EXPECT_EQ(json::parse(gifexport_probe(("file:" + in).c_str()))["ok"], true);
}

// Strings that name another protocol reach no network and no pipe: the start
// answers that the input cannot be opened, the probe says why, and a loopback
// listener sees no connection, also from a playlist that names it.
TEST_F(ApiTest, OtherProtocolsAreNotOpened) {
  Listener listener;
  if (listener.port() == 0) GTEST_SKIP() << "no loopback listener";
  const std::string host = "127.0.0.1:" + std::to_string(listener.port());
  const std::string playlist = apitest::scratch_path("remote.m3u8");
  apitest::write_file(playlist, "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\nhttp://" + host +
                                    "/segment.ts\n#EXT-X-ENDLIST\n");
  const std::string out = apitest::scratch_path("protocols.gif");
  const std::string inputs[] = {"http://" + host + "/clip.mp4", "tcp://" + host, "pipe:0",
                                "concat:" + apitest::indexed_clip_10s(),
                                "subfile,,start,0,end,0,,:" + apitest::indexed_clip_10s(),
                                playlist};
  for (const std::string &in : inputs) {
    const int rc = gifexport_start(in.c_str(), out.c_str(), 0, -1, 0, 0);
    EXPECT_TRUE(rc == GIFEXPORT_ERR_OPEN || rc == GIFEXPORT_ERR_NO_VIDEO) << in << ": " << rc;
    const json probe = json::parse(gifexport_probe(in.c_str()), nullptr, false);
    ASSERT_FALSE(probe.is_discarded()) << in;
    if (in != playlist) {
      EXPECT_EQ(probe["ok"], false) << in;
    }
  }
  EXPECT_EQ(listener.connections(), 0);
  EXPECT_FALSE(apitest::file_exists(out));
}

// An output that looks like a pipe is a file name like any other: the GIF
// lands in a file of that name, never on the host's standard output.
TEST_F(ApiTest, PipeLikeOutputIsAFileName) {
#if defined(_WIN32)
  GTEST_SKIP() << "a colon cannot stand in a Windows file name (it names a stream of the file before it)";
#else
  const std::string dir = apitest::scratch_path("cwd");
  ASSERT_TRUE(testplat::make_dir(dir));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  const apitest::JobEnd end = apitest::run_job(apitest::indexed_clip_10s(), "pipe:1", 0, 500, 64, 5);
  EXPECT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
  gifexport_free(end.id);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(apitest::read_file(dir + "/pipe:1").substr(0, 6), "GIF89a");
#endif
}

TEST_F(ApiTest, OutputThatWouldBlockIsRefused) {
#if defined(_WIN32)
  // A named pipe with its server waiting, and the console by its reserved
  // name, bare and inside a folder.
  const std::string in = apitest::indexed_clip_10s();
  const char *pipe_name = "\\\\.\\pipe\\gifexport-test-out";
  HANDLE server = CreateNamedPipeA(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0,
                                   nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  for (const std::string &out : {std::string(pipe_name), std::string("CON"),
                                  apitest::scratch_dir() + "/CON"})
    EXPECT_EQ(gifexport_start(in.c_str(), out.c_str(), 0, 500, 0, 0), GIFEXPORT_ERR_ARGS) << out;
  CloseHandle(server);
#else
  const std::string in = apitest::indexed_clip_10s();
  const std::string fifo = apitest::scratch_path("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string fifo_link = apitest::scratch_path("fifo_link.gif");
  ASSERT_TRUE(testplat::make_symlink(fifo, fifo_link));
  const std::string socket_path = apitest::scratch_path("out.sock");
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof addr.sun_path);
  std::copy(socket_path.begin(), socket_path.end(), addr.sun_path);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  for (const std::string &out : {fifo, fifo_link, "file:" + fifo, socket_path})
    EXPECT_EQ(gifexport_start(in.c_str(), out.c_str(), 0, 500, 0, 0), GIFEXPORT_ERR_ARGS) << out;
  close(sock);
  // Nothing was removed: they are not the job's to remove.
  EXPECT_TRUE(apitest::file_exists(fifo));
  EXPECT_TRUE(apitest::file_exists(fifo_link));
  EXPECT_TRUE(apitest::file_exists(socket_path));
#endif
}

}  // namespace
