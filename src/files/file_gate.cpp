// SPDX-License-Identifier: MIT
#include "files/file_gate.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

#include "platform/files.h"

namespace {

constexpr char GE_FILE_SCHEME[] = "file:";
constexpr size_t GE_FILE_SCHEME_LEN = sizeof GE_FILE_SCHEME - 1;

}  // namespace

const char *ge_local_file_path(const char *url) {
  // The same question the library asks before it opens url; its file
  // protocol then drops one leading "file:" and opens the rest.
  const char *protocol = avio_find_protocol_name(url);
  if (protocol == nullptr || std::strcmp(protocol, "file") != 0) return nullptr;
  return std::strncmp(url, GE_FILE_SCHEME, GE_FILE_SCHEME_LEN) == 0 ? url + GE_FILE_SCHEME_LEN
                                                                    : url;
}

int ge_open_local_file(AVIOContext **pb, const char *url, int flags,
                       const AVIOInterruptCB *interrupt, AVDictionary **options) {
  *pb = nullptr;
  if (flags & AVIO_FLAG_WRITE) return AVERROR(EPERM);
  const char *path = ge_local_file_path(url);
  if (path == nullptr) return AVERROR(EPROTONOSUPPORT);
  // Looked at just before the open: the file protocol opens the path itself,
  // so a file swapped for a FIFO in between still reaches it (a window of
  // microseconds, which only someone racing the open can hit).
  if (const int error = ge_regular_file_error(path); error != 0) return AVERROR(error);
  AVDictionary *own_options = nullptr;
  AVDictionary **opts = options != nullptr ? options : &own_options;
  // The protocol's own whitelist too, so that the open cannot turn into
  // another protocol's.
  int rc = av_dict_set(opts, "protocol_whitelist", "file", 0);
  if (rc >= 0) rc = avio_open2(pb, url, flags, interrupt, opts);
  av_dict_free(&own_options);
  return rc;
}
