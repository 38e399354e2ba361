// SPDX-License-Identifier: MIT
// Exercises every fixture helper and prints what it made and read back.
// Usage: media_gen_selftest [output-dir]   (default /tmp/media_gen_selftest)
#include "media_gen.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>

extern "C" {
#include <libavformat/avformat.h>
}

using namespace fixture;

namespace {

int g_passed = 0, g_failed = 0;
std::string g_dir;

void check(bool ok, const std::string &what) {
  (ok ? g_passed : g_failed)++;
  std::printf("  [%s] %s\n", ok ? "ok" : "FAIL", what.c_str());
}

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now() - t0)
      .count();
}

std::string out_path(const std::string &name) { return g_dir + "/" + name; }

std::string ts(int64_t v) {
  return v == AV_NOPTS_VALUE ? "none" : std::to_string(v);
}

// What only libx264 writes (raw H.264, 10-bit H.264) cannot be made where
// FFmpeg lacks it (the LGPL build for Windows): such a clip is skipped with
// its reason; other "libx264" clips fall back to MPEG-4.
bool needs_missing_x264(const ClipSpec &clip) {
  if (clip.encoder != "libx264" || avcodec_find_encoder_by_name("libx264") != nullptr) return false;
  return clip.format == "h264" || clip.pix_fmt.find("10") != std::string::npos;
}

bool make(const std::string &name, const ClipSpec &clip, double *ms = nullptr) {
  if (needs_missing_x264(clip)) {
    std::printf("  [skip] make %s (this FFmpeg has no libx264)\n", name.c_str());
    return false;
  }
  std::string err;
  auto t0 = std::chrono::steady_clock::now();
  bool ok = make_clip(out_path(name), clip, &err);
  double t = ms_since(t0);
  if (ms) *ms = t;
  check(ok, "make " + name + (ok ? "" : " (" + err + ")") + " in " +
                std::to_string(static_cast<int>(t)) + " ms");
  return ok;
}

bool decode(const std::string &name, DecodedVideo *v, double *ms = nullptr) {
  std::string err;
  auto t0 = std::chrono::steady_clock::now();
  bool ok = decode_video(out_path(name), v, &err);
  double t = ms_since(t0);
  if (ms) *ms = t;
  check(ok, "decode " + name + (ok ? "" : " (" + err + ")") + " in " +
                std::to_string(static_cast<int>(t)) + " ms");
  return ok;
}

// Every frame's bars read back as 0, 1, 2, ... in presentation order.
bool indices_in_order(const DecodedVideo &v, int expected_frames) {
  if (static_cast<int>(v.frames.size()) != expected_frames) return false;
  for (int i = 0; i < expected_frames; i++) {
    const DecodedFrame &f = v.frames[i];
    if (index_from_rgb(f.rgb.data(), f.width, f.height, f.width * 3) != i)
      return false;
  }
  return true;
}

void print_video(const DecodedVideo &v) {
  std::printf("    %s/%s %dx%d tb %d/%d streams %d idx %d start %s dur %s "
              "sar %d:%d frames %zu eof %s errors %d\n",
              v.format.c_str(), v.codec.c_str(), v.stream_width,
              v.stream_height, v.time_base.num, v.time_base.den, v.nb_streams,
              v.stream_index, ts(v.start_time).c_str(),
              ts(v.duration).c_str(), v.sar.num, v.sar.den, v.frames.size(),
              v.clean_eof ? "clean" : "error", v.decode_errors);
  std::printf("    pts/frame_pts/pkt_dts/dur/type:");
  for (size_t i = 0; i < v.frames.size() && i < 6; i++)
    std::printf(" %s/%s/%s/%lld/%c", ts(v.frames[i].pts).c_str(),
                ts(v.frames[i].frame_pts).c_str(),
                ts(v.frames[i].pkt_dts).c_str(),
                static_cast<long long>(v.frames[i].duration),
                v.frames[i].pict_type);
  std::printf("%s\n", v.frames.size() > 6 ? " ..." : "");
}

