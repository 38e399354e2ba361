// SPDX-License-Identifier: MIT
#include "files/job_files.h"

#include <cstring>

extern "C" {
#include <libavutil/dict.h>
}

#include "platform/files.h"
#include "files/input_gate.h"

namespace {

constexpr char GE_FILE_SCHEME[] = "file:";
constexpr size_t GE_FILE_SCHEME_LEN = sizeof GE_FILE_SCHEME - 1;
// Room for the scheme and the longest path the worker builds (a temporary
// file beside a link's target).
constexpr size_t GE_FILE_URL_CAP = 4200;

// The URL under which the media library opens a plain path as a local file:
// the scheme is always given, so a path that looks like another protocol
// ("pipe:1", "http://...", "a:b.mp4") is still a file name.
bool file_url(const char *path, char (&url)[GE_FILE_URL_CAP]) {
  const size_t len = std::strlen(path);
  if (GE_FILE_SCHEME_LEN + len + 1 > sizeof url) return false;
  std::memcpy(url, GE_FILE_SCHEME, GE_FILE_SCHEME_LEN);
  std::memcpy(url + GE_FILE_SCHEME_LEN, path, len + 1);
  return true;
}

// Options that keep the output's open to the local file protocol.
AVDictionary *files_only() {
  AVDictionary *options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  return options;
}

}  // namespace

const char *ge_plain_path(const char *path) {
  return std::strncmp(path, GE_FILE_SCHEME, GE_FILE_SCHEME_LEN) == 0 ? path + GE_FILE_SCHEME_LEN
                                                                     : path;
}

int ge_open_input(AVFormatContext **in_ctx, const char *path, AVIOInterruptCB interrupt) {
  char url[GE_FILE_URL_CAP];
  if (!file_url(ge_plain_path(path), url)) return AVERROR(ENAMETOOLONG);
  return ge_open_gated_input(in_ctx, url, interrupt);
}

int ge_open_output_file(AVIOContext **pb, const char *path, AVIOInterruptCB interrupt) {
  char url[GE_FILE_URL_CAP];
  if (!file_url(path, url)) return AVERROR(ENAMETOOLONG);
  AVDictionary *options = files_only();
  const int rc = avio_open2(pb, url, AVIO_FLAG_WRITE, &interrupt, &options);
  av_dict_free(&options);
  return rc;
}

bool ge_output_names_input(const char *in_path, const char *out_path) {
  return ge_same_file(ge_plain_path(in_path), ge_plain_path(out_path));
}

bool ge_output_would_block(const char *out_path) {
  return ge_is_pipe_or_socket(ge_plain_path(out_path));
}

void ge_remove_job_output(const char *out_path) { ge_remove_output(ge_plain_path(out_path)); }
