// SPDX-License-Identifier: MIT
// Files a demuxer opens on the input's behalf (a concatenation list's
// entries, a playlist's segments) pass the same rule as the input: a FIFO,
// device or folder among them is refused at once, never waited on; lists
// and playlists of regular files still convert.
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/error.h>
}

#include "api/api_fixture.h"
#include "support/id3_tag.h"
#include "support/test_platform.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

constexpr char kListHeader[] = "ffconcat version 1.0\n";

using fixture::id3;

// A 26-byte tag in front of a list: FFmpeg's prober skips it before it looks
// for the list's first line, and FFmpeg before 9.0 skips it again before the
// list demuxer reads the list.
const std::string kTag = id3(4, 0, 16) + std::string(16, '\0');

// The probe's failure for lists nested deeper than the library reads them.
std::string too_deep_error() {
  char reason[AV_ERROR_MAX_STRING_SIZE];
  av_strerror(AVERROR(E2BIG), reason, sizeof reason);
  return std::string("open: ") + reason;
}

// A 1 s clip (25 fps, frame i shows i) in the format a list or playlist takes.
std::string one_second_clip(const std::string &name, const std::string &format,
                            int64_t pts_offset) {
  fixture::ClipSpec clip;
  clip.format = format;
  clip.width = 160;
  clip.height = 120;
  clip.frames = 25;
  clip.gop = 5;
  clip.pts_offset = pts_offset;
  if (format == "mpegts") clip.encoder = "mpeg2video";
  return apitest::cached_clip(name, clip);
}

int frame_index(const fixture::DecodedFrame &f) {
  return fixture::index_from_rgb(f.rgb.data(), f.width, f.height, f.width * 3);
}

// Two 1 s parts read one after the other, whichever way the input names them:
// the whole input at 10 fps is 20 frames, the first ten from the first part
// and the rest from the second, which starts again at frame 0.
TEST_F(ApiTest, ListsAndPlaylistsOfRegularFilesStillConvert) {
  const std::string dir = apitest::scratch_path("lists");
  ASSERT_TRUE(testplat::make_dir(dir));
  ASSERT_TRUE(testplat::make_dir(dir + "/sub"));
  const std::string mp4 = one_second_clip("part_1s.mp4", "mp4", 0);
  const std::string ts0 = one_second_clip("seg0_1s.ts", "mpegts", 0);
  // MPEG-2 video decodes one frame ahead, so the first segment's timestamps
  // start a frame after zero: the second follows on from its last frame.
  const std::string ts1 = one_second_clip("seg1_1s.ts", "mpegts", 26);
  ASSERT_FALSE(mp4.empty() || ts0.empty() || ts1.empty());
  ASSERT_TRUE(testplat::hard_link(mp4, dir + "/a.mp4"));
  ASSERT_TRUE(testplat::hard_link(mp4, dir + "/sub/b.mp4"));
  ASSERT_TRUE(testplat::hard_link(ts0, dir + "/seg0.ts"));
  ASSERT_TRUE(testplat::hard_link(ts1, dir + "/seg1.ts"));
  apitest::write_file(dir + "/flat.txt", std::string(kListHeader) +
                                             "file a.mp4\nduration 1\nfile 'sub/b.mp4'\nduration 1\n");
  // A list within a list names its files from its own folder.
  apitest::write_file(dir + "/sub/inner.txt", std::string(kListHeader) + "file b.mp4\nduration 1\n");
  apitest::write_file(dir + "/outer.txt", std::string(kListHeader) +
                                              "file a.mp4\nduration 1\nfile sub/inner.txt\nduration 1\n");
  apitest::write_file(dir + "/list.m3u8",
                      "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n"
                      "#EXTINF:1.0,\nseg0.ts\n#EXTINF:1.0,\nseg1.ts\n#EXT-X-ENDLIST\n");
  for (const std::string &in : {dir + "/flat.txt", "file:" + dir + "/flat.txt", dir + "/outer.txt",
                                dir + "/list.m3u8"}) {
    SCOPED_TRACE(in);
    const json probe = json::parse(gifexport_probe(in.c_str()));
    EXPECT_EQ(probe["ok"], true) << probe.dump();
    const std::string out = apitest::scratch_path("list.gif");
    const apitest::JobEnd end = apitest::run_job(in, out, 0, -1, 160, 10);
    ASSERT_EQ(end.id, 0);
    ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
    fixture::DecodedVideo gif;
    std::string err;
    ASSERT_TRUE(fixture::decode_video(out, &gif, &err)) << err;
    ASSERT_EQ(gif.frames.size(), 20u);
    EXPECT_EQ(json::parse(gifexport_result(end.id))["frames"], 20);
    // GIF frame k (at k/10 s) shows a source frame near k * 2.5 (the rate
    // stage's rounding may take its neighbour), counted on through both
    // parts: from frame 10 on, the second part's, which start again at 0.
    for (int k = 0; k < 20; ++k)
      EXPECT_NEAR(frame_index(gif.frames[k]), (k * 5 / 2) % 25, 1) << "frame " << k;
    gifexport_free(end.id);
  }
}

