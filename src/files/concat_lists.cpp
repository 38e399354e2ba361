// SPDX-License-Identifier: MIT
#include "files/concat_lists.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "files/file_gate.h"
#include "files/format_detect.h"

namespace {

// Bounds on what one input's lists may make the check read: files named in
// all, and bytes of list text in all.
constexpr int GE_LIST_FILES_MAX = 10000;
constexpr int64_t GE_LIST_BYTES_MAX = int64_t{16} << 20;

// An ID3v2 tag's header, and its footer where it has one.
constexpr size_t GE_ID3_HEADER_LEN = 10;
constexpr unsigned GE_ID3_FLAG_EXTENDED = 0x40;
constexpr unsigned GE_ID3_FLAG_FOOTER = 0x10;

// What the list demuxer reads as blanks between words.
constexpr char GE_LIST_SPACE[] = " \t\r\n";

struct ge_list_walk {
  const AVIOInterruptCB *interrupt;
  int files_left;
  int64_t bytes_left;
  // Entries already found to be media a list may name: a list that names
  // one file many times has it opened and probed once.
  std::set<std::string> media;
};

int check_list(const std::string &list_url, const std::string &file, int depth, ge_list_walk &w);

// The tag reader's test of a tag header: "ID3", no 0xFF version byte, and a
// size of four 7-bit bytes.
bool id3_header(const unsigned char *h) {
  return h[0] == 'I' && h[1] == 'D' && h[2] == '3' && h[3] != 0xff && h[4] != 0xff &&
         ((h[6] | h[7] | h[8] | h[9]) & 0x80) == 0;
}

uint32_t seven_bit_size(const unsigned char *p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 7) | (p[i] & 0x7fu);
  return v;
}

// Whether the tag reader steps over a footer after the tag at pos: only a
// version 4 tag that says it has one, and only when the reader does not give
// up first on an extended header longer than the tag (it then stops where
// the footer would begin).
bool footer_skipped(const std::string &file, size_t pos, uint32_t len) {
  const auto *h = reinterpret_cast<const unsigned char *>(file.data()) + pos;
  if (h[3] != 4 || (h[5] & GE_ID3_FLAG_FOOTER) == 0) return false;
  if ((h[5] & GE_ID3_FLAG_EXTENDED) == 0) return true;
  // The extended header's size, its four bytes counted in; a byte past the
  // file's end reads as 0.
  unsigned char size[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < 4 && pos + GE_ID3_HEADER_LEN + i < file.size(); ++i)
    size[i] = static_cast<unsigned char>(file[pos + GE_ID3_HEADER_LEN + i]);
  const int64_t extended = int64_t{seven_bit_size(size)} - 4;
  return extended >= 0 && int64_t{len} >= extended + 4;
}

// The argument of every "file" line, read as the list demuxer reads it: a
// line ends at CR, LF or NUL; its first word is the keyword; the argument is
// the next token, quotes and backslash escapes resolved. A line the demuxer
// would refuse makes it refuse the whole list before opening anything, so
// reading one too many names here is harmless, and none is missed.
int entry_names(const std::string &text, std::vector<std::string> *names) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(std::string("\r\n", 3), pos);  // CR, LF, NUL
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const char *cursor = line.c_str();
    cursor += std::strspn(cursor, GE_LIST_SPACE);
    const size_t keyword_len = std::strcspn(cursor, GE_LIST_SPACE);
    if (keyword_len != 4 || std::strncmp(cursor, "file", 4) != 0) continue;
    cursor += keyword_len;
    cursor += std::strspn(cursor, GE_LIST_SPACE);
    char *token = av_get_token(&cursor, GE_LIST_SPACE);
    if (token == nullptr) return AVERROR(ENOMEM);
    names->emplace_back(token);
    av_free(token);
  }
  return 0;
}

// The demuxer's safe mode (its default, which this library also sets): only
// relative names of ASCII letters, digits, '_', '-', '.' and '/', none of
// whose parts begins with '.' (so no "..", no hidden file, no protocol).
bool safe_name(const std::string &name) {
  if (name.empty()) return false;
  size_t part_start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool plain = static_cast<unsigned>((c | 32) - 'a') < 26 ||
                       static_cast<unsigned>(c - '0') < 10 || c == '_' || c == '-';
    if (plain) continue;
    if (i == part_start) return false;
    if (c == '/')
      part_start = i + 1;
    else if (c != '.')
      return false;
  }
  return true;
}

// Appends the path segments of [in, in_end) to out, whose path begins at
// index `root` (just past its leading '/'), dropping "." and stepping back
// over "..": how the media library simplifies the path of a URL that has an
// authority ("file://host/...").
void append_simplified(std::string &out, size_t root, const char *in, const char *in_end) {
  if (in < in_end && *in == '/') ++in;
  while (in < in_end) {
    const void *slash = std::memchr(in, '/', static_cast<size_t>(in_end - in));
    const char *d = slash != nullptr ? static_cast<const char *>(slash) : in_end;
    const char *next = d + (d < in_end ? 1 : 0);
    if (d - in == 1 && in[0] == '.') {
      // "." names the folder itself
    } else if (d - in == 2 && in[0] == '.' && in[1] == '.') {
      if (out.size() > root + 1) {
        while (out.size() > root) {
          out.pop_back();
          if (out.back() == '/') break;
        }
      }
    } else {
      out.append(in, next);
    }
    in = next;
  }
}

