// SPDX-License-Identifier: MIT
// Synthetic media fixtures, written with the libav encoders and muxers.
#include "media_gen.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/version.h>
#include <libswscale/swscale.h>
}

namespace fixture {
namespace {

std::string av_error_text(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

bool fail(std::string *err, const std::string &what, int code = 0) {
  if (err) *err = code ? what + ": " + av_error_text(code) : what;
  return false;
}

// ---------------------------------------------------------------------------
// Pattern drawing, in limited-range BT.601 yuv420p.

struct Yuv {
  uint8_t y, u, v;
};

constexpr Yuv kBlack{16, 128, 128};
constexpr Yuv kWhite{235, 128, 128};
constexpr Yuv kGrey{128, 128, 128};
constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kGreen{145, 54, 34};
constexpr Yuv kBlue{41, 240, 110};

Yuv pattern_pixel(Pattern p, int x, int y, int64_t i, int w, int h) {
  switch (p) {
    case Pattern::IndexBars: {
      int bar = x * 10 / w;  // 0 = leftmost = bit 9
      return ((i >> (9 - bar)) & 1) ? kWhite : kBlack;
    }
    case Pattern::Corners: {
      // A small square near the centre moves a little each frame; it stays
      // well inside the middle so the quadrant centres are never touched.
      int s = std::max(2, std::min(w, h) / 8);
      int cx = w / 2 + static_cast<int>((i % 8) - 4) * s / 8;
      if (std::abs(x - cx) < s / 2 && std::abs(y - h / 2) < s / 2)
        return kBlack;
      bool right = x >= (w + 1) / 2, bottom = y >= (h + 1) / 2;
      if (!bottom) return right ? kGreen : kRed;
      return right ? kWhite : kBlue;
    }
    case Pattern::Moving: {
      int64_t t = i;
      Yuv c;
      c.y = static_cast<uint8_t>(16 + ((x + y) * 219 / (w + h) + 4 * t) % 220);
      c.u = static_cast<uint8_t>(16 + (x * 224 / w + 7 * t) % 225);
      c.v = static_cast<uint8_t>(16 + (y * 224 / h + 3 * t) % 225);
      return c;
    }
  }
  return kBlack;
}

void draw_frame(AVFrame *f, Pattern p, bool grey, int64_t index) {
  const int w = f->width, h = f->height;
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  // Bars and plain grey do not change down the picture: draw one row of
  // each plane and copy it, which keeps large clips cheap.
  const bool same_rows = grey || p == Pattern::IndexBars;
  for (int y = 0; y < h; y++) {
    uint8_t *row = f->data[0] + y * f->linesize[0];
    if (same_rows && y > 0) {
      std::copy_n(f->data[0], w, row);
      continue;
    }
    for (int x = 0; x < w; x++)
      row[x] = grey ? kGrey.y : pattern_pixel(p, x, y, index, w, h).y;
  }
  // Chroma of each 2x2 block is taken from its top-left pixel.
  for (int cy = 0; cy < ch; cy++) {
    uint8_t *u = f->data[1] + cy * f->linesize[1];
    uint8_t *v = f->data[2] + cy * f->linesize[2];
    if (same_rows && cy > 0) {
      std::copy_n(f->data[1], cw, u);
      std::copy_n(f->data[2], cw, v);
      continue;
    }
    for (int cx = 0; cx < cw; cx++) {
      Yuv c = grey ? kGrey : pattern_pixel(p, 2 * cx, 2 * cy, index, w, h);
      u[cx] = c.u;
      v[cx] = c.v;
    }
  }
}

// ---------------------------------------------------------------------------
// Clip writer state. Everything is released in ~Writer, whatever the exit.

struct OutStream {
  AVStream *st = nullptr;
  AVCodecContext *enc = nullptr;
  AVFrame *frame = nullptr;  // what the encoder gets
  AVFrame *draw = nullptr;   // yuv420p surface when the encoder wants another
  SwsContext *sws = nullptr;
  bool video = false;
  bool grey = false;
  int64_t next = 0;    // next frame index (video) or sample (audio)
  int64_t total = 0;   // frames or samples to produce
  bool flushed = false;
  int64_t offset = 0;  // pts_offset in st->time_base, known after the header
  int64_t packets = 0;  // video packets the encoder has given
  double phase = 0;    // sine oscillator

  ~OutStream() {
    sws_freeContext(sws);
    av_frame_free(&draw);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
  }
};

struct Writer {
  AVFormatContext *oc = nullptr;
  AVPacket *pkt = nullptr;
  std::vector<std::unique_ptr<OutStream>> streams;

  ~Writer() {
    streams.clear();
    av_packet_free(&pkt);
    if (oc) {
      if (oc->pb && !(oc->oformat->flags & AVFMT_NOFILE)) avio_closep(&oc->pb);
      avformat_free_context(oc);
    }
  }
};

// What an encoder says it takes; a null list means it takes anything. Since
// libavcodec 61.13.100 the lists come from avcodec_get_supported_config and
// the AVCodec fields are deprecated; older versions have only the fields.
struct EncoderLists {
  const AVPixelFormat *pix_fmts = nullptr;      // ends with AV_PIX_FMT_NONE
  const AVSampleFormat *sample_fmts = nullptr;  // ends with AV_SAMPLE_FMT_NONE
  const int *sample_rates = nullptr;            // ends with 0
  const AVChannelLayout *ch_layouts = nullptr;  // ends with nb_channels 0
};

EncoderLists encoder_lists(const AVCodec *c) {
  EncoderLists l;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
  const auto get = [c](AVCodecConfig which, auto **out) {
    const void *list = nullptr;
    if (avcodec_get_supported_config(nullptr, c, which, 0, &list, nullptr) >= 0)
      *out = static_cast<std::remove_pointer_t<decltype(out)>>(list);
  };
  get(AV_CODEC_CONFIG_PIX_FORMAT, &l.pix_fmts);
  get(AV_CODEC_CONFIG_SAMPLE_FORMAT, &l.sample_fmts);
  get(AV_CODEC_CONFIG_SAMPLE_RATE, &l.sample_rates);
  get(AV_CODEC_CONFIG_CHANNEL_LAYOUT, &l.ch_layouts);
#else
  l.pix_fmts = c->pix_fmts;
  l.sample_fmts = c->sample_fmts;
  l.sample_rates = c->supported_samplerates;
  l.ch_layouts = c->ch_layouts;
#endif
  return l;
}

// Stream side data moved to codecpar's coded_side_data in libavformat
// 60.15.100 (with av_packet_side_data_new/get from libavcodec 60.29.100),
// which deprecated the av_stream_*_side_data calls that FFmpeg 5.1 has.
uint8_t *new_display_matrix(AVStream *st) {
  const size_t size = sizeof(int32_t) * 9;
#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100)
  AVPacketSideData *sd = av_packet_side_data_new(&st->codecpar->coded_side_data,
                                                 &st->codecpar->nb_coded_side_data,
                                                 AV_PKT_DATA_DISPLAYMATRIX, size, 0);
  return sd ? sd->data : nullptr;
#else
  return av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, size);
#endif
}

const uint8_t *display_matrix(const AVStream *st, size_t *size) {
#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100)
  const AVPacketSideData *sd = av_packet_side_data_get(
      st->codecpar->coded_side_data, st->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  *size = sd ? sd->size : 0;
  return sd ? sd->data : nullptr;
#else
  return av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, size);
#endif
}

// AVFrame.duration since libavutil 57.30.100; pkt_duration before (removed in 59).
int64_t frame_duration(const AVFrame *f) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return f->duration;
#else
  return f->pkt_duration;
#endif
}

// AV_FRAME_FLAG_KEY since libavutil 58.7.100, which deprecated key_frame.
bool is_key_frame(const AVFrame *f) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
  return (f->flags & AV_FRAME_FLAG_KEY) != 0;
#else
  return f->key_frame != 0;
#endif
}