// Lists within lists are read down to eight deep, the input's own list
// counted: a chain of 7 or 8 lists opens, one of 9 or 10 is refused as too
// deep, tagged lists too.
TEST_F(ApiTest, ListChainsAreReadDownToTheDepthLimit) {
  const std::string dir = apitest::scratch_path("chains");
  ASSERT_TRUE(testplat::make_dir(dir));
  const std::string mp4 = one_second_clip("part_1s.mp4", "mp4", 0);
  ASSERT_FALSE(mp4.empty());
  ASSERT_TRUE(testplat::hard_link(mp4, dir + "/clip.mp4"));
  const struct {
    int depth;
    bool tagged;
    bool opens;
  } cases[] = {
      {7, false, true}, {8, false, true}, {9, false, false},
      {10, false, false}, {9, true, false}, {10, true, false},
  };
  for (const auto &c : cases) {
    const std::string stem = std::to_string(c.depth) + (c.tagged ? "tagged_" : "plain_");
    SCOPED_TRACE(stem);
    // stem1.txt names stem2.txt, and so on; the deepest names the clip.
    for (int k = 1; k <= c.depth; ++k) {
      const std::string next = k == c.depth ? "clip.mp4" : stem + std::to_string(k + 1) + ".txt";
      apitest::write_file(dir + "/" + stem + std::to_string(k) + ".txt",
                          (c.tagged ? kTag : std::string()) + kListHeader + "file " + next + "\n");
    }
    const json probe = json::parse(gifexport_probe((dir + "/" + stem + "1.txt").c_str()));
    if (c.opens)
      EXPECT_EQ(probe["ok"], true) << probe.dump();
    else
      EXPECT_EQ(probe.value("error", std::string()), too_deep_error()) << probe.dump();
  }
}

// A list that names itself, tagged or not, is refused as too deep, at once
// and without deep calls: FFmpeg opening the list inside itself ran until
// the process's descriptors ran out, and on a thread with a 2 MiB stack
// (Windows gives threads 1 MiB) overflowed it. Probe and start run on such a
// thread here.
TEST_F(ApiTest, ListNamingItselfIsRefusedOnASmallStack) {
  const std::string dir = apitest::scratch_path("self");
  ASSERT_TRUE(testplat::make_dir(dir));
  for (const bool tagged : {false, true}) {
    const std::string list = dir + (tagged ? "/tagged.txt" : "/plain.txt");
    SCOPED_TRACE(list);
    apitest::write_file(list, (tagged ? kTag : std::string()) + kListHeader + "file " +
                                  list.substr(dir.size() + 1) + "\n");
    const std::string out = apitest::scratch_path("self.gif");
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto probe = std::make_shared<std::string>();
    auto started = std::make_shared<int>(-100);
    ASSERT_TRUE(testplat::start_detached_thread(size_t{2} << 20, [list, out, done, probe, started] {
      *probe = gifexport_probe(list.c_str());
      *started = gifexport_start(list.c_str(), out.c_str(), 0, -1, 0, 0);
      if (*started >= 0) {
        gifexport_cancel(*started);
        gifexport_free(*started);
      }
      done->store(true);
    }));
    // A watchdog only: a call still running after 30 s has hung.
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done->load() && std::chrono::steady_clock::now() < stop)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!done->load()) {
      ADD_FAILURE() << "probe and start have not returned within 30 s";
      continue;  // the thread is left to end with the process
    }
    EXPECT_EQ(json::parse(*probe).value("error", std::string()), too_deep_error()) << *probe;
    EXPECT_EQ(*started, GIFEXPORT_ERR_OPEN);
    EXPECT_FALSE(apitest::file_exists(out));
  }
}

#if !defined(_WIN32)