// Indices of decoded key frames.
std::string key_frames(const DecodedVideo &v) {
  std::string s;
  for (size_t i = 0; i < v.frames.size(); i++)
    if (v.frames[i].key_frame) s += (s.empty() ? "" : ",") + std::to_string(i);
  return s;
}

bool pts_increasing(const DecodedVideo &v) {
  for (size_t i = 1; i < v.frames.size(); i++)
    if (v.frames[i].pts == AV_NOPTS_VALUE ||
        v.frames[i].pts <= v.frames[i - 1].pts)
      return false;
  return !v.frames.empty();
}

// Opens a file the way a prober would and reports the stream count.
bool probe(const std::string &path, int *n_streams, double *ms,
           std::string *err) {
  auto t0 = std::chrono::steady_clock::now();
  AVFormatContext *ic = nullptr;
  int ret = avformat_open_input(&ic, path.c_str(), nullptr, nullptr);
  if (ret >= 0) ret = avformat_find_stream_info(ic, nullptr);
  if (ret >= 0) *n_streams = static_cast<int>(ic->nb_streams);
  avformat_close_input(&ic);
  *ms = ms_since(t0);
  if (ret < 0) {
    char buf[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(ret, buf, sizeof buf);
    *err = buf;
  }
  return ret >= 0;
}

void section(const char *name) { std::printf("\n== %s\n", name); }

void test_formats() {
  section("formats and encoders (IndexBars round trip)");
  struct Case {
    const char *name, *format, *encoder;
    int gop, bframes;
  } cases[] = {
      {"mp4_mpeg4.mp4", "mp4", "mpeg4", 12, 0},
      {"mp4_mpeg4_bf2.mp4", "mp4", "mpeg4", 12, 2},
      {"mp4_x264.mp4", "mp4", "libx264", 12, 0},
      {"mp4_x264_bf3.mp4", "mp4", "libx264", 12, 3},
      {"mkv_ffv1.mkv", "matroska", "ffv1", 12, 0},
      {"mkv_x264_bf2.mkv", "matroska", "libx264", 12, 2},
      {"ts_x264_gop60_bf3.ts", "mpegts", "libx264", 60, 3},
      {"ts_mpeg4.ts", "mpegts", "mpeg4", 12, 0},
      {"nut_mpeg4.nut", "nut", "mpeg4", 12, 0},
      {"avi_mjpeg.avi", "avi", "mjpeg", 12, 0},
      {"avi_mpeg4.avi", "avi", "mpeg4", 12, 0},
      {"raw.h264", "h264", "libx264", 12, 0},
      {"raw.m4v", "m4v", "mpeg4", 12, 0},
      {"gif_gif.gif", "gif", "gif", 12, 0},
  };
  for (const Case &c : cases) {
    ClipSpec s;
    s.format = c.format;
    s.encoder = c.encoder;
    s.gop = c.gop;
    s.max_b_frames = c.bframes;
    s.frames = c.gop == 60 ? 150 : 50;
    if (!make(c.name, s)) continue;
    DecodedVideo v;
    if (!decode(c.name, &v)) continue;
    print_video(v);
    std::printf("    key frames at: %s\n", key_frames(v).c_str());
    check(indices_in_order(v, s.frames), std::string(c.name) + ": indices 0.." +
                                             std::to_string(s.frames - 1));
    check(v.stream_width == 320 && v.stream_height == 240,
          std::string(c.name) + ": 320x240");
  }
}

void test_patterns() {
  section("patterns");
  ClipSpec s;
  s.format = "matroska";
  s.encoder = "ffv1";
  s.pattern = Pattern::Corners;
  s.frames = 10;
  DecodedVideo v;
  if (make("corners.mkv", s) && decode("corners.mkv", &v) && !v.frames.empty()) {
    const DecodedFrame &f = v.frames[3];
    std::string got;
    for (Corner c : {Corner::TopLeft, Corner::TopRight, Corner::BottomLeft,
                     Corner::BottomRight})
      got += corner_colour(f.rgb.data(), f.width, f.height, f.width * 3, c);
    check(got == "RGBW", "corners read RGBW, got " + got);
    check(v.frames[0].rgb != v.frames[1].rgb, "corners: frames differ");
    // The bars pattern is not one of the corner colours at a black bar.
    const DecodedFrame &g = v.frames[0];
    double m[3];
    mean_rgb(g.rgb.data(), g.width, g.height, g.width * 3, g.width / 2,
             g.height / 2, 2, m);
    std::printf("    centre square rgb %.0f %.0f %.0f\n", m[0], m[1], m[2]);
  }
  s.pattern = Pattern::Moving;
  s.format = "mp4";
  s.encoder = "libx264";
  if (make("moving.mp4", s) && decode("moving.mp4", &v) && v.frames.size() == 10)
    check(v.frames[0].rgb != v.frames[5].rgb, "moving: frames differ");

  // A scaled, odd-sized copy of a bars frame still reads back.
  s.pattern = Pattern::IndexBars;
  s.format = "matroska";
  s.encoder = "ffv1";
  s.width = 64;
  s.height = 36;
  s.frames = 1024;
  s.fps = 100;
  double ms = 0;
  if (make("bars_small_1024.mkv", s, &ms) && decode("bars_small_1024.mkv", &v))
    check(indices_in_order(v, 1024), "64x36: all 1024 indices read back");

  // Hand-made frame with a mid-grey dither: black/white bars blended 25%.
  std::vector<uint8_t> img(30 * 10 * 3);
  for (int y = 0; y < 10; y++)
    for (int x = 0; x < 30; x++) {
      int bar = x / 3;
      bool one = (677 >> (9 - bar)) & 1;
      uint8_t v8 = one ? ((x + y) % 4 == 0 ? 0 : 255) : ((x + y) % 4 == 0 ? 255 : 0);
      for (int k = 0; k < 3; k++) img[(y * 30 + x) * 3 + k] = v8;
    }
  check(index_from_rgb(img.data(), 30, 10, 90) == 677,
        "dithered 30x10 bars read 677");
  // corner_colour rejects colours far from all four.
  std::vector<uint8_t> grey(16 * 16 * 3, 128);
  check(corner_colour(grey.data(), 16, 16, 48, Corner::TopLeft) == '?',
        "grey corner reads '?'");
}

void test_streams() {
  section("stream layouts");
  ClipSpec s;
  s.audio_stream_first = true;
  DecodedVideo v;
  if (make("audio_first.mp4", s) && decode("audio_first.mp4", &v)) {
    check(v.nb_streams == 2 && v.stream_index == 1, "audio first: video is 1");
    check(indices_in_order(v, 50), "audio first: indices");
  }
  s.format = "mpegts";
  if (make("audio_first.ts", s) && decode("audio_first.ts", &v))
    check(v.nb_streams == 2 && v.stream_index == 1 && indices_in_order(v, 50),
          "audio first ts: video is 1, indices");
  s.format = "matroska";
  s.audio_encoder = "aac";
  if (make("audio_first_aac.mkv", s) && decode("audio_first_aac.mkv", &v))
    check(v.nb_streams == 2 && v.stream_index == 1, "aac first mkv: video is 1");
  s = ClipSpec();
  s.format = "avi";
  s.audio_stream_last = true;
  s.second_video = true;
  if (make("two_video_audio_last.avi", s) &&
      decode("two_video_audio_last.avi", &v)) {
    check(v.nb_streams == 3 && v.stream_index == 0, "two video + audio: 3 streams");
    check(indices_in_order(v, 50), "two video: first stream has the bars");
  }
  s = ClipSpec();
  s.second_video = true;
  s.audio_stream_first = true;
  if (make("audio_two_video.mp4", s) && decode("audio_two_video.mp4", &v))
    check(v.nb_streams == 3 && v.stream_index == 1 && indices_in_order(v, 50),
          "audio + two video mp4: video is 1");
  s = ClipSpec();
  s.audio_only = true;
  for (const char *fmt : {"mp4", "matroska", "nut"}) {
    s.format = fmt;
    std::string name = std::string("audio_only.") + fmt;
    std::string err;
    if (make(name, s)) {
      bool ok = decode_video(out_path(name), &v, &err);
      check(!ok, name + ": decode_video refuses (" + err + ")");
    }
  }
}

void test_timestamps() {
  section("timestamps");
  DecodedVideo v;
  // Stripped timestamps.
  struct Case {
    const char *name, *format, *encoder;
  } cases[] = {{"strip.h264", "h264", "libx264"},
               {"strip.m4v", "m4v", "mpeg4"},
               {"strip.mkv", "matroska", "ffv1"},
               {"strip.nut", "nut", "ffv1"},
               {"strip.avi", "avi", "mpeg4"}};
  for (const Case &c : cases) {
    ClipSpec s;
    s.format = c.format;
    s.encoder = c.encoder;
    s.strip_timestamps = true;
    s.frames = 20;
    if (!make(c.name, s) || !decode(c.name, &v)) continue;
    print_video(v);
    int no_pts = 0, no_best = 0;
    for (const auto &f : v.frames) {
      no_pts += f.frame_pts == AV_NOPTS_VALUE;
      no_best += f.pts == AV_NOPTS_VALUE;
    }
    std::printf("    frames without pts: %d, without best-effort: %d of %zu\n",
                no_pts, no_best, v.frames.size());
    check(indices_in_order(v, 20), std::string(c.name) + ": indices");
  }

  // Start offsets: 2 s late in several time bases.
  struct Off {
    const char *name, *format;
    AVRational tb;
    int64_t offset;
  } offs[] = {{"offset.mp4", "mp4", {0, 1}, 50},
              {"offset.mkv", "matroska", {1, 1000}, 2000},
              {"offset_90k.ts", "mpegts", {1, 90000}, 180000},
              {"offset_90k.mp4", "mp4", {1, 90000}, 180000},
              {"offset_90k.nut", "nut", {1, 90000}, 180000}};
  for (const Off &o : offs) {
    ClipSpec s;
    s.format = o.format;
    s.time_base = o.tb;
    s.pts_offset = o.offset;
    s.audio_stream_first = true;
    if (!make(o.name, s) || !decode(o.name, &v)) continue;
    print_video(v);
    double start = v.frames.empty() ? -1
                                    : v.frames[0].pts * av_q2d(v.time_base);
    check(std::abs(start - 2.0) < 0.01 && pts_increasing(v) &&
              indices_in_order(v, 50),
          std::string(o.name) + ": first frame at 2 s (" +
              std::to_string(start) + ")");
  }

  // Variable frame rate: 40 ms, 100 ms, 40 ms, ... in 1/1000.
  ClipSpec s;
  s.format = "matroska";
  s.time_base = {1, 1000};
  s.frames = 6;
  s.frame_pts = {0, 40, 140, 180, 400, 440};
  if (make("vfr.mkv", s) && decode("vfr.mkv", &v)) {
    print_video(v);
    bool ok = v.frames.size() == 6;
    for (size_t i = 0; ok && i < 6; i++)
      ok = v.frames[i].pts == s.frame_pts[i];
    check(ok && indices_in_order(v, 6), "vfr.mkv: pts 0 40 140 180 400 440");
  }
  s.format = "mp4";
  s.encoder = "libx264";
  s.max_b_frames = 2;
  if (make("vfr_x264_bf2.mp4", s) && decode("vfr_x264_bf2.mp4", &v)) {
    print_video(v);
    bool ok = v.frames.size() == 6;
    for (size_t i = 0; ok && i < 6; i++)
      ok = av_rescale_q(v.frames[i].pts, v.time_base, {1, 1000}) ==
           s.frame_pts[i] - av_rescale_q(v.frames[0].pts, v.time_base, {1, 1000});
    check(ok, "vfr_x264_bf2.mp4: relative pts 0 40 140 180 400 440");
  }
}

void test_geometry() {
  section("sample aspect ratio and display matrix");
  DecodedVideo v;
  const AVRational sars[] = {{64, 45}, {8, 9}};
  for (const char *fmt : {"mp4", "matroska"})
    for (AVRational sar : sars) {
      ClipSpec s;
      s.format = fmt;
      s.sar = sar;
      s.frames = 5;
      std::string name = std::string("sar_") + std::to_string(sar.num) + "_" +
                         std::to_string(sar.den) + "." + fmt;
      if (make(name, s) && decode(name, &v))
        check(av_cmp_q(v.sar, sar) == 0,
              name + ": sar " + std::to_string(v.sar.num) + ":" +
                  std::to_string(v.sar.den));
    }
  struct Rot {
    int deg;
    bool hflip;
    double expect;
  } rots[] = {{90, false, -90}, {180, false, -180}, {270, false, 90},
              {-90, false, 90}, {90, true, -90}, {0, true, -180}};
  for (const Rot &r : rots) {
    ClipSpec s;
    s.pattern = Pattern::Corners;
    s.frames = 5;
    s.rotation_deg = r.deg;
    s.hflip = r.hflip;
    std::string name = "rot_" + std::to_string(r.deg) + (r.hflip ? "_hflip" : "") +
                       ".mp4";
    if (make(name, s) && decode(name, &v)) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.1f", v.rotation);
      // +180 and -180 are the same turn.
      bool half_turn = std::abs(std::abs(r.expect) - 180) < 0.5 &&
                       std::abs(std::abs(v.rotation) - 180) < 0.5;
      check(v.has_display_matrix &&
                (std::abs(v.rotation - r.expect) < 0.5 || half_turn),
            name + ": rotation " + buf);
      // The stored picture is not rotated: corners still read RGBW.
      const DecodedFrame &f = v.frames.at(0);
      check(corner_colour(f.rgb.data(), f.width, f.height, f.width * 3,
                          Corner::TopLeft) == 'R',
            name + ": stored picture unrotated");
    }
  }
  // Where the stored corners end up on screen.
  auto shown = [](int deg, bool flip) {
    std::string s;
    for (Corner c : {Corner::TopLeft, Corner::TopRight, Corner::BottomLeft,
                     Corner::BottomRight})
      s += expected_corner_colour(c, deg, flip);
    return s;
  };
  struct Expect {
    int deg;
    bool hflip;
    const char *tl_tr_bl_br;
  } expects[] = {{0, false, "RGBW"},   {90, false, "BRWG"},
                 {180, false, "WBGR"}, {270, false, "GWRB"},
                 {-90, false, "GWRB"}, {0, true, "GRWB"},
                 {90, true, "RBGW"},   {180, true, "BWRG"},
                 {270, true, "WGBR"}};
  for (const Expect &e : expects)
    check(shown(e.deg, e.hflip) == e.tl_tr_bl_br,
          "shown corners for " + std::to_string(e.deg) +
              (e.hflip ? "+hflip: " : ": ") + shown(e.deg, e.hflip));
}

