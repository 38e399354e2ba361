// SPDX-License-Identifier: MIT
// Where the list demuxer looks for a list's entry: the check of a list must
// look at the very file the demuxer will open, or it checks one file and the
// demuxer opens another.
#include <gtest/gtest.h>

#include "files/concat_lists.h"

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

TEST(ConcatSignature, OnlyTheExactFirstLine) {
  const std::string list = "ffconcat version 1.0\nfile a\n";
  const auto *bytes = reinterpret_cast<const uint8_t *>(list.data());
  EXPECT_TRUE(ge_is_concat_signature(bytes, list.size()));
  EXPECT_TRUE(ge_is_concat_signature(bytes, GE_CONCAT_SIGNATURE_LEN));
  EXPECT_FALSE(ge_is_concat_signature(bytes, GE_CONCAT_SIGNATURE_LEN - 1));
  const std::string other = "ffconcat version 1.1\n";
  EXPECT_FALSE(ge_is_concat_signature(reinterpret_cast<const uint8_t *>(other.data()), other.size()));
}

}  // namespace