// Runs call on a thread of its own and fails the test if it has not returned
// within 30 s; it is then taken to wait on the FIFO, whose other end is opened
// and closed (nothing written) until the call returns, so that a regression
// fails instead of hanging the test run.
void expect_returns_at_once(const std::function<void()> &call, const std::string &fifo,
                            const std::string &what) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread worker([call, done] {
    call();
    done->store(true);
  });
  auto waited_for = [&](std::chrono::seconds limit) {
    const auto stop = std::chrono::steady_clock::now() + limit;
    while (!done->load() && std::chrono::steady_clock::now() < stop)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done->load();
  };
  if (waited_for(std::chrono::seconds(30))) {
    worker.join();
    return;
  }
  ADD_FAILURE() << what << " has not returned within 30 s";
  std::thread release([fifo, done] {
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done->load() && std::chrono::steady_clock::now() < stop) {
      const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  release.join();
  if (done->load())
    worker.join();
  else
    worker.detach();  // still blocked elsewhere: left to end with the process
}

// The FIFO is still there and nobody holds it open for writing or wrote into
// it: a reader opened now finds no writer and no data.
void expect_fifo_untouched(const std::string &fifo) {
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0) << fifo;
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << fifo;
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  char byte;
  EXPECT_EQ(read(fd, &byte, 1), 0) << fifo;
  close(fd);
}

// Probe and start on `in` refuse it as an input that cannot be opened, both
// at once. A start that is taken (as before this rule) runs its job, which
// must not hang either: it is waited for, cancelled and freed.
void expect_refused_at_once(const std::string &in, const std::string &fifo) {
  const std::string out = apitest::scratch_path("refused.gif");
  auto probe = std::make_shared<std::string>();
  expect_returns_at_once([in, probe] { *probe = gifexport_probe(in.c_str()); }, fifo, "probe");
  const json doc = json::parse(*probe, nullptr, false);
  EXPECT_EQ(doc.value("ok", true), false) << *probe;
  EXPECT_EQ(doc.value("error", std::string()).rfind("open: ", 0), 0u) << *probe;
  auto started = std::make_shared<int>(-100);
  expect_returns_at_once(
      [in, out, started] {
        *started = gifexport_start(in.c_str(), out.c_str(), 0, -1, 0, 0);
        if (*started < 0) return;
        apitest::wait_final(*started, std::chrono::seconds(10));
        gifexport_cancel(*started);
        gifexport_free(*started);
      },
      fifo, "start, then cancel and free");
  EXPECT_EQ(*started, GIFEXPORT_ERR_OPEN);
  EXPECT_FALSE(apitest::file_exists(out));
}

// A folder with a regular clip, part0.mp4, and a FIFO, part1, that nobody
// writes to: opening it for reading waits for ever.
struct Nest {
  std::string dir, part0, fifo;
};

Nest make_nest() {
  Nest n;
  n.dir = apitest::scratch_path("nest");
  EXPECT_TRUE(testplat::make_dir(n.dir));
  n.part0 = n.dir + "/part0.mp4";
  EXPECT_TRUE(testplat::hard_link(apitest::indexed_clip_10s(), n.part0));
  n.fifo = n.dir + "/part1";
  EXPECT_EQ(mkfifo(n.fifo.c_str(), 0644), 0);
  return n;
}

// Lists whose demuxer would open the FIFO (or another file that is not a
// regular one), spelled every way its reader takes them.
TEST_F(ApiTest, ListNamingFifoOrDeviceIsRefusedAtOnce) {
  const Nest n = make_nest();
  ASSERT_FALSE(HasFailure());
  const std::string head = kListHeader;
  ASSERT_TRUE(testplat::make_symlink("part1", n.dir + "/fifo_link"));
  ASSERT_TRUE(testplat::make_dir(n.dir + "/sub"));
  ASSERT_TRUE(testplat::make_symlink("../part1", n.dir + "/sub/up"));
  ASSERT_TRUE(testplat::make_symlink("/dev/null", n.dir + "/null_link"));
  ASSERT_TRUE(testplat::make_symlink("/dev/zero", n.dir + "/zero_link"));
  apitest::write_file(n.dir + "/inner.txt", head + "file part1\n");
  const struct {
    const char *name;
    std::string list;
  } cases[] = {
      {"the FIFO alone", head + "file part1\n"},
      {"the FIFO after a clip", head + "file part0.mp4\nduration 8\nfile part1\nduration 4\n"},
      {"quoted", head + "file part0.mp4\nfile 'part1'\n"},
      {"escaped", head + "file part0.mp4\nfile par\\t1\n"},
      {"after a NUL", head + std::string("file part0.mp4\0file part1\n", 26)},
      {"CR line ends", "ffconcat version 1.0\rfile part0.mp4\rfile part1\r"},
      {"relative link to it", head + "file part0.mp4\nfile fifo_link\n"},
      {"link in a subfolder", head + "file part0.mp4\nfile sub/up\n"},
      {"in a list within the list", head + "file part0.mp4\nfile inner.txt\n"},
      {"link to /dev/null", head + "file part0.mp4\nfile null_link\n"},
      {"link to /dev/zero", head + "file part0.mp4\nfile zero_link\n"},
      {"a folder", head + "file part0.mp4\nfile sub\n"},
  };
  int i = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    // The input's own name says nothing: the list is found by its first line.
    const std::string list = n.dir + "/list" + std::to_string(++i) + ".mp4";
    apitest::write_file(list, c.list);
    expect_refused_at_once(list, n.fifo);
  }
  expect_fifo_untouched(n.fifo);
}