void test_damaged_and_odd() {
  section("damaged and odd files");
  DecodedVideo v;
  std::string err;
  for (const char *fmt : {"mp4", "matroska", "mpegts"}) {
    ClipSpec s;
    s.format = fmt;
    std::string full = std::string("full.") + fmt;
    if (!make(full, s)) continue;
    auto size = std::filesystem::file_size(out_path(full));
    s.drop_after_bytes = static_cast<int64_t>(size / 2);
    std::string name = std::string("half.") + fmt;
    if (!make(name, s)) continue;
    check(std::filesystem::file_size(out_path(name)) == size / 2,
          name + ": truncated to " + std::to_string(size / 2));
    bool ok = decode_video(out_path(name), &v, &err);
    std::printf("    %s: decode %s, %zu frames, eof %s, errors %d %s\n",
                name.c_str(), ok ? "ok" : "failed", v.frames.size(),
                v.clean_eof ? "clean" : "error", v.decode_errors,
                ok ? "" : err.c_str());
  }

  {
    ClipSpec s;
    s.muxer_options = "movflags=+faststart";
    std::string full = "full_faststart.mp4";
    if (make(full, s)) {
      auto size = std::filesystem::file_size(out_path(full));
      s.drop_after_bytes = static_cast<int64_t>(size / 2);
      if (make("half_faststart.mp4", s)) {
        bool ok = decode_video(out_path("half_faststart.mp4"), &v, &err);
        std::printf("    half_faststart.mp4: decode %s, %zu frames, eof %s, "
                    "errors %d %s\n",
                    ok ? "ok" : "failed", v.frames.size(),
                    v.clean_eof ? "clean" : "error", v.decode_errors,
                    ok ? "" : err.c_str());
        check(ok && !v.frames.empty() && v.frames.size() < 50,
              "half_faststart.mp4: opens, some frames");
      }
    }
    s = ClipSpec();
    s.muxer_options = "movflags=+frag_keyframe+empty_moov";
    if (make("fragmented.mp4", s) && decode("fragmented.mp4", &v))
      check(indices_in_order(v, 50), "fragmented.mp4: indices");
    s.muxer_options = "no_such_option=1";
    bool made = make_clip(out_path("err.mp4"), s, &err);
    check(!made, "unknown muxer option refused (" + err + ")");
  }
  check(make_random_file(out_path("random.bin"), 100000, 42),
        "random file written");
  check(std::filesystem::file_size(out_path("random.bin")) == 100000,
        "random file size");
  check(make_random_file(out_path("random2.bin"), 100000, 42) &&
            std::filesystem::file_size(out_path("random2.bin")) == 100000,
        "random file again");
  bool ok = decode_video(out_path("random.bin"), &v, &err);
  check(!ok, "random file does not decode (" + err + ")");
  ok = decode_video(out_path("does_not_exist.mp4"), &v, &err);
  check(!ok, "missing file does not decode (" + err + ")");

  int n = 0;
  double ms = 0;
  auto t0 = std::chrono::steady_clock::now();
  bool made = make_many_streams(out_path("many.mkv"), 600, &err);
  check(made, "600 streams written in " +
                  std::to_string(static_cast<int>(ms_since(t0))) + " ms" +
                  (made ? "" : " (" + err + ")"));
  if (made) {
    ok = probe(out_path("many.mkv"), &n, &ms, &err);
    check(ok && n == 600, "600 streams probe: " + std::to_string(n) + " in " +
                              std::to_string(static_cast<int>(ms)) + " ms");
    if (decode_video(out_path("many.mkv"), &v, &err))
      check(v.frames.size() == 1 && v.stream_index == 0,
            "600 streams: video stream 0 decodes");
  }
  made = make_many_streams(out_path("none.mkv"), 0, &err);
  check(!made, "0 streams refused (" + err + ")");

  made = make_no_streams(out_path("no_streams.mkv"), &err);
  check(made, "no-streams file written" + (made ? "" : " (" + err + ")"));
  if (made) {
    ok = probe(out_path("no_streams.mkv"), &n, &ms, &err);
    check(ok && n == 0, "no-streams file opens with 0 streams");
    ok = decode_video(out_path("no_streams.mkv"), &v, &err);
    check(!ok, "no-streams: decode_video refuses (" + err + ")");
  }
}

