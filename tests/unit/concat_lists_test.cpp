// SPDX-License-Identifier: MIT
// Where the list demuxer looks for a list's entry, and what text of the list
// it reads: the check of a list must look at the very file the demuxer will
// open and at the lines it will read, or it checks one thing and the demuxer
// reads another.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "files/concat_lists.h"
#include "files/format_detect.h"
#include "support/id3_tag.h"
#include "support/test_platform.h"

namespace {

TEST(ConcatEntryUrl, ResolvedAsTheDemuxerResolvesThem) {
  const struct {
    const char *list_url, *name, *want;
  } cases[] = {
      {"file:nest/list.txt", "part1", "file:nest/part1"},
      {"file:list.txt", "a/b.mp4", "file:a/b.mp4"},
      {"file:/abs/d/list", "x-y_z.1", "file:/abs/d/x-y_z.1"},
      // A query or fragment ends the path, even inside a folder name.
      {"file:d#x/list.txt", "p", "file:p"},
      {"file:a/b?c/list", "p", "file:a/p"},
      // Without an authority ".." stays (the file system follows links);
      // with one, the path is simplified as text.
      {"file:/t/n/sub/../list.txt", "p", "file:/t/n/sub/../p"},
      {"file:///t/n/sub/../list.txt", "p", "file:///t/n/p"},
      {"file:///t/./n/list", "q/r", "file:///t/n/q/r"},
      {"file:///../list", "p", "file:///p"},
      {"file://host/d/list", "p", "file://host/d/p"},
#if defined(_WIN32)
      {"file:C:\\d\\list.txt", "p", "file:C:\\d\\p"},
#else
      {"file:C:\\d\\list.txt", "p", "file:p"},
#endif
  };
  for (const auto &c : cases)
    EXPECT_EQ(ge_concat_entry_url(c.list_url, c.name), c.want) << c.list_url << " + " << c.name;
}

// Names the demuxer's safe mode refuses (it then refuses the whole list).
TEST(ConcatEntryUrl, UnsafeNamesHaveNone) {
  for (const char *name : {"", "../p", "/abs/p", ".hidden", "a/.b", "a/../b", "file:p", "p q",
                           "a\\b", "a//b", "caf\xc3\xa9"})
    EXPECT_EQ(ge_concat_entry_url("file:d/list", name), "") << name;
}

using fixture::id3;

// Where the list demuxer starts reading, past the tags the media library's
// tag reader steps over (its footer rule differs from its prober's: only a
// version 4 tag read through has its footer skipped).
TEST(ListTextStart, PastTheTagsAsTheTagReaderSkipsThem) {
  const std::string list = "ffconcat version 1.0\nfile a\n";
  const std::string body16(16, '\0');
  const std::string ext_fits("\0\0\0\x06\0\0", 6);     // extended header of 6 bytes, all of the tag
  const std::string ext_too_long("\0\0\0\x14\0\0", 6);  // claims 20 bytes of a 6-byte tag
  const std::string ext_negative("\0\0\0\x02\0\0", 6);  // shorter than its own size field
  const struct {
    const char *name;
    std::string file;
    size_t want;
  } cases[] = {
      {"no tag", list, 0},
      {"a version 4 tag", id3(4, 0, 16) + body16 + list, 26},
      {"version 4 with a footer", id3(4, 0x10, 0) + std::string(10, '\0') + list, 20},
      {"version 3 says footer: none read", id3(3, 0x10, 0) + "file x.ts\n" + list, 10},
      {"version 2 says footer: none read", id3(2, 0x10, 0) + list, 10},
      {"unknown version: given up, no footer", id3(5, 0x10, 4) + "abcd" + list, 14},
      {"version 2 compressed: given up", id3(2, 0x50, 4) + "abcd" + list, 14},
      {"extended header fits: footer read", id3(4, 0x50, 6) + ext_fits + "0123456789" + list, 26},
      {"extended header too long: given up", id3(4, 0x50, 6) + ext_too_long + list, 16},
      {"extended header size too small: given up", id3(4, 0x50, 6) + ext_negative + list, 16},
      {"two tags, one after the other", id3(4, 0, 16) + body16 + id3(3, 0, 4) + "abcd" + list, 40},
      {"a tag past the file's end", id3(4, 0, 1000) + list, id3(4, 0, 1000).size() + list.size()},
      {"a tag ending where the file ends", id3(3, 0, 4) + "abcd", 14},
      {"0xFF version: no tag", id3(0xff, 0, 16) + body16 + list, 0},
      {"size byte with its top bit: no tag", id3(4, 0, 16).replace(9, 1, "\x90") + body16 + list, 0},
      {"a header cut short: no tag", id3(4, 0, 0).substr(0, 9), 0},
  };
  for (const auto &c : cases) EXPECT_EQ(ge_list_text_start(c.file), c.want) << c.name;
}

// A file is a list when FFmpeg's prober takes it for one: the exact first
// line, also behind a tag the prober skips, and nothing else.
TEST(ListDetection, TheExactFirstLineAsFfmpegProbesIt) {
  const std::string dir = testplat::make_temp_dir("gifexport_detect_");
  const std::string list = "ffconcat version 1.0\nfile a\n";
  const struct {
    const char *name;
    std::string file;
    bool is_list;
  } cases[] = {
      {"the first line", list, true},
      {"behind a version 4 tag", id3(4, 0, 16) + std::string(16, '\0') + list, true},
      {"behind a tag whose footer only the prober skips", id3(3, 0x10, 0) + "file x.ts\n" + list,
       true},
      {"one byte short", list.substr(0, 19), false},
      {"version 1.1", "ffconcat version 1.1\nfile a\n", false},
      {"after a blank line", "\n" + list, false},
  };
  int i = 0;
  for (const auto &c : cases) {
    const std::string path = dir + "/in" + std::to_string(++i) + ".txt";
    std::ofstream(testplat::fs_path(path), std::ios::binary) << c.file;
    AVIOContext *pb = nullptr;
    const AVInputFormat *fmt = nullptr;
    const int rc = ge_detect_format(("file:" + path).c_str(), nullptr, nullptr, &pb, &fmt);
    EXPECT_EQ(rc >= 0 && ge_is_list_format(fmt), c.is_list) << c.name;
    EXPECT_EQ(pb != nullptr, rc >= 0) << c.name;
    if (pb != nullptr) {
      // Left at the start, for the demuxer to read from the first byte.
      EXPECT_EQ(avio_tell(pb), 0) << c.name;
      EXPECT_EQ(avio_r8(pb), static_cast<unsigned char>(c.file[0])) << c.name;
    }
    avio_closep(&pb);
  }
  std::error_code ignored;
  std::filesystem::remove_all(testplat::fs_path(dir), ignored);
}

// Which demuxers may read where: none that opens files past the gate; under
// a list (whose demuxer opens files with no gate) none that opens files of
// its own; under any other input no list, whose entries nothing would check.
TEST(DemuxerScopes, WhatMayReadWhere) {
  using scope = ge_format_scope;
  const struct {
    const char *name;
    bool input, list_entry, under_media;
  } cases[] = {
      {"concat", true, true, false}, {"hls", true, false, true},    {"imf", true, false, true},
      {"mlv", true, false, true},    {"dash", false, false, false}, {"vobsub", false, false, false},
      {"mov", true, true, true},     {"mpegts", true, true, true},
  };
  for (const auto &c : cases) {
    const AVInputFormat *fmt = av_find_input_format(c.name);
    if (fmt == nullptr) continue;  // not in this FFmpeg build
    EXPECT_EQ(ge_format_allowed(fmt, scope::input), c.input) << c.name;
    EXPECT_EQ(ge_format_allowed(fmt, scope::list_entry), c.list_entry) << c.name;
    EXPECT_EQ(ge_format_allowed(fmt, scope::under_media), c.under_media) << c.name;
  }
}

}  // namespace