bool has_pix_fmt(const AVCodec *c, AVPixelFormat f) {
  const AVPixelFormat *fmts = encoder_lists(c).pix_fmts;
  if (!fmts) return true;  // the encoder takes anything
  for (const AVPixelFormat *p = fmts; *p != AV_PIX_FMT_NONE; p++)
    if (*p == f) return true;
  return false;
}

// yuv420p (or yuvj420p, which mjpeg wants) when listed, else the first format
// libswscale can produce.
AVPixelFormat pick_pix_fmt(const AVCodec *c, const std::string &want,
                           std::string *err) {
  if (!want.empty()) {
    AVPixelFormat f = av_get_pix_fmt(want.c_str());
    if (f == AV_PIX_FMT_NONE || !has_pix_fmt(c, f) ||
        !sws_isSupportedOutput(f)) {
      fail(err, "pixel format " + want + " not usable with " + c->name);
      return AV_PIX_FMT_NONE;
    }
    return f;
  }
  const AVPixelFormat *fmts = encoder_lists(c).pix_fmts;
  if (!fmts) return AV_PIX_FMT_YUV420P;
  for (const AVPixelFormat *p = fmts; *p != AV_PIX_FMT_NONE; p++)
    if (*p == AV_PIX_FMT_YUV420P || *p == AV_PIX_FMT_YUVJ420P) return *p;
  for (const AVPixelFormat *p = fmts; *p != AV_PIX_FMT_NONE; p++)
    if (sws_isSupportedOutput(*p)) return *p;
  fail(err, std::string("no usable pixel format for ") + c->name);
  return AV_PIX_FMT_NONE;
}

bool is_mpegvideo_family(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_MPEG4:
    case AV_CODEC_ID_MJPEG:
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_H263:
    case AV_CODEC_ID_H263P:
    case AV_CODEC_ID_MSMPEG4V2:
    case AV_CODEC_ID_MSMPEG4V3:
    case AV_CODEC_ID_WMV1:
    case AV_CODEC_ID_WMV2:
    case AV_CODEC_ID_FLV1:
      return true;
    default:
      return false;
  }
}

AVRational requested_time_base(const ClipSpec &s) {
  return s.time_base.num ? s.time_base : AVRational{1, s.fps};
}

// Nominal frame duration in the requested time base (at least 1 tick).
int64_t nominal_duration(const ClipSpec &s) {
  return std::max<int64_t>(1, av_rescale_q(1, AVRational{1, s.fps},
                                           requested_time_base(s)));
}

// Where the video ends, in the requested time base.
int64_t video_end(const ClipSpec &s) {
  if (!s.frame_pts.empty())
    return s.frame_pts.back() + (s.last_frame_duration > 0 ? s.last_frame_duration
                                                           : nominal_duration(s));
  return av_rescale_q(s.frames, AVRational{1, s.fps}, requested_time_base(s));
}