int check_entry(const std::string &url, int depth, ge_list_walk &w) {
  if (w.media.count(url) != 0) return 0;
  AVIOContext *pb = nullptr;
  const AVInputFormat *fmt = nullptr;
  int rc = ge_detect_format(url.c_str(), w.interrupt, nullptr, &pb, &fmt);
  if (rc < 0) return rc;
  if (pb == nullptr) {
    // Found by its name alone: a demuxer that opens files of its own, which
    // under a list would not pass the gate.
    rc = AVERROR(EPERM);
  } else if (ge_is_list_format(fmt)) {
    // A list within the list: its demuxer opens this one's files the same way.
    std::string file;
    if (depth >= GE_LIST_DEPTH_MAX) rc = AVERROR(E2BIG);
    if (rc >= 0) rc = ge_read_concat_list(pb, &file);
    if (rc >= 0 && static_cast<int64_t>(file.size()) > w.bytes_left) rc = AVERROR(E2BIG);
    if (rc >= 0) {
      w.bytes_left -= static_cast<int64_t>(file.size());
      rc = check_list(url, file, depth + 1, w);
    }
  } else if (!ge_format_allowed(fmt, ge_format_scope::list_entry)) {
    rc = AVERROR(EPERM);
  } else {
    w.media.insert(url);
  }
  avio_closep(&pb);
  return rc;
}

int check_list(const std::string &list_url, const std::string &file, int depth, ge_list_walk &w) {
  std::vector<std::string> names;
  if (const int rc = entry_names(file.substr(ge_list_text_start(file)), &names); rc < 0) return rc;
  for (const std::string &name : names) {
    if (--w.files_left < 0) return AVERROR(E2BIG);
    const std::string url = ge_concat_entry_url(list_url, name);
    if (url.empty()) return AVERROR(EPERM);
    if (const int rc = check_entry(url, depth, w); rc < 0) return rc;
  }
  return 0;
}

}  // namespace

size_t ge_list_text_start(const std::string &file) {
  // The reader reads tag after tag while a header follows, seeking to each
  // tag's end even past the file's.
  size_t pos = 0;
  while (file.size() - pos >= GE_ID3_HEADER_LEN &&
         id3_header(reinterpret_cast<const unsigned char *>(file.data()) + pos)) {
    const uint32_t len =
        seven_bit_size(reinterpret_cast<const unsigned char *>(file.data()) + pos + 6);
    uint64_t end = uint64_t{pos} + GE_ID3_HEADER_LEN + len;
    if (footer_skipped(file, pos, len)) end += GE_ID3_HEADER_LEN;
    if (end >= file.size()) return file.size();
    pos = static_cast<size_t>(end);
  }
  return pos;
}

std::string ge_concat_entry_url(const std::string &list_url, const std::string &name) {
  if (!safe_name(name)) return std::string();
  // The media library resolves the name against the list's URL as a
  // relative reference: the list's folder is its path up to the last
  // separator, the path ending where a query ('?') or fragment ('#') would
  // begin; a URL with an authority ("file://host/...") has its path
  // simplified. On Windows a backslash separates folders too.
  constexpr size_t scheme_len = 5;  // "file:"
  if (list_url.compare(0, scheme_len, "file:") != 0) return std::string();
#if defined(_WIN32)
  const char *separators = "/\\";
#else
  const char *separators = "/";
#endif
  const char *rest = list_url.c_str() + scheme_len;
  const bool authority = rest[0] == '/' && rest[1] == '/';
  const char *path = authority ? rest + 2 + std::strcspn(rest + 2, "/?#") : rest;
  const char *path_end = path + std::strcspn(path, "?#");
  const char *folder_end = path_end;
  while (folder_end > path && std::strchr(separators, folder_end[-1]) == nullptr) --folder_end;
  if (!authority) return std::string(list_url.c_str(), folder_end) + name;
  std::string url(list_url.c_str(), path);
  url += '/';
  const size_t root = url.size();
  append_simplified(url, root, path, folder_end);
  append_simplified(url, root, name.c_str(), name.c_str() + name.size());
  return url;
}

int ge_check_concat_list(const std::string &list_url, const std::string &file,
                         const AVIOInterruptCB *interrupt) {
  ge_list_walk w{interrupt, GE_LIST_FILES_MAX, GE_LIST_BYTES_MAX, {}};
  if (static_cast<int64_t>(file.size()) > w.bytes_left) return AVERROR(E2BIG);
  w.bytes_left -= static_cast<int64_t>(file.size());
  return check_list(list_url, file, 1, w);
}

int ge_read_concat_list(AVIOContext *pb, std::string *file) {
  uint8_t chunk[16384];
  file->clear();
  for (;;) {
    const int got = avio_read(pb, chunk, sizeof chunk);
    if (got == AVERROR_EOF || got == 0) return 0;
    if (got < 0) return got;
    if (file->size() + static_cast<size_t>(got) > static_cast<size_t>(GE_LIST_BYTES_MAX))
      return AVERROR(E2BIG);
    file->append(reinterpret_cast<const char *>(chunk), static_cast<size_t>(got));
  }
}
