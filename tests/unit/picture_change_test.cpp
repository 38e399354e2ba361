// SPDX-License-Identifier: MIT
// Pictures that change mid-stream and video whose size is unknown at the
// start: the GIF is made at the size of the window's first picture, and every
// picture on screen reaches it, converted to that size and format. Checked
// frame by frame against the window's rule, in one pass and in two.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "gifexport.h"
#include "support/media_gen.h"
#include "support/test_platform.h"
#include "support/window_frames.h"

namespace {

using window_frames::cached_clip;
using window_frames::scratch_dir;
using window_frames::source_frames;
using window_frames::SourceFrame;

class PictureChange : public window_frames::JobTest {};

// A barcode clip in MPEG-TS (MPEG-2 video unless told otherwise): `seconds`
// long, from `from_s` on.
fixture::ClipSpec ts_part(int width, int height, const char *pix_fmt, int seconds, int from_s,
                          const char *encoder = "mpeg2video") {
  fixture::ClipSpec clip;
  clip.format = "mpegts";
  clip.encoder = encoder;
  clip.pix_fmt = pix_fmt;
  clip.width = width;
  clip.height = height;
  clip.frames = 25 * seconds;
  clip.gop = 12;
  clip.time_base = {1, 90000};
  clip.pts_offset = int64_t{90000} * from_s;
  return clip;
}

// Two MPEG-TS parts joined byte for byte, as a recorder or a copy-join
// writes them: the second carries its own stream headers.
// Empty when this FFmpeg cannot write a part.
std::string joined(const std::string &name, const fixture::ClipSpec &a,
                   const fixture::ClipSpec &b) {
  const std::string path = scratch_dir() + "/" + name;
  if (testplat::exists(path)) return path;
  std::string err;
  const std::string pa = path + ".a", pb = path + ".b";
  if (!fixture::make_clip(pa, a, &err) || !fixture::make_clip(pb, b, &err)) {
    std::printf("%s left out: %s\n", name.c_str(), err.c_str());
    return "";
  }
  std::ofstream out(testplat::fs_path(path), std::ios::binary);
  for (const std::string &part : {pa, pb}) {
    std::ifstream in(testplat::fs_path(part), std::ios::binary);
    out << in.rdbuf();
  }
  return path;
}

void expect_window(const std::string &in, const std::string &name, int64_t start_ms,
                   int64_t end_ms, int fps) {
  const std::vector<SourceFrame> source = source_frames(in);
  window_frames::expect_window(in, source, scratch_dir() + "/out.gif", name, start_ms, end_ms, fps);
}

// The GIF's size, from its job's result.
std::pair<int, int> gif_size(const std::string &in, int64_t start_ms, int64_t end_ms) {
  const std::string out = scratch_dir() + "/size.gif";
  const int id = gifexport_start(in.c_str(), out.c_str(), start_ms, end_ms, 96, 10);
  EXPECT_EQ(id, 0);
  if (id < 0) return {0, 0};
  EXPECT_EQ(testjob::wait_final(id), GIFEXPORT_STATE_DONE) << gifexport_result(id);
  fixture::DecodedVideo gif;
  EXPECT_TRUE(fixture::decode_video(out, &gif));
  gifexport_free(id);
  return {gif.stream_width, gif.stream_height};
}

TEST_F(PictureChange, ASizeChangeReachesTheGifAtTheFirstPicturesSize) {
  // 640x360 for 6 s, then 320x180: a programme change in a broadcast capture.
  const std::string in = joined("size_change.ts", ts_part(640, 360, "", 6, 0),
                                ts_part(320, 180, "", 4, 6));
  ASSERT_FALSE(in.empty());
  expect_window(in, "across the change", 5000, 7000, 10);
  expect_window(in, "after the change", 8000, 9000, 10);
  // Same proportions either way: 96 wide and 54 high for both windows.
  EXPECT_EQ(gif_size(in, 5000, 7000), std::make_pair(96, 54));
  EXPECT_EQ(gif_size(in, 8000, 9000), std::make_pair(96, 54));
}

TEST_F(PictureChange, APixelFormatChangeReachesTheGif) {
  // H.264 from 4:2:0 to 4:4:4 (an FFmpeg without libx264 cannot write it).
  const std::string in =
      joined("format_change.ts", ts_part(320, 180, "yuv420p", 6, 0, "libx264"),
             ts_part(320, 180, "yuv444p", 4, 6, "libx264"));
  if (in.empty()) GTEST_SKIP() << "no H.264 encoder for 4:4:4";
  fixture::DecodedVideo v;
  ASSERT_TRUE(fixture::decode_video(in, &v));
  std::set<std::string> formats;
  for (const fixture::DecodedFrame &f : v.frames) formats.insert(f.pix_fmt);
  ASSERT_EQ(formats.size(), 2u) << "the fixture no longer changes format";
  expect_window(in, "across the change", 5000, 7000, 10);
}

TEST_F(PictureChange, VideoAfterTheStreamInfoReadIsExported) {
  // 12 s of sound before the first video packet: the stream-info read gives
  // up before it and leaves the header's picture size unknown.
  fixture::ClipSpec clip = ts_part(320, 180, "", 4, 0);
  clip.audio_stream_first = true;
  clip.video_start = int64_t{90000} * 12;
  const std::string in = scratch_dir() + "/late_video.ts";
  std::string err;
  ASSERT_TRUE(fixture::make_clip(in, clip, &err)) << err;
  const std::string probe = gifexport_probe(in.c_str());
  EXPECT_NE(probe.find("\"width\":0"), std::string::npos)
      << "the fixture no longer hides the size: " << probe;
  expect_window(in, "in the video", 13000, 14000, 10);
}

}  // namespace
