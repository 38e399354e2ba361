// SPDX-License-Identifier: MIT
// Decoding begins at a key frame: a window with nothing decodable on screen
// ends "no frames in segment" rather than as a GIF of grey blocks, however far
// in the first key frame lies; only an input that marks no key frame at all
// is decoded without one.
#include <gtest/gtest.h>

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

class KeyFrames : public window_frames::JobTest {};

// An MPEG-4 part 2 barcode clip, 25 frames a second, in Matroska unless
// told otherwise.
fixture::ClipSpec mpeg4_clip(int seconds, int gop, const char *format = "matroska") {
  fixture::ClipSpec clip;
  clip.format = format;
  clip.encoder = "mpeg4";
  clip.frames = 25 * seconds;
  clip.gop = gop;
  clip.width = 160;
  clip.height = 90;
  return clip;
}

// The frames a player shows: none before the first key frame.
std::vector<SourceFrame> decodable_frames(const std::string &in) {
  fixture::DecodedVideo v;
  EXPECT_TRUE(fixture::decode_video(in, &v));
  std::vector<SourceFrame> frames = source_frames(in);
  size_t first_key = 0;
  while (first_key < v.frames.size() && !v.frames[first_key].key_frame) ++first_key;
  EXPECT_EQ(frames.size(), v.frames.size());
  frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(first_key));
  return frames;
}

// The final state and result of a job on the window.
std::pair<int, std::string> run_job(const std::string &in, int64_t start_ms, int64_t end_ms) {
  const std::string out = scratch_dir() + "/out.gif";
  const int id = gifexport_start(in.c_str(), out.c_str(), start_ms, end_ms, 96, 10);
  EXPECT_EQ(id, 0);
  if (id < 0) return {id, ""};
  const int state = testjob::wait_final(id);
  const std::string result = gifexport_result(id);
  gifexport_free(id);
  return {state, result};
}

// A recording whose first key frame is far in: 60 s with a key frame every
// 24 s, the first 100 packets and the key frame at 24 s lost, so that the
// first key frame is at 48 s. A window before it has nothing to show; one
// after it shows the pictures from there.
TEST_F(KeyFrames, AWindowBeforeTheFirstKeyFrameHasNoFrames) {
  fixture::ClipSpec clip = mpeg4_clip(60, 600);
  for (int i = 0; i < 100; ++i) clip.dropped_video_packets.push_back(i);
  clip.dropped_video_packets.push_back(600);
  const std::string in = cached_clip("late_key.mkv", clip);
  ASSERT_FALSE(in.empty());
  for (const int64_t start : {10000, 30000}) {
    const auto [state, result] = run_job(in, start, start + 1000);
    EXPECT_EQ(state, GIFEXPORT_STATE_FAILED) << result;
    EXPECT_NE(result.find("no frames in segment"), std::string::npos) << result;
  }
  const std::vector<SourceFrame> source = decodable_frames(in);
  window_frames::expect_window(in, source, scratch_dir() + "/out.gif", "after the key frame", 50000,
                               51000, 10);
}

// Cut in the middle of a group of pictures: the GIF of a window from the
// input's start begins at the first key frame, never with the pictures that
// refer to what was cut away.
TEST_F(KeyFrames, AWindowFromTheStartBeginsAtTheFirstKeyFrame) {
  fixture::ClipSpec clip = mpeg4_clip(3, 25);
  for (int i = 0; i < 10; ++i) clip.dropped_video_packets.push_back(i);
  const std::string in = cached_clip("cut_mid_gop.mkv", clip);
  ASSERT_FALSE(in.empty());
  const std::vector<SourceFrame> source = decodable_frames(in);
  ASSERT_FALSE(source.empty());
  ASSERT_EQ(source.front().index, 25) << "the first key frame";
  window_frames::expect_window(in, source, scratch_dir() + "/out.gif", "from 0", 0, 2000, 10);
}

// An input that marks no key frame at all is decoded as it comes, also for
// a window at its very end, which it reaches only by reading it to the end.
TEST_F(KeyFrames, AnInputWithoutKeyFramesIsDecodedAsItComes) {
  // NUT, since Matroska's reader marks MPEG-4 key frames again from the
  // pictures themselves.
  fixture::ClipSpec clip = mpeg4_clip(60, 25, "nut");
  clip.no_key_flags = true;
  const std::string in = cached_clip("keyless.nut", clip);
  ASSERT_FALSE(in.empty());
  const std::vector<SourceFrame> source = source_frames(in);
  const std::string out = scratch_dir() + "/out.gif";
  window_frames::expect_window(in, source, out, "at the end", 59000, 60000, 10);
  window_frames::expect_window(in, source, out, "in the middle", 30000, 31000, 10, false);
}

}  // namespace
