// SPDX-License-Identifier: MIT
// The probe report: a synchronous description of a media file.
#include <cstdarg>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include "gifexport.h"
#include "files/job_files.h"
#include "report/json_escape.h"

namespace {

constexpr size_t GE_PROBE_CAP = 65536;
// Listing stops once the text passes this; the 513 bytes left always hold one
// more comma and entry, the closing "]}" and the terminator.
constexpr size_t GE_PROBE_LIST_LIMIT = GE_PROBE_CAP - 513;
// The longest codec or format name written in full. Library names are short
// identifiers; a longer one is cut so the room kept above always suffices.
constexpr int GE_PROBE_NAME_MAX = 64;

char g_probe_json[GE_PROBE_CAP];

const char *type_word(AVMediaType type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    default: return "other";
  }
}

double stream_fps(AVRational rate) {
  return rate.den > 0 ? static_cast<double>(rate.num) / static_cast<double>(rate.den) : 0.0;
}

// Appends a bounded print at *pos with the room left, advancing *pos by the
// length the print reports (never past the end of the buffer). A printf-like
// function, so the compiler checks every call's literal format against its
// arguments, and a call with a format alone is no format-security finding.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void append(size_t *pos, const char *format, ...) {
  if (*pos >= GE_PROBE_CAP) return;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(g_probe_json + *pos, GE_PROBE_CAP - *pos, format, args);
  va_end(args);
  if (n > 0) *pos += static_cast<size_t>(n);
}

void describe(const AVFormatContext *in_ctx) {
  const int64_t duration_ms = in_ctx->duration == AV_NOPTS_VALUE ? 0 : in_ctx->duration / 1000;
  const char *format = in_ctx->iformat && in_ctx->iformat->name ? in_ctx->iformat->name : "";
  size_t pos = 0;
  append(&pos, "{\"ok\":true,\"duration_ms\":%lld,\"format\":\"%.*s\",\"streams\":[",
         static_cast<long long>(duration_ms), GE_PROBE_NAME_MAX, format);
  for (unsigned i = 0; i < in_ctx->nb_streams; ++i) {
    const AVStream *st = in_ctx->streams[i];
    const AVCodecParameters *par = st->codecpar;
    const char *codec = avcodec_get_name(par->codec_id);
    char fps[GE_JSON_FIXED_CAP];
    json_fixed(stream_fps(st->avg_frame_rate), 3, fps);
    if (i > 0) append(&pos, ",");
    append(&pos,
           "{\"index\":%u,\"type\":\"%s\",\"codec\":\"%.*s\",\"width\":%d,\"height\":%d,"
           "\"fps\":%s}",
           i, type_word(par->codec_type), GE_PROBE_NAME_MAX, codec ? codec : "?", par->width,
           par->height, fps);
    if (pos > GE_PROBE_LIST_LIMIT) break;
  }
  append(&pos, "]}");
}

}  // namespace

extern "C" GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_probe(const char *path) {
  if (path == nullptr || path[0] == '\0') {
    std::snprintf(g_probe_json, GE_PROBE_CAP, "{\"ok\":false,\"error\":\"empty path\"}");
    return g_probe_json;
  }
  AVFormatContext *in_ctx = nullptr;
  const int opened = ge_open_input(&in_ctx, path);
  if (opened < 0) {
    char reason[128];
    char escaped[256];
    av_strerror(opened, reason, sizeof reason);
    json_escape(reason, escaped, sizeof escaped);
    std::snprintf(g_probe_json, GE_PROBE_CAP, "{\"ok\":false,\"error\":\"open: %s\"}", escaped);
    return g_probe_json;
  }
  if (avformat_find_stream_info(in_ctx, nullptr) < 0) {
    avformat_close_input(&in_ctx);
    std::snprintf(g_probe_json, GE_PROBE_CAP, "{\"ok\":false,\"error\":\"no stream info\"}");
    return g_probe_json;
  }
  describe(in_ctx);
  avformat_close_input(&in_ctx);
  return g_probe_json;
}