bool add_video(Writer &w, const ClipSpec &clip, bool grey, bool first,
               std::string *err) {
  const AVCodec *codec = avcodec_find_encoder_by_name(clip.encoder.c_str());
  // An FFmpeg without the GPL's libx264 (the LGPL build for Windows) writes
  // MPEG-4 video (the mpeg4 encoder) instead, with the same key frames and
  // B-frames, into any container but raw H.264.
  if (!codec && clip.encoder == "libx264" && clip.format != "h264")
    codec = avcodec_find_encoder_by_name("mpeg4");
  if (!codec || codec->type != AVMEDIA_TYPE_VIDEO)
    return fail(err, "video encoder " + clip.encoder + " not available");
  AVPixelFormat pix = pick_pix_fmt(codec, clip.pix_fmt, err);
  if (pix == AV_PIX_FMT_NONE) return false;

  w.streams.push_back(std::make_unique<OutStream>());
  OutStream &s = *w.streams.back();
  s.video = true;
  s.grey = grey;
  s.total = clip.frames;
  s.st = avformat_new_stream(w.oc, nullptr);
  s.enc = avcodec_alloc_context3(codec);
  if (!s.st || !s.enc) return fail(err, "out of memory (video stream)");

  AVCodecContext *c = s.enc;
  c->width = clip.width;
  c->height = clip.height;
  c->pix_fmt = pix;
  // Variable frame rate needs the encoder in the stream's time base; constant
  // rate keeps 1/fps, which every encoder accepts (mpeg4 rejects 1/90000).
  c->time_base = clip.frame_pts.empty() ? AVRational{1, clip.fps}
                                        : requested_time_base(clip);
  c->framerate = AVRational{clip.fps, 1};
  c->gop_size = clip.gop;
  c->max_b_frames = clip.max_b_frames;
  c->thread_count = 1;  // deterministic and plenty fast for small frames
  if (clip.sar.num > 0 && clip.sar.den > 0) c->sample_aspect_ratio = clip.sar;
  if (w.oc->oformat->flags & AVFMT_GLOBALHEADER)
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (codec->id == AV_CODEC_ID_H264 && clip.encoder == "libx264") {
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    // No scene-cut key frames: key frames land exactly every gop frames.
    av_opt_set(c->priv_data, "x264-params", "scenecut=0", 0);
  } else if (is_mpegvideo_family(codec->id)) {
    av_opt_set_int(c, "sc_threshold", 1000000000, AV_OPT_SEARCH_CHILDREN);
    // Fixed quantiser keeps the bars and colours clean at any size.
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * 3;
  }

  int ret = avcodec_open2(c, codec, nullptr);
  if (ret < 0) return fail(err, "opening encoder " + clip.encoder, ret);
  ret = avcodec_parameters_from_context(s.st->codecpar, c);
  if (ret < 0) return fail(err, "copying encoder parameters", ret);
  s.st->time_base = requested_time_base(clip);
  if (clip.sar.num > 0 && clip.sar.den > 0) {
    s.st->sample_aspect_ratio = clip.sar;
    s.st->codecpar->sample_aspect_ratio = clip.sar;
  }
  if (first && (clip.rotation_deg != 0 || clip.hflip)) {
    uint8_t *sd = new_display_matrix(s.st);
    if (!sd) return fail(err, "out of memory (display matrix)");
    int32_t *m = reinterpret_cast<int32_t *>(sd);
    av_display_rotation_set(m, clip.rotation_deg);
    av_display_matrix_flip(m, clip.hflip ? 1 : 0, 0);
  }

  s.frame = av_frame_alloc();
  if (!s.frame) return fail(err, "out of memory (frame)");
  s.frame->format = pix;
  s.frame->width = clip.width;
  s.frame->height = clip.height;
  ret = av_frame_get_buffer(s.frame, 0);
  if (ret < 0) return fail(err, "allocating frame", ret);
  if (pix != AV_PIX_FMT_YUV420P) {
    s.draw = av_frame_alloc();
    if (!s.draw) return fail(err, "out of memory (frame)");
    s.draw->format = AV_PIX_FMT_YUV420P;
    s.draw->width = clip.width;
    s.draw->height = clip.height;
    ret = av_frame_get_buffer(s.draw, 0);
    if (ret < 0) return fail(err, "allocating frame", ret);
    s.sws = sws_getContext(clip.width, clip.height, AV_PIX_FMT_YUV420P,
                           clip.width, clip.height, pix, SWS_BILINEAR,
                           nullptr, nullptr, nullptr);
    if (!s.sws)
      return fail(err, std::string("no conversion to ") +
                           av_get_pix_fmt_name(pix));
  }
  return true;
}

const AVCodec *pick_audio_encoder(const AVOutputFormat *of,
                                  const std::string &want) {
  if (!want.empty()) return avcodec_find_encoder_by_name(want.c_str());
  // The muxer's own default when it is a cheap built-in one (aac for mp4,
  // mp2 for mpegts), so the files look like ordinary ones of that kind.
  if (of->audio_codec == AV_CODEC_ID_AAC || of->audio_codec == AV_CODEC_ID_MP2 ||
      of->audio_codec == AV_CODEC_ID_PCM_S16LE)
    if (const AVCodec *c = avcodec_find_encoder(of->audio_codec)) return c;
  // Otherwise the first that is not a clear no: avformat_query_codec answers
  // 1 (yes), 0 (no) or <0 (the muxer cannot tell).
  static const char *const kCandidates[] = {"mp2", "aac", "pcm_s16le"};
  for (const char *name : kCandidates) {
    const AVCodec *c = avcodec_find_encoder_by_name(name);
    if (c && avformat_query_codec(of, c->id, FF_COMPLIANCE_NORMAL) != 0)
      return c;
  }
  return nullptr;
}

