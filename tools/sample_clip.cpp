// SPDX-License-Identifier: MIT
#include "sample_clip.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavformat/avformat.h>
}

namespace {

// Everything the sample writer holds, released in one place.
struct SampleWriter {
  AVFilterGraph *graph = nullptr;
  AVFilterContext *sink = nullptr;
  AVCodecContext *enc = nullptr;
  AVFormatContext *out = nullptr;
  AVFrame *frame = nullptr;
  AVPacket *pkt = nullptr;
  ~SampleWriter() {
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avfilter_graph_free(&graph);
    avcodec_free_context(&enc);
    if (out && out->pb) avio_closep(&out->pb);
    avformat_free_context(out);
  }
};

bool fail(std::string *err, const char *what) {
  if (err) *err = what;
  return false;
}

bool write_packets(SampleWriter &w) {
  while (avcodec_receive_packet(w.enc, w.pkt) == 0) {
    av_packet_rescale_ts(w.pkt, w.enc->time_base, w.out->streams[0]->time_base);
    if (av_interleaved_write_frame(w.out, w.pkt) < 0) return false;
  }
  return true;
}

}  // namespace

bool make_sample_clip(const std::string &path, int seconds, std::string *err) {
  SampleWriter w;
  char source[128];
  std::snprintf(source, sizeof source, "testsrc2=size=640x360:rate=25:duration=%d,format=yuv420p",
                seconds);
  w.graph = avfilter_graph_alloc();
  if (!w.graph) return fail(err, "out of memory");
  if (avfilter_graph_create_filter(&w.sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                   nullptr, w.graph) < 0)
    return fail(err, "no buffersink filter");
  AVFilterInOut *inputs = avfilter_inout_alloc();
  if (!inputs) return fail(err, "out of memory");
  inputs->name = av_strdup("out");
  inputs->filter_ctx = w.sink;
  const int parsed = avfilter_graph_parse_ptr(w.graph, source, &inputs, nullptr, nullptr);
  avfilter_inout_free(&inputs);
  if (parsed < 0 || avfilter_graph_config(w.graph, nullptr) < 0)
    return fail(err, "cannot build the test pattern source");

  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (!codec) return fail(err, "no MPEG-4 encoder");
  w.enc = avcodec_alloc_context3(codec);
  if (!w.enc) return fail(err, "out of memory");
  w.enc->width = 640;
  w.enc->height = 360;
  w.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  w.enc->time_base = AVRational{1, 25};
  w.enc->framerate = AVRational{25, 1};
  w.enc->gop_size = 25;
  w.enc->bit_rate = 2000000;
  if (avformat_alloc_output_context2(&w.out, nullptr, "mp4", path.c_str()) < 0 || !w.out)
    return fail(err, "cannot create the sample file");
  if (w.out->oformat->flags & AVFMT_GLOBALHEADER) w.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(w.enc, codec, nullptr) < 0) return fail(err, "cannot open the encoder");
  AVStream *st = avformat_new_stream(w.out, nullptr);
  if (!st || avcodec_parameters_from_context(st->codecpar, w.enc) < 0)
    return fail(err, "cannot add the video stream");
  st->time_base = w.enc->time_base;
  if (avio_open(&w.out->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
    return fail(err, "cannot open the sample file for writing");
  if (avformat_write_header(w.out, nullptr) < 0) return fail(err, "cannot write the header");

  w.frame = av_frame_alloc();
  w.pkt = av_packet_alloc();
  if (!w.frame || !w.pkt) return fail(err, "out of memory");
  int64_t index = 0;
  while (av_buffersink_get_frame(w.sink, w.frame) >= 0) {
    w.frame->pts = index++;
    w.frame->pict_type = AV_PICTURE_TYPE_NONE;
    const int sent = avcodec_send_frame(w.enc, w.frame);
    av_frame_unref(w.frame);
    if (sent < 0 || !write_packets(w)) return fail(err, "encoding failed");
  }
  avcodec_send_frame(w.enc, nullptr);
  if (!write_packets(w) || av_write_trailer(w.out) < 0) return fail(err, "writing failed");
  return true;
}
