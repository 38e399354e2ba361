// SPDX-License-Identifier: MIT
#include "files/input_gate.h"

#include <string>

extern "C" {
#include <libavutil/dict.h>
}

#include "files/concat_lists.h"
#include "files/file_gate.h"
#include "files/format_detect.h"

namespace {

// The context's io_open: every file a demuxer opens for the input (a
// playlist's segment, an image of a sequence, an IMF track file). A file
// that FFmpeg's prober takes for a list is refused: whatever reads it could
// run it as a list, whose files would be opened with no gate.
int gated_io_open(AVFormatContext *s, AVIOContext **pb, const char *url, int flags,
                  AVDictionary **options) {
  int rc = ge_open_local_file(pb, url, flags, &s->interrupt_callback, options);
  if (rc < 0) return rc;
  const AVInputFormat *fmt = nullptr;
  rc = av_probe_input_buffer2(*pb, &fmt, url, s, 0, 0);
  // A file of no known format (a key, a cut segment) is the opener's to judge.
  if (rc == AVERROR_INVALIDDATA) rc = 0;
  if (rc >= 0 && ge_is_list_format(fmt)) rc = AVERROR(EPERM);
  if (rc < 0) avio_closep(pb);
  return rc < 0 ? rc : 0;
}

// Checks every file of the list open in pb at url, and leaves pb at its start.
int check_list_input(AVIOContext *pb, const char *url, const AVIOInterruptCB *interrupt) {
  std::string file;
  int rc = ge_read_concat_list(pb, &file);
  if (avio_seek(pb, 0, SEEK_SET) < 0 && rc >= 0) rc = AVERROR(EIO);
  if (rc >= 0) rc = ge_check_concat_list(url, file, interrupt);
  return rc;
}

}  // namespace

int ge_open_gated_input(AVFormatContext **in_ctx, const char *url, AVIOInterruptCB interrupt) {
  *in_ctx = nullptr;
  AVFormatContext *ctx = avformat_alloc_context();
  if (ctx == nullptr) return AVERROR(ENOMEM);
  ctx->io_open = gated_io_open;
  ctx->interrupt_callback = interrupt;
  AVIOContext *pb = nullptr;
  const AVInputFormat *fmt = nullptr;
  int rc = ge_detect_format(url, &interrupt, ctx, &pb, &fmt);
  // The files under the input may be lists only when the input is one, whose
  // files are all checked here first.
  ge_format_scope under = ge_format_scope::under_media;
  if (rc >= 0 && ge_is_list_format(fmt)) {
    rc = check_list_input(pb, url, &interrupt);
    under = ge_format_scope::list_entry;
  }
  if (rc < 0) {
    avio_closep(&pb);
    avformat_free_context(ctx);
    return rc;
  }
  AVDictionary *options = nullptr;
  // The whitelists are copied into every context a demuxer makes, the list
  // demuxer's included: the protocol one keeps those to local files, the
  // format one to the demuxers allowed there. The input's own format was
  // found above and is in it.
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", ge_demuxer_whitelist(under).c_str(), 0);
  // The list demuxer's safe mode (its default): entries are relative names
  // in the list's folder, and a list cannot set options of its own.
  av_dict_set(&options, "safe", "1", 0);
  // Lists within lists no deeper than the check above lets them be, where
  // the list demuxer counts them itself (FFmpeg 9.0; unknown before, and
  // then left unused).
  av_dict_set_int(&options, "recursion_depth", GE_LIST_DEPTH_MAX, 0);
  // The demuxer reads the very file that was probed, in the format found:
  // nothing it reads is detected a second time.
  ctx->pb = pb;
  if (pb != nullptr) ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
  rc = avformat_open_input(&ctx, url, fmt, &options);
  av_dict_free(&options);
  if (rc < 0) {
    avio_closep(&pb);  // ctx, freed by the failed open, left pb alone
    return rc;
  }
  // From here on pb is the context's own, closed with it.
  ctx->flags &= ~AVFMT_FLAG_CUSTOM_IO;
  *in_ctx = ctx;
  return rc;
}