// The list's demuxer resolves entry names against the list's URL, not as the
// file system would: a '#' in a folder name ends the path there, and in a
// "file://" URL ".." steps back over the folder name itself, not over where
// a link in it leads. The check must look at the file the demuxer opens.
TEST_F(ApiTest, ListEntriesAreCheckedWhereTheDemuxerLooks) {
  const Nest n = make_nest();
  ASSERT_FALSE(HasFailure());
  const std::string list_text = std::string(kListHeader) + "file part1\n";
  // nest/h#x/part1 is a clip, but the demuxer opens nest/part1, the FIFO.
  const std::string hash_dir = n.dir + "/h#x";
  ASSERT_TRUE(testplat::make_dir(hash_dir));
  ASSERT_TRUE(testplat::hard_link(n.part0, hash_dir + "/part1"));
  apitest::write_file(hash_dir + "/list.txt", list_text);
  // nest/sub leads to far/away: nest/sub/../list.txt is far/list.txt, whose
  // own part1 is a clip, but the demuxer opens nest/part1.
  const std::string far = apitest::scratch_path("far");
  ASSERT_TRUE(testplat::make_dir(far));
  ASSERT_TRUE(testplat::make_dir(far + "/away"));
  ASSERT_TRUE(testplat::make_symlink(far + "/away", n.dir + "/sub"));
  ASSERT_TRUE(testplat::hard_link(n.part0, far + "/part1"));
  apitest::write_file(far + "/list.txt", list_text);
  ASSERT_EQ(n.dir[0], '/');
  for (const std::string &in : {hash_dir + "/list.txt", "file://" + n.dir + "/sub/../list.txt"}) {
    SCOPED_TRACE(in);
    expect_refused_at_once(in, n.fifo);
  }
  expect_fifo_untouched(n.fifo);
}

// Lists behind ID3v2 tags: found as FFmpeg's prober finds them, and checked
// as the list demuxer reads them (past the tags it skips), at the top, within
// a plain list and naming others; never read as a playlist's segment, also
// when segments run together into one.
TEST_F(ApiTest, TaggedListsAreCheckedAsTheDemuxerReadsThem) {
  const Nest n = make_nest();
  ASSERT_FALSE(HasFailure());
  const std::string head = kListHeader;
  const std::string names_fifo = head + "file part1\n";
  auto playlist = [](const std::vector<std::string> &segments) {
    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
    for (const std::string &segment : segments) text += "#EXTINF:1.0,\n" + segment + "\n";
    return text + "#EXT-X-ENDLIST\n";
  };
  ASSERT_TRUE(testplat::make_symlink("part1", n.dir + "/p1"));
  ASSERT_TRUE(testplat::make_dir(n.dir + "/pl"));
  apitest::write_file(n.dir + "/tagged_inner.txt", kTag + names_fifo);
  apitest::write_file(n.dir + "/plain_inner.txt", names_fifo);
  apitest::write_file(n.dir + "/pl/up.m3u8", playlist({"../part1"}));
  apitest::write_file(n.dir + "/tagged_seg.ts", kTag + names_fifo);
  apitest::write_file(n.dir + "/split_a.ts", "ffconcat versi");
  apitest::write_file(n.dir + "/split_b.ts", "on 1.0\nfile part1\n");
  const struct {
    const char *name, *ext;
    std::string text;
  } cases[] = {
      {"tagged, the FIFO alone", ".mp4", kTag + names_fifo},
      {"tagged, the FIFO after 12 s of a clip", ".txt",
       kTag + head + "file part0.mp4\nduration 12\nfile part1\nduration 12\n"},
      // The prober skips a footer that a version 3 tag says it has; the tag
      // reader does not, and the demuxer reads those ten bytes as a line,
      // which read from the file's start runs on from the tag's body.
      {"a version 3 tag's would-be footer naming the FIFO", ".txt",
       id3(3, 0x10, 120) + std::string(120, 'a') + "file p1  \n" + head + "file part0.mp4\n"},
      {"a tagged list within a plain one", ".txt", head + "file part0.mp4\nfile tagged_inner.txt\n"},
      {"a tagged list naming a plain one", ".txt", kTag + head + "file part0.mp4\nfile plain_inner.txt\n"},
      {"a tagged list naming a playlist of the FIFO in another folder", ".txt",
       kTag + head + "file part0.mp4\nfile pl/up.m3u8\n"},
      {"a playlist whose segment is a tagged list", ".m3u8", playlist({"tagged_seg.ts"})},
      {"a playlist whose segments run together into a list", ".m3u8",
       playlist({"split_a.ts", "split_b.ts"})},
  };
  int i = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = n.dir + "/tagged" + std::to_string(++i) + c.ext;
    apitest::write_file(in, c.text);
    expect_refused_at_once(in, n.fifo);
  }
  expect_fifo_untouched(n.fifo);
}