bool add_audio(Writer &w, const ClipSpec &clip, std::string *err) {
  const AVCodec *codec = pick_audio_encoder(w.oc->oformat, clip.audio_encoder);
  if (!codec || codec->type != AVMEDIA_TYPE_AUDIO)
    return fail(err, "no audio encoder for " + clip.format);

  w.streams.push_back(std::make_unique<OutStream>());
  OutStream &s = *w.streams.back();
  s.st = avformat_new_stream(w.oc, nullptr);
  s.enc = avcodec_alloc_context3(codec);
  if (!s.st || !s.enc) return fail(err, "out of memory (audio stream)");
  AVCodecContext *c = s.enc;

  const EncoderLists lists = encoder_lists(codec);
  c->sample_fmt = lists.sample_fmts ? lists.sample_fmts[0] : AV_SAMPLE_FMT_S16;
  c->sample_rate = 48000;
  if (lists.sample_rates) {
    c->sample_rate = lists.sample_rates[0];
    for (const int *r = lists.sample_rates; *r; r++)
      if (*r == 48000) c->sample_rate = 48000;
  }
  int ret = 0;
  av_channel_layout_default(&c->ch_layout, 1);
  if (lists.ch_layouts) {
    bool mono_ok = false;
    for (const AVChannelLayout *l = lists.ch_layouts; l->nb_channels; l++)
      if (!av_channel_layout_compare(l, &c->ch_layout)) mono_ok = true;
    if (!mono_ok) {
      av_channel_layout_uninit(&c->ch_layout);
      ret = av_channel_layout_copy(&c->ch_layout, &lists.ch_layouts[0]);
      if (ret < 0) return fail(err, "copying channel layout", ret);
    }
  }
  c->time_base = AVRational{1, c->sample_rate};
  if (w.oc->oformat->flags & AVFMT_GLOBALHEADER)
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ret = avcodec_open2(c, codec, nullptr);
  if (ret < 0) return fail(err, std::string("opening encoder ") + codec->name, ret);
  ret = avcodec_parameters_from_context(s.st->codecpar, c);
  if (ret < 0) return fail(err, "copying encoder parameters", ret);
  s.st->time_base = c->time_base;
  s.total = av_rescale_q(video_end(clip) + clip.video_start, requested_time_base(clip),
                         c->time_base);

  s.frame = av_frame_alloc();
  if (!s.frame) return fail(err, "out of memory (frame)");
  s.frame->format = c->sample_fmt;
  s.frame->sample_rate = c->sample_rate;
  s.frame->nb_samples =
      (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || !c->frame_size
          ? 1024
          : c->frame_size;
  ret = av_channel_layout_copy(&s.frame->ch_layout, &c->ch_layout);
  if (ret < 0) return fail(err, "copying channel layout", ret);
  ret = av_frame_get_buffer(s.frame, 0);
  if (ret < 0) return fail(err, "allocating audio frame", ret);
  return true;
}

// A quiet 440 Hz sine, the same in every channel.
bool fill_audio(OutStream &s, std::string *err) {
  AVFrame *f = s.frame;
  int n = static_cast<int>(std::min<int64_t>(f->nb_samples, s.total - s.next));
  int channels = f->ch_layout.nb_channels;
  AVSampleFormat fmt = static_cast<AVSampleFormat>(f->format);
  bool planar = av_sample_fmt_is_planar(fmt);
  AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
  if (packed != AV_SAMPLE_FMT_S16 && packed != AV_SAMPLE_FMT_FLT)
    return fail(err, std::string("unsupported sample format ") +
                         av_get_sample_fmt_name(fmt));
  const double kTwoPi = 6.283185307179586;
  const double step = kTwoPi * 440.0 / s.enc->sample_rate;
  for (int i = 0; i < n; i++) {
    double v = 0.1 * std::sin(s.phase);
    s.phase += step;
    for (int ch = 0; ch < channels; ch++) {
      uint8_t *base = planar ? f->data[ch] : f->data[0];
      int idx = planar ? i : i * channels + ch;
      if (packed == AV_SAMPLE_FMT_S16)
        reinterpret_cast<int16_t *>(base)[idx] =
            static_cast<int16_t>(v * 32767);
      else
        reinterpret_cast<float *>(base)[idx] = static_cast<float>(v);
    }
  }
  f->nb_samples = n;
  f->pts = s.next;
  s.next += n;
  return true;
}

bool fill_video(OutStream &s, const ClipSpec &clip, std::string *err) {
  AVFrame *target = s.draw ? s.draw : s.frame;
  draw_frame(target, clip.pattern, s.grey, s.next);
  if (s.sws) {
    int ret = sws_scale(s.sws, s.draw->data, s.draw->linesize, 0,
                        s.draw->height, s.frame->data, s.frame->linesize);
    if (ret <= 0) return fail(err, "pixel format conversion failed");
  }
  s.frame->pts = clip.frame_pts.empty() ? s.next : clip.frame_pts[s.next];
  s.frame->sample_aspect_ratio = s.enc->sample_aspect_ratio;
  s.next++;
  return true;
}

// Video packet duration in encoder time base, looked up by the packet's pts
// (encoders keep pts through reordering).
int64_t video_duration(const ClipSpec &clip, int64_t pts) {
  if (clip.frame_pts.empty()) return 1;
  auto it = std::lower_bound(clip.frame_pts.begin(), clip.frame_pts.end(), pts);
  if (it != clip.frame_pts.end() && *it == pts && it + 1 != clip.frame_pts.end())
    return *(it + 1) - pts;
  return clip.last_frame_duration > 0 ? clip.last_frame_duration : nominal_duration(clip);
}

bool write_packets(Writer &w, OutStream &s, const ClipSpec &clip,
                   std::string *err) {
  for (;;) {
    int ret = avcodec_receive_packet(s.enc, w.pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
    if (ret < 0) return fail(err, "encoding", ret);
    AVPacket *p = w.pkt;
    if (s.video && p->duration == 0 && p->pts != AV_NOPTS_VALUE)
      p->duration = video_duration(clip, p->pts);
    // Audio encoders with priming (mp2 481 samples, aac 1024) start their
    // packets before 0; undo that so no stream starts before pts_offset
    // (mpegts would otherwise shift every stream up by the priming time).
    if (!s.video && s.enc->initial_padding > 0) {
      if (p->pts != AV_NOPTS_VALUE) p->pts += s.enc->initial_padding;
      if (p->dts != AV_NOPTS_VALUE) p->dts += s.enc->initial_padding;
    }
    p->stream_index = s.st->index;
    av_packet_rescale_ts(p, s.enc->time_base, s.st->time_base);
    if (p->pts != AV_NOPTS_VALUE) p->pts += s.offset;
    if (p->dts != AV_NOPTS_VALUE) p->dts += s.offset;
    if (s.video && clip.strip_timestamps) p->pts = p->dts = AV_NOPTS_VALUE;
    if (s.video && clip.no_key_flags) p->flags &= ~AV_PKT_FLAG_KEY;
    if (s.video && std::find(clip.dropped_video_packets.begin(), clip.dropped_video_packets.end(),
                             s.packets++) != clip.dropped_video_packets.end()) {
      av_packet_unref(p);
      continue;
    }
    ret = av_interleaved_write_frame(w.oc, p);
    if (ret < 0) return fail(err, "writing packet", ret);
  }
}

// Position of a stream's next frame, for interleaving in time order.
int64_t next_time(const OutStream &s, const ClipSpec &clip) {
  if (!s.video) return s.next;
  const int64_t start = av_rescale_q(clip.video_start, requested_time_base(clip), s.enc->time_base);
  if (clip.frame_pts.empty()) return start + s.next;
  if (s.next < static_cast<int64_t>(clip.frame_pts.size()))
    return start + clip.frame_pts[s.next];
  return start + video_end(clip);
}

bool check_spec(const ClipSpec &s, std::string *err) {
  if (s.width <= 0 || s.height <= 0 || s.fps <= 0 || s.frames < 0)
    return fail(err, "bad size, fps or frame count");
  if (s.time_base.num < 0 || (s.time_base.num && s.time_base.den <= 0))
    return fail(err, "bad time base");
  if (!s.frame_pts.empty()) {
    if (static_cast<int>(s.frame_pts.size()) != s.frames)
      return fail(err, "frame_pts must hold one timestamp per frame");
    for (size_t i = 1; i < s.frame_pts.size(); i++)
      if (s.frame_pts[i] <= s.frame_pts[i - 1])
        return fail(err, "frame_pts must increase strictly");
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

bool make_clip(const std::string &path, const ClipSpec &clip, std::string *err) {
  if (!check_spec(clip, err)) return false;
  Writer w;
  int ret = avformat_alloc_output_context2(&w.oc, nullptr, clip.format.c_str(),
                                           path.c_str());
  if (ret < 0 || !w.oc) return fail(err, "muxer " + clip.format, ret);
  w.pkt = av_packet_alloc();
  if (!w.pkt) return fail(err, "out of memory (packet)");

  if (clip.audio_only) {
    if (!add_audio(w, clip, err)) return false;
  } else {
    if (clip.audio_stream_first && !add_audio(w, clip, err)) return false;
    if (!add_video(w, clip, false, true, err)) return false;
    if (clip.second_video && !add_video(w, clip, true, false, err)) return false;
    if (clip.audio_stream_last && !add_audio(w, clip, err)) return false;
  }

  if (!(w.oc->oformat->flags & AVFMT_NOFILE)) {
    ret = avio_open(&w.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) return fail(err, "opening " + path, ret);
  }
  AVDictionary *opts = nullptr;
  ret = av_dict_parse_string(&opts, clip.muxer_options.c_str(), "=", ":", 0);
  if (ret >= 0) ret = avformat_write_header(w.oc, &opts);
  std::string unused;
  const AVDictionaryEntry *e = nullptr;
  while ((e = av_dict_get(opts, "", e, AV_DICT_IGNORE_SUFFIX)))
    unused += std::string(" ") + e->key;
  av_dict_free(&opts);
  if (ret < 0) return fail(err, "writing header", ret);
  if (!unused.empty()) return fail(err, "muxer options not recognised:" + unused);
  // The muxer may have changed the stream time bases; shift by the same time.
  for (auto &s : w.streams)
    s->offset = av_rescale_q(clip.pts_offset + (s->video ? clip.video_start : 0),
                             requested_time_base(clip), s->st->time_base);

  // Feed whichever stream is furthest behind, so the muxer sees packets in
  // roughly time order; a finished stream's encoder is flushed once.
  for (;;) {
    OutStream *best = nullptr;
    for (auto &s : w.streams) {
      if (s->flushed) continue;
      if (!best || av_compare_ts(next_time(*s, clip), s->enc->time_base,
                                 next_time(*best, clip),
                                 best->enc->time_base) < 0)
        best = s.get();
    }
    if (!best) break;
    AVFrame *frame = nullptr;
    if (best->next < best->total) {
      ret = av_frame_make_writable(best->frame);
      if (ret < 0) return fail(err, "making frame writable", ret);
      if (!(best->video ? fill_video(*best, clip, err) : fill_audio(*best, err)))
        return false;
      frame = best->frame;
    } else {
      best->flushed = true;
    }
    ret = avcodec_send_frame(best->enc, frame);
    if (ret < 0) return fail(err, "sending frame to encoder", ret);
    if (!write_packets(w, *best, clip, err)) return false;
  }

  ret = av_write_trailer(w.oc);
  if (ret < 0) return fail(err, "writing trailer", ret);
  if (!(w.oc->oformat->flags & AVFMT_NOFILE)) {
    ret = avio_closep(&w.oc->pb);
    if (ret < 0) return fail(err, "closing " + path, ret);
  }

  if (clip.drop_after_bytes >= 0) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (!ec && static_cast<uintmax_t>(clip.drop_after_bytes) < size)
      std::filesystem::resize_file(path, clip.drop_after_bytes, ec);
    if (ec) return fail(err, "truncating " + path + ": " + ec.message());
  }
  return true;
}

// ---------------------------------------------------------------------------
// Reading patterns back.

namespace {

// Mean RGB over a (2*rx+1) x (2*ry+1) rectangle, clipped to the frame.
void mean_rect(const uint8_t *rgb, int width, int height, int linesize, int x,
               int y, int rx, int ry, double out[3]) {
  out[0] = out[1] = out[2] = 0;
  int x0 = std::max(0, x - rx), x1 = std::min(width - 1, x + rx);
  int y0 = std::max(0, y - ry), y1 = std::min(height - 1, y + ry);
  long n = 0;
  for (int yy = y0; yy <= y1; yy++) {
    const uint8_t *row = rgb + static_cast<ptrdiff_t>(yy) * linesize;
    for (int xx = x0; xx <= x1; xx++, n++)
      for (int k = 0; k < 3; k++) out[k] += row[3 * xx + k];
  }
  if (n)
    for (int k = 0; k < 3; k++) out[k] /= n;
}

}  // namespace

void mean_rgb(const uint8_t *rgb, int width, int height, int linesize, int x,
              int y, int radius, double out[3]) {
  mean_rect(rgb, width, height, linesize, x, y, radius, radius, out);
}

int index_from_rgb(const uint8_t *rgb, int width, int height, int linesize) {
  // Across: the middle half of each bar (bars are width/10 wide). Down: a
  // quarter of the height, so dithering and noise average out.
  int rx = std::max(0, width / 40), ry = std::max(1, height / 8);
  int index = 0;
  for (int bar = 0; bar < 10; bar++) {
    double m[3];
    mean_rect(rgb, width, height, linesize, (2 * bar + 1) * width / 20,
              height / 2, rx, ry, m);
    double luma = 0.299 * m[0] + 0.587 * m[1] + 0.114 * m[2];
    index = index * 2 + (luma >= 128 ? 1 : 0);
  }
  return index;
}

Corner stored_corner_shown_at(Corner shown, int rotation_deg, bool hflip) {
  // The display matrix maps a stored point (p, q) to p' = a*p + c*q,
  // q' = b*p + d*q (y pointing down). With the picture centred on the
  // origin, each corner is (+-1, +-1) and lands on the corner given by the
  // signs of (p', q'), so try each stored corner until one lands on `shown`.
  int32_t m[9];
  av_display_rotation_set(m, rotation_deg);
  av_display_matrix_flip(m, hflip ? 1 : 0, 0);
  const double a = m[0], b = m[1], c = m[3], d = m[4];
  const Corner all[] = {Corner::TopLeft, Corner::TopRight, Corner::BottomLeft,
                        Corner::BottomRight};
  for (Corner s : all) {
    double p = (s == Corner::TopRight || s == Corner::BottomRight) ? 1 : -1;
    double q = (s == Corner::BottomLeft || s == Corner::BottomRight) ? 1 : -1;
    double pp = a * p + c * q, qq = b * p + d * q;
    Corner lands = qq < 0 ? (pp < 0 ? Corner::TopLeft : Corner::TopRight)
                          : (pp < 0 ? Corner::BottomLeft : Corner::BottomRight);
    if (lands == shown) return s;
  }
  return shown;  // not reached for multiples of 90
}

char expected_corner_colour(Corner shown, int rotation_deg, bool hflip) {
  switch (stored_corner_shown_at(shown, rotation_deg, hflip)) {
    case Corner::TopLeft: return 'R';
    case Corner::TopRight: return 'G';
    case Corner::BottomLeft: return 'B';
    case Corner::BottomRight: return 'W';
  }
  return '?';
}

char corner_colour(const uint8_t *rgb, int width, int height, int linesize,
                   Corner c) {
  bool right = c == Corner::TopRight || c == Corner::BottomRight;
  bool bottom = c == Corner::BottomLeft || c == Corner::BottomRight;
  int x = right ? width - 1 - width / 4 : width / 4;
  int y = bottom ? height - 1 - height / 4 : height / 4;
  double m[3];
  mean_rgb(rgb, width, height, linesize, x, y,
           std::max(0, std::min(width, height) / 16), m);
  static const struct {
    char name;
    double rgb[3];
  } kRefs[] = {{'R', {255, 0, 0}},
               {'G', {0, 255, 0}},
               {'B', {0, 0, 255}},
               {'W', {255, 255, 255}}};
  char best = '?';
  double best_d = 1e30;
  for (const auto &r : kRefs) {
    double d = 0;
    for (int k = 0; k < 3; k++) d += (m[k] - r.rgb[k]) * (m[k] - r.rgb[k]);
    if (d < best_d) {
      best_d = d;
      best = r.name;
    }
  }
  // Further than about 100 levels from the nearest: not one of ours.
  return best_d <= 100.0 * 100.0 ? best : '?';
}

// ---------------------------------------------------------------------------
// Decoding.

namespace {

struct Reader {
  AVFormatContext *ic = nullptr;
  AVCodecContext *dec = nullptr;
  AVPacket *pkt = nullptr;
  AVFrame *frame = nullptr;
  AVFrame *rgb = nullptr;
  SwsContext *sws = nullptr;
  // Conversion set-up the current sws context was made for.
  int w = 0, h = 0, fmt = -1, space = -1, range = -1;

  ~Reader() {
    sws_freeContext(sws);
    av_frame_free(&rgb);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&ic);
  }
};

bool is_full_range(const AVFrame *f) {
  switch (f->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return f->color_range == AVCOL_RANGE_JPEG;
  }
}

bool convert_frame(Reader &r, DecodedVideo *out, std::string *err) {
  AVFrame *f = r.frame;
  int range = is_full_range(f) ? 1 : 0;
  if (f->width != r.w || f->height != r.h || f->format != r.fmt ||
      f->colorspace != r.space || range != r.range) {
    r.sws = sws_getCachedContext(
        r.sws, f->width, f->height, static_cast<AVPixelFormat>(f->format),
        f->width, f->height, AV_PIX_FMT_RGB24,
        SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
        nullptr, nullptr);
    const AVPixFmtDescriptor *d =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    if (!r.sws)
      return fail(err, std::string("no conversion to rgb24 from ") +
                           (d ? d->name : "unknown format"));
    // YUV input: use the frame's own matrix and range, not the defaults.
    if (d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) &&
        d->nb_components >= 3) {
      int cs = f->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT
                                                      : f->colorspace;
      const int *coef = sws_getCoefficients(cs);
      int *inv, *tab, src_range, dst_range, bri, con, sat;
      if (sws_getColorspaceDetails(r.sws, &inv, &src_range, &tab, &dst_range,
                                   &bri, &con, &sat) >= 0)
        sws_setColorspaceDetails(r.sws, coef, range, tab, 1, bri, con, sat);
    }
    av_frame_free(&r.rgb);
    r.rgb = av_frame_alloc();
    if (!r.rgb) return fail(err, "out of memory (frame)");
    r.rgb->format = AV_PIX_FMT_RGB24;
    r.rgb->width = f->width;
    r.rgb->height = f->height;
    int ret = av_frame_get_buffer(r.rgb, 0);
    if (ret < 0) return fail(err, "allocating rgb frame", ret);
    r.w = f->width;
    r.h = f->height;
    r.fmt = f->format;
    r.space = f->colorspace;
    r.range = range;
  }
  int ret = sws_scale(r.sws, f->data, f->linesize, 0, f->height, r.rgb->data,
                      r.rgb->linesize);
  if (ret <= 0) return fail(err, "converting frame to rgb24");

  DecodedFrame df;
  df.width = f->width;
  const char *pix_fmt = av_get_pix_fmt_name(static_cast<AVPixelFormat>(f->format));
  df.pix_fmt = pix_fmt != nullptr ? pix_fmt : "";
  df.height = f->height;
  df.frame_pts = f->pts;
  df.pkt_dts = f->pkt_dts;
  df.pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp
                                                      : f->pts;
  df.duration = frame_duration(f);
  df.key_frame = is_key_frame(f);
  df.pict_type = av_get_picture_type_char(f->pict_type);
  df.rgb.resize(static_cast<size_t>(f->width) * f->height * 3);
  for (int y = 0; y < f->height; y++)
    std::copy_n(r.rgb->data[0] + static_cast<ptrdiff_t>(y) * r.rgb->linesize[0],
                f->width * 3, df.rgb.data() + static_cast<size_t>(y) * f->width * 3);
  out->frames.push_back(std::move(df));
  return true;
}

// Pulls every ready frame out of the decoder. Decode errors are counted.
bool drain_decoder(Reader &r, DecodedVideo *out, std::string *err) {
  for (;;) {
    int ret = avcodec_receive_frame(r.dec, r.frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
    if (ret < 0) {
      out->decode_errors++;
      return true;
    }
    bool ok = convert_frame(r, out, err);
    av_frame_unref(r.frame);
    if (!ok) return false;
  }
}

}  // namespace

bool decode_video(const std::string &path, DecodedVideo *out, std::string *err) {
  if (!out) return fail(err, "no output");
  *out = DecodedVideo();
  Reader r;
  int ret = avformat_open_input(&r.ic, path.c_str(), nullptr, nullptr);
  if (ret < 0) return fail(err, "opening " + path, ret);
  ret = avformat_find_stream_info(r.ic, nullptr);
  if (ret < 0) return fail(err, "reading stream info", ret);

  AVStream *st = nullptr;
  for (unsigned i = 0; i < r.ic->nb_streams; i++) {
    AVStream *s = r.ic->streams[i];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      st = s;
      break;
    }
  }
  if (!st) return fail(err, "no video stream in " + path);
  const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec)
    return fail(err, std::string("no decoder for ") +
                         avcodec_get_name(st->codecpar->codec_id));
  r.dec = avcodec_alloc_context3(codec);
  r.pkt = av_packet_alloc();
  r.frame = av_frame_alloc();
  if (!r.dec || !r.pkt || !r.frame) return fail(err, "out of memory");
  ret = avcodec_parameters_to_context(r.dec, st->codecpar);
  if (ret < 0) return fail(err, "copying stream parameters", ret);
  r.dec->pkt_timebase = st->time_base;
  ret = avcodec_open2(r.dec, codec, nullptr);
  if (ret < 0) return fail(err, "opening decoder", ret);

  out->codec = codec->name;
  out->format = r.ic->iformat->name;
  out->time_base = st->time_base;
  out->stream_width = st->codecpar->width;
  out->stream_height = st->codecpar->height;
  out->stream_index = st->index;
  out->nb_streams = static_cast<int>(r.ic->nb_streams);
  out->sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio
                                         : st->codecpar->sample_aspect_ratio;
  out->avg_frame_rate = st->avg_frame_rate;
  out->start_time = st->start_time;
  out->input_start_time = r.ic->start_time;
  out->duration = st->duration;
  size_t sd_size = 0;
  const uint8_t *sd = display_matrix(st, &sd_size);
  if (sd && sd_size >= sizeof(int32_t) * 9) {
    out->has_display_matrix = true;
    out->rotation =
        av_display_rotation_get(reinterpret_cast<const int32_t *>(sd));
  }

  for (;;) {
    ret = av_read_frame(r.ic, r.pkt);
    if (ret < 0) {
      // A damaged file may end with an error instead of EOF; keep what was
      // decoded and note it.
      out->clean_eof = ret == AVERROR_EOF;
      break;
    }
    if (r.pkt->stream_index == st->index) {
      ret = avcodec_send_packet(r.dec, r.pkt);
      if (ret < 0 && ret != AVERROR(EAGAIN)) out->decode_errors++;
    }
    av_packet_unref(r.pkt);
    if (!drain_decoder(r, out, err)) return false;
  }
  ret = avcodec_send_packet(r.dec, nullptr);
  if (ret < 0 && ret != AVERROR_EOF) return fail(err, "flushing decoder", ret);
  return drain_decoder(r, out, err);
}