void test_errors() {
  section("errors are reported, not crashed on");
  std::string err;
  auto expect_fail = [&](const std::string &what, ClipSpec s) {
    err.clear();
    bool ok = make_clip(out_path("err.bin"), s, &err);
    check(!ok && !err.empty(), what + ": " + err);
  };
  ClipSpec s;
  s.encoder = "no_such_encoder";
  expect_fail("unknown encoder", s);
  s = ClipSpec();
  s.format = "no_such_format";
  expect_fail("unknown format", s);
  s = ClipSpec();
  s.format = "h264";
  s.encoder = "libx264";
  s.audio_stream_first = true;
  expect_fail("audio in raw h264", s);
  s = ClipSpec();
  s.width = 0;
  expect_fail("zero width", s);
  s = ClipSpec();
  s.frames = 3;
  s.frame_pts = {0, 5, 5};
  expect_fail("non-increasing frame_pts", s);
  s = ClipSpec();
  s.pix_fmt = "yuv420p10le";
  expect_fail("mpeg4 in 10 bit", s);
  s = ClipSpec();
  s.format = "matroska";
  s.encoder = "libx264";
  s.pix_fmt = "yuv420p10le";
  DecodedVideo v;
  if (make("x264_10bit.mkv", s) && decode("x264_10bit.mkv", &v))
    check(indices_in_order(v, 50), "10-bit x264: indices");
  s.encoder = "ffv1";
  s.pix_fmt = "yuv444p";
  s.sar = {0, 1};
  if (make("ffv1_444.mkv", s) && decode("ffv1_444.mkv", &v))
    check(indices_in_order(v, 50), "ffv1 yuv444p: indices");
  s = ClipSpec();
  s.frames = 0;
  s.format = "matroska";
  if (make("zero_frames.mkv", s)) {
    bool ok = decode_video(out_path("zero_frames.mkv"), &v, &err);
    std::printf("    zero frames: decode %s, %zu frames %s\n",
                ok ? "ok" : "failed", v.frames.size(), ok ? "" : err.c_str());
  }
  check(!decode_video(out_path("x.mp4"), nullptr, &err), "null output refused");
  check(!make_random_file("/nonexistent-dir/x.bin", 10, 1),
        "random file in missing dir refused");
}

