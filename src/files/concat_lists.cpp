// SPDX-License-Identifier: MIT
#include "files/concat_lists.h"

#include <cerrno>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "files/file_gate.h"

namespace {

constexpr char GE_CONCAT_SIGNATURE[] = "ffconcat version 1.0";
static_assert(sizeof GE_CONCAT_SIGNATURE - 1 == GE_CONCAT_SIGNATURE_LEN, "the signature's length");

// Bounds on what one input's lists may make the check read: lists within
// lists (a list may even name itself), files named in all, and bytes of list
// text in all. Far beyond what a window of at most a minute draws on.
constexpr int GE_LIST_DEPTH_MAX = 8;
constexpr int GE_LIST_FILES_MAX = 10000;
constexpr int64_t GE_LIST_BYTES_MAX = int64_t{16} << 20;

// What the list demuxer reads as blanks between words.
constexpr char GE_LIST_SPACE[] = " \t\r\n";

struct ge_list_walk {
  const AVIOInterruptCB *interrupt;
  int files_left;
  int64_t bytes_left;
};

int check_list(const std::string &list_url, const std::string &text, int depth, ge_list_walk &w);

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
  AVIOContext *pb = nullptr;
  int rc = ge_open_local_file(&pb, url.c_str(), AVIO_FLAG_READ, w.interrupt, nullptr);
  if (rc < 0) return rc;
  uint8_t head[GE_CONCAT_SIGNATURE_LEN];
  const int got = avio_read(pb, head, sizeof head);
  if (got > 0 && ge_is_concat_signature(head, static_cast<size_t>(got))) {
    // A list within the list: its demuxer opens this one's files the same way.
    std::string text;
    if (depth >= GE_LIST_DEPTH_MAX) rc = AVERROR(E2BIG);
    if (rc >= 0) rc = static_cast<int>(avio_seek(pb, 0, SEEK_SET) < 0 ? AVERROR(EIO) : 0);
    if (rc >= 0) rc = ge_read_concat_list(pb, &text);
    if (rc >= 0 && static_cast<int64_t>(text.size()) > w.bytes_left) rc = AVERROR(E2BIG);
    if (rc >= 0) {
      w.bytes_left -= static_cast<int64_t>(text.size());
      rc = check_list(url, text, depth + 1, w);
    }
  }
  avio_closep(&pb);
  return rc;
}

int check_list(const std::string &list_url, const std::string &text, int depth, ge_list_walk &w) {
  std::vector<std::string> names;
  if (const int rc = entry_names(text, &names); rc < 0) return rc;
  for (const std::string &name : names) {
    if (--w.files_left < 0) return AVERROR(E2BIG);
    const std::string url = ge_concat_entry_url(list_url, name);
    if (url.empty()) return AVERROR(EPERM);
    if (const int rc = check_entry(url, depth, w); rc < 0) return rc;
  }
  return 0;
}

}  // namespace

bool ge_is_concat_signature(const uint8_t *head, size_t len) {
  return len >= GE_CONCAT_SIGNATURE_LEN &&
         std::memcmp(head, GE_CONCAT_SIGNATURE, GE_CONCAT_SIGNATURE_LEN) == 0;
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

int ge_check_concat_list(const std::string &list_url, const std::string &text,
                         const AVIOInterruptCB *interrupt) {
  ge_list_walk w{interrupt, GE_LIST_FILES_MAX, GE_LIST_BYTES_MAX};
  if (static_cast<int64_t>(text.size()) > w.bytes_left) return AVERROR(E2BIG);
  w.bytes_left -= static_cast<int64_t>(text.size());
  return check_list(list_url, text, 1, w);
}

int ge_read_concat_list(AVIOContext *pb, std::string *text) {
  uint8_t chunk[16384];
  text->clear();
  for (;;) {
    const int got = avio_read(pb, chunk, sizeof chunk);
    if (got == AVERROR_EOF || got == 0) return 0;
    if (got < 0) return got;
    if (text->size() + static_cast<size_t>(got) > static_cast<size_t>(GE_LIST_BYTES_MAX))
      return AVERROR(E2BIG);
    text->append(reinterpret_cast<const char *>(chunk), static_cast<size_t>(got));
  }
}
