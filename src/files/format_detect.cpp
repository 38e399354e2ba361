// SPDX-License-Identifier: MIT
#include "files/format_detect.h"

#include <cstring>

extern "C" {
#include <libavutil/avstring.h>
}

#include "files/file_gate.h"

namespace {

constexpr char GE_LIST_DEMUXER[] = "concat";

// Demuxers that open further files past io_open, so past the gate: DASH
// (segments through its own opens) and VobSub (the .sub beside the index).
const char *const GE_UNGATED_DEMUXERS[] = {"dash", "vobsub"};
// Demuxers that open files beyond their own: fine where their opens pass the
// gate, but not under a list, whose demuxer gives the contexts it makes the
// default io_open instead of the gate.
const char *const GE_OPENING_DEMUXERS[] = {"hls", "imf", "mlv"};

template <size_t N>
bool listed(const char *name, const char *const (&names)[N]) {
  for (const char *n : names)
    if (std::strcmp(name, n) == 0) return true;
  return false;
}

bool left_out(const char *name, ge_format_scope scope) {
  if (listed(name, GE_UNGATED_DEMUXERS)) return true;
  if (scope == ge_format_scope::list_entry) return listed(name, GE_OPENING_DEMUXERS);
  if (scope == ge_format_scope::under_media) return std::strcmp(name, GE_LIST_DEMUXER) == 0;
  return false;
}

}  // namespace

std::string ge_demuxer_whitelist(ge_format_scope scope) {
  std::string names;
  void *it = nullptr;
  while (const AVInputFormat *fmt = av_demuxer_iterate(&it)) {
    if (left_out(fmt->name, scope)) continue;
    if (!names.empty()) names += ',';
    names += fmt->name;
  }
  return names;
}

bool ge_format_allowed(const AVInputFormat *fmt, ge_format_scope scope) {
  // The library's own check of a context's whitelist.
  return av_match_list(fmt->name, ge_demuxer_whitelist(scope).c_str(), ',') > 0;
}

bool ge_is_list_format(const AVInputFormat *fmt) {
  return fmt != nullptr && std::strcmp(fmt->name, GE_LIST_DEMUXER) == 0;
}

int ge_detect_format(const char *url, const AVIOInterruptCB *interrupt, void *log_ctx,
                     AVIOContext **pb, const AVInputFormat **fmt) {
  *pb = nullptr;
  *fmt = nullptr;
  // The name alone first, for the demuxers that open no file of their own
  // name, as the library's open does.
  AVProbeData by_name{};
  by_name.filename = url;
  int score = AVPROBE_SCORE_RETRY;
  *fmt = av_probe_input_format2(&by_name, 0, &score);
  if (*fmt != nullptr) return 0;
  int rc = ge_open_local_file(pb, url, AVIO_FLAG_READ, interrupt, nullptr);
  if (rc < 0) return rc;
  rc = av_probe_input_buffer2(*pb, fmt, url, log_ctx, 0, 0);
  if (rc < 0) {
    *fmt = nullptr;
    avio_closep(pb);
    return rc;
  }
  return 0;
}
