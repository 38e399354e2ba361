// SPDX-License-Identifier: MIT
#include "files/input_gate.h"

#include <cstring>
#include <string>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

#include "files/concat_lists.h"
#include "files/file_gate.h"

namespace {

// Marks (through AVFormatContext.opaque) the context this library opened, so
// that the gate tells the input's own open from the ones its demuxer makes.
char g_input_mark;

// Demuxers that open further files past io_open, so past the gate: DASH
// (segments through its own opens) and VobSub (the .sub beside the index).
const char *const GE_UNGATED_DEMUXERS[] = {"dash", "vobsub"};
// Demuxers that open files beyond their own: fine where their opens pass the
// gate, but not inside a list, whose demuxer gives the contexts it makes
// the default io_open instead of the gate.
const char *const GE_OPENING_DEMUXERS[] = {"hls", "imf", "mlv"};

template <size_t N>
bool listed(const char *name, const char *const (&names)[N]) {
  for (const char *n : names)
    if (std::strcmp(name, n) == 0) return true;
  return false;
}

// Every demuxer's name but those left out, as a format whitelist (names with
// commas in them, "mov,mp4,...", are lists themselves and match as such).
std::string demuxer_whitelist(bool inside_list) {
  std::string names;
  void *it = nullptr;
  while (const AVInputFormat *fmt = av_demuxer_iterate(&it)) {
    if (listed(fmt->name, GE_UNGATED_DEMUXERS)) continue;
    if (inside_list && listed(fmt->name, GE_OPENING_DEMUXERS)) continue;
    if (!names.empty()) names += ',';
    names += fmt->name;
  }
  return names;
}

// A file opened by the gate that begins as a list. The input itself: every
// file of the list is checked, and the contexts the list's demuxer makes
// (which copy this one's whitelists) get no demuxer that opens further files.
// A list opened by a demuxer (a playlist's segment, an image of a sequence)
// is refused: where its text comes from (segments run together, say) cannot
// be known here.
int check_list_input(AVFormatContext *s, AVIOContext *pb, const char *url) {
  uint8_t head[GE_CONCAT_SIGNATURE_LEN];
  const int got = avio_read(pb, head, sizeof head);
  if (avio_seek(pb, 0, SEEK_SET) < 0) return AVERROR(EIO);
  if (got <= 0 || !ge_is_concat_signature(head, static_cast<size_t>(got))) return 0;
  const bool input_itself = s->opaque == &g_input_mark && s->iformat == nullptr;
  if (!input_itself) return AVERROR(EPERM);
  std::string text;
  int rc = ge_read_concat_list(pb, &text);
  if (avio_seek(pb, 0, SEEK_SET) < 0 && rc >= 0) rc = AVERROR(EIO);
  if (rc >= 0) rc = ge_check_concat_list(url, text, &s->interrupt_callback);
  if (rc >= 0) rc = av_opt_set(s, "format_whitelist", demuxer_whitelist(true).c_str(), 0);
  return rc;
}

// The context's io_open: the input itself and every file its demuxer opens.
int gated_io_open(AVFormatContext *s, AVIOContext **pb, const char *url, int flags,
                  AVDictionary **options) {
  const int opened = ge_open_local_file(pb, url, flags, &s->interrupt_callback, options);
  if (opened < 0) return opened;
  const int checked = check_list_input(s, *pb, url);
  if (checked < 0) avio_closep(pb);
  return checked < 0 ? checked : 0;
}

}  // namespace

int ge_open_gated_input(AVFormatContext **in_ctx, const char *url, AVIOInterruptCB interrupt) {
  AVFormatContext *ctx = avformat_alloc_context();
  if (ctx == nullptr) return AVERROR(ENOMEM);
  ctx->io_open = gated_io_open;
  ctx->interrupt_callback = interrupt;
  ctx->opaque = &g_input_mark;
  AVDictionary *options = nullptr;
  // The whitelists are copied into every context a demuxer makes, the list
  // demuxer's included: the protocol one keeps those to local files.
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", demuxer_whitelist(false).c_str(), 0);
  // The list demuxer's safe mode (its default): entries are relative names
  // in the list's folder, and a list cannot set options of its own.
  av_dict_set(&options, "safe", "1", 0);
  const int rc = avformat_open_input(&ctx, url, nullptr, &options);
  av_dict_free(&options);
  *in_ctx = ctx;  // null after a failure, which freed it
  return rc;
}