void test_timing() {
  section("timing");
  struct Case {
    const char *name, *format, *encoder;
    int w, h, frames;
  } cases[] = {{"t_mpeg4.mp4", "mp4", "mpeg4", 320, 240, 50},
               {"t_x264.mp4", "mp4", "libx264", 320, 240, 50},
               {"t_ffv1.mkv", "matroska", "ffv1", 320, 240, 50},
               {"t_mjpeg.avi", "avi", "mjpeg", 320, 240, 50},
               {"t_x264_640.mp4", "mp4", "libx264", 640, 480, 100},
               {"t_x264_1280.mp4", "mp4", "libx264", 1280, 720, 100}};
  for (const Case &c : cases) {
    ClipSpec s;
    s.format = c.format;
    s.encoder = c.encoder;
    s.width = c.w;
    s.height = c.h;
    s.frames = c.frames;
    double make_ms = 0, dec_ms = 0;
    DecodedVideo v;
    if (make(c.name, s, &make_ms) && decode(c.name, &v, &dec_ms))
      std::printf("    %-18s %4dx%-4d x%3d: make %6.1f ms, decode+rgb %6.1f ms\n",
                  c.name, c.w, c.h, c.frames, make_ms, dec_ms);
  }
}

}  // namespace

int main(int argc, char **argv) {
  g_dir = argc > 1 ? argv[1] : "/tmp/media_gen_selftest";
  std::filesystem::create_directories(g_dir);
  av_log_set_level(AV_LOG_ERROR);
  std::function<void()> tests[] = {test_formats,    test_patterns,
                                   test_streams,    test_timestamps,
                                   test_geometry,   test_damaged_and_odd,
                                   test_errors,     test_timing};
  for (auto &t : tests) t();
  std::printf("\n%d passed, %d failed\n", g_passed, g_failed);
  return g_failed ? 1 : 0;
}