// A playlist's segments are opened through the gate as well.
TEST_F(ApiTest, PlaylistNamingFifoIsRefusedAtOnce) {
  const Nest n = make_nest();
  ASSERT_FALSE(HasFailure());
  const std::string ts = one_second_clip("seg0_1s.ts", "mpegts", 0);
  ASSERT_FALSE(ts.empty());
  ASSERT_TRUE(testplat::hard_link(ts, n.dir + "/seg0.ts"));
  ASSERT_TRUE(testplat::make_symlink("part1", n.dir + "/fifo.ts"));
  // The FIFO first, where the playlist's header reads, and after a segment.
  int i = 0;
  for (const char *segments : {"fifo.ts\n#EXTINF:1.0,\nseg0.ts", "seg0.ts\n#EXTINF:1.0,\nfifo.ts"}) {
    SCOPED_TRACE(segments);
    const std::string playlist = n.dir + "/list" + std::to_string(++i) + ".m3u8";
    apitest::write_file(playlist, std::string("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n") +
                                      segments + "\n#EXT-X-ENDLIST\n");
    auto probe = std::make_shared<std::string>();
    expect_returns_at_once([playlist, probe] { *probe = gifexport_probe(playlist.c_str()); },
                           n.fifo, "probe");
    auto end = std::make_shared<apitest::JobEnd>();
    const std::string out = apitest::scratch_path("playlist.gif");
    expect_returns_at_once(
        [playlist, out, end] {
          *end = apitest::run_job(playlist, out, 0, -1, 0, 0);
          gifexport_free(end->id);
        },
        n.fifo, "job");
    // The playlist skips a segment it cannot open, as it would a missing one,
    // or the open fails.
    EXPECT_FALSE(json::parse(*probe, nullptr, false).is_discarded()) << *probe;
    if (end->id >= 0) {
      EXPECT_TRUE(end->status == GIFEXPORT_STATE_DONE || end->status == GIFEXPORT_STATE_FAILED)
          << end->status;
    }
  }
  expect_fifo_untouched(n.fifo);
}

// The job that used to block for ever opening the FIFO after 8 s of the first
// part: it is refused at the start, or ends, or its free returns at once.
TEST_F(ApiTest, JobReachingFifoEntryNeverHangs) {
  const Nest n = make_nest();
  ASSERT_FALSE(HasFailure());
  const std::string list = n.dir + "/job.mp4";
  apitest::write_file(list, std::string(kListHeader) +
                                "file part0.mp4\nduration 8\nfile part1\nduration 4\n");
  const std::string out = apitest::scratch_path("job.gif");
  auto started = std::make_shared<int>(-100);
  auto status = std::make_shared<int>(-100);
  expect_returns_at_once(
      [list, out, started, status] {
        *started = gifexport_start(list.c_str(), out.c_str(), 6000, -1, 160, 10);
        if (*started < 0) return;
        *status = apitest::wait_final(*started, std::chrono::seconds(20));
        gifexport_cancel(*started);
        gifexport_free(*started);
      },
      n.fifo, "the job");
  if (*started >= 0) {
    EXPECT_TRUE(*status == GIFEXPORT_STATE_FAILED || *status == GIFEXPORT_STATE_CANCELLED)
        << *status;
  } else {
    EXPECT_EQ(*started, GIFEXPORT_ERR_OPEN);
  }
  EXPECT_FALSE(apitest::file_exists(out));
  expect_fifo_untouched(n.fifo);
}

#endif  // !_WIN32

}  // namespace