// ---------------------------------------------------------------------------
// Odd files.

bool make_random_file(const std::string &path, size_t bytes, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<char> buf(bytes);
  for (size_t i = 0; i < bytes; i++) buf[i] = static_cast<char>(gen() & 0xFF);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(buf.data(), static_cast<std::streamsize>(buf.size()));
  return static_cast<bool>(f);
}

bool make_many_streams(const std::string &path, int n_streams, std::string *err) {
  if (n_streams < 1 || n_streams > 1000)
    return fail(err, "n_streams must be in 1..1000");
  ClipSpec clip;
  clip.format = "matroska";
  clip.encoder = "mpeg4";
  clip.width = 32;
  clip.height = 32;
  clip.frames = 1;

  Writer w;
  int ret = avformat_alloc_output_context2(&w.oc, nullptr, "matroska",
                                           path.c_str());
  if (ret < 0 || !w.oc) return fail(err, "muxer matroska", ret);
  w.pkt = av_packet_alloc();
  if (!w.pkt) return fail(err, "out of memory (packet)");
  if (!add_video(w, clip, false, true, err)) return false;

  // The other streams carry raw PCM, so they need no encoder at all.
  const int rate = 8000, samples = 80;
  for (int i = 1; i < n_streams; i++) {
    AVStream *st = avformat_new_stream(w.oc, nullptr);
    if (!st) return fail(err, "out of memory (stream)");
    AVCodecParameters *par = st->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_PCM_S16LE;
    par->format = AV_SAMPLE_FMT_S16;
    par->sample_rate = rate;
    av_channel_layout_default(&par->ch_layout, 1);
    par->bits_per_coded_sample = 16;
    par->block_align = 2;
    st->time_base = AVRational{1, rate};
    std::string title = "filler audio stream number " + std::to_string(i);
    av_dict_set(&st->metadata, "title", title.c_str(), 0);
    av_dict_set(&st->metadata, "language", "eng", 0);
  }

  ret = avio_open(&w.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (ret < 0) return fail(err, "opening " + path, ret);
  ret = avformat_write_header(w.oc, nullptr);
  if (ret < 0) return fail(err, "writing header", ret);

  OutStream &v = *w.streams[0];
  ret = av_frame_make_writable(v.frame);
  if (ret < 0) return fail(err, "making frame writable", ret);
  if (!fill_video(v, clip, err)) return false;
  if ((ret = avcodec_send_frame(v.enc, v.frame)) < 0 ||
      (ret = avcodec_send_frame(v.enc, nullptr)) < 0)
    return fail(err, "encoding", ret);
  if (!write_packets(w, v, clip, err)) return false;

  for (int i = 1; i < n_streams; i++) {
    ret = av_new_packet(w.pkt, samples * 2);
    if (ret < 0) return fail(err, "allocating packet", ret);
    std::fill_n(w.pkt->data, samples * 2, 0);
    w.pkt->stream_index = i;
    w.pkt->pts = w.pkt->dts = 0;
    w.pkt->duration = samples;
    av_packet_rescale_ts(w.pkt, AVRational{1, rate},
                         w.oc->streams[i]->time_base);
    ret = av_interleaved_write_frame(w.oc, w.pkt);
    if (ret < 0) return fail(err, "writing packet", ret);
  }
  ret = av_write_trailer(w.oc);
  if (ret < 0) return fail(err, "writing trailer", ret);
  ret = avio_closep(&w.oc->pb);
  if (ret < 0) return fail(err, "closing " + path, ret);
  return true;
}

bool make_no_streams(const std::string &path, std::string *err) {
  // Muxers refuse a header without streams unless they are flagged
  // AVFMT_NOSTREAMS; of those only ffmetadata writes a file that the
  // demuxers read back (probed by its ";FFMETADATA1" signature, so any file
  // name works).
  Writer w;
  int ret = avformat_alloc_output_context2(&w.oc, nullptr, "ffmetadata",
                                           path.c_str());
  if (ret < 0 || !w.oc) return fail(err, "muxer ffmetadata", ret);
  av_dict_set(&w.oc->metadata, "title", "no streams here", 0);

  // One chapter, so the file has content without having streams.
  w.oc->chapters = static_cast<AVChapter **>(av_mallocz(sizeof(AVChapter *)));
  if (!w.oc->chapters) return fail(err, "out of memory (chapter)");
  AVChapter *ch = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
  if (!ch) return fail(err, "out of memory (chapter)");
  w.oc->chapters[0] = ch;
  w.oc->nb_chapters = 1;
  ch->id = 1;
  ch->time_base = AVRational{1, 1000};
  ch->start = 0;
  ch->end = 2000;
  av_dict_set(&ch->metadata, "title", "only chapter", 0);

  ret = avio_open(&w.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (ret < 0) return fail(err, "opening " + path, ret);
  ret = avformat_write_header(w.oc, nullptr);
  if (ret < 0) return fail(err, "writing header", ret);
  ret = av_write_trailer(w.oc);
  if (ret < 0) return fail(err, "writing trailer", ret);
  ret = avio_closep(&w.oc->pb);
  if (ret < 0) return fail(err, "closing " + path, ret);
  return true;
}

}  // namespace fixture
