// SPDX-License-Identifier: MIT
// Real media that nobody here made: every probe is valid JSON, and a few
// files of awkward kinds run through a whole job to a final state.
#include <nlohmann/json.hpp>

#include <algorithm>


#include "api/api_fixture.h"
#include "support/test_platform.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using apitest::ApiTest;
using nlohmann::json;

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  for (const std::string &name : testplat::list_dir(GIFEXPORT_CORPUS_DIR))
    if (name[0] != '.' && name != "MANIFEST.md") files.push_back(name);
  std::sort(files.begin(), files.end());
  return files;
}

TEST_F(ApiTest, CorpusProbesAreValidJson) {
  const auto files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << GIFEXPORT_CORPUS_DIR;
  for (const std::string &name : files) {
    const std::string path = std::string(GIFEXPORT_CORPUS_DIR) + "/" + name;
    const std::string text = gifexport_probe(path.c_str());
    EXPECT_NO_THROW(json::parse(text)) << name << ": " << text;
  }
}

struct CorpusCase {
  const char *file;
  int start_code;   // expected gifexport_start result (0 for a job)
  int final_state;  // when started
  int gif_height = 0;  // of a done job's 480 px GIF; 0 when not checked
  const char *error = "";  // of a failed job
  // A codec that only some FFmpeg versions decode (VVC since 7.0): where the
  // FFmpeg in use has no decoder for it, the job fails with "no decoder"
  // instead of ending as above.
  AVCodecID needs_decoder = AV_CODEC_ID_NONE;
};

const CorpusCase kCorpusJobs[] = {
    // Shown upright and in display proportions, as a player shows them.
    {"h264_rotate_reflect.mp4", 0, GIFEXPORT_STATE_DONE, 720},
    {"dv_pal_interlaced.dv", 0, GIFEXPORT_STATE_DONE, 270},
    {"vp9_10bit_426x240.webm", 0, GIFEXPORT_STATE_DONE},
    {"hevc_10bit_audio_first.mp4", 0, GIFEXPORT_STATE_DONE},
    {"h264_vfr_audio_first.mp4", 0, GIFEXPORT_STATE_DONE},
    {"h264_854x480.ts", 0, GIFEXPORT_STATE_DONE, 270},  // timestamps start at 1.467 s
    {"mkv_truncated.mkv", 0, GIFEXPORT_STATE_DONE},
    // Its packets carry decoding times only: frames are timed by them.
    {"vc1_1280x720.wmv", 0, GIFEXPORT_STATE_DONE, 270},
    // One frame, no packet duration, a nominal rate of 1000 fps: shown once.
    {"vp8_8x8_1frame.webm", 0, GIFEXPORT_STATE_DONE, 480},
    // Damaged: no frame decodes, so the window shows nothing.
    {"vp9_invalid_bitstream.webm", 0, GIFEXPORT_STATE_FAILED, 0, "no frames in segment"},
    {"vvc_unsupported.mp4", 0, GIFEXPORT_STATE_DONE, 270, "", AV_CODEC_ID_VVC},
    {"audio_pcm.wav", GIFEXPORT_ERR_NO_VIDEO, 0},
    {"empty.mp4", GIFEXPORT_ERR_OPEN, 0},
    {"h264_annexb_sar80x33.264", GIFEXPORT_ERR_ARGS, 0},  // no container duration
};

class Corpus : public ApiTest, public ::testing::WithParamInterface<CorpusCase> {};

TEST_P(Corpus, JobEndsSensibly) {
  const CorpusCase &c = GetParam();
  const std::string in = std::string(GIFEXPORT_CORPUS_DIR) + "/" + c.file;
  if (!apitest::file_exists(in)) GTEST_SKIP() << "corpus file missing";
  const std::string out = apitest::scratch_path("corpus.gif");
  const int id = gifexport_start(in.c_str(), out.c_str(), 0, 3000, 0, 0);
  ASSERT_EQ(id < 0 ? id : 0, c.start_code);
  if (id < 0) return;
  const bool decodable =
      c.needs_decoder == AV_CODEC_ID_NONE || avcodec_find_decoder(c.needs_decoder) != nullptr;
  const int final_state = decodable ? c.final_state : GIFEXPORT_STATE_FAILED;
  const std::string error = decodable ? c.error : "no decoder";
  const int status = apitest::wait_final(id);
  const std::string result = gifexport_result(id);
  EXPECT_EQ(status, final_state) << result;
  if (status == GIFEXPORT_STATE_FAILED) {
    EXPECT_EQ(nlohmann::json::parse(result)["error"], error);
  }
  if (status == GIFEXPORT_STATE_DONE) {
    fixture::DecodedVideo gif;
    ASSERT_TRUE(fixture::decode_video(out, &gif));
    EXPECT_EQ(gif.stream_width, 480);
    if (c.gif_height > 0) {
      EXPECT_EQ(gif.stream_height, c.gif_height);
    }
    EXPECT_GT(gif.frames.size(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, Corpus, ::testing::ValuesIn(kCorpusJobs),
                         [](const auto &info) {
                           std::string n = info.param.file;
                           for (char &ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// A screen recording stores a frame only when the picture changes: this one
// has frames at 0.00 s and then none until 6.19 s. A window inside that gap,
// or starting in it, shows the picture on screen for the whole window.
TEST_F(ApiTest, VariableRateRecordingShowsThePictureOnScreenForTheWholeWindow) {
  const std::string in = std::string(GIFEXPORT_CORPUS_DIR) + "/h264_vfr_audio_first.mp4";
  if (!apitest::file_exists(in)) GTEST_SKIP() << "corpus file missing";
  const struct {
    int64_t start_ms, end_ms;
  } windows[] = {{1000, 3000}, {5000, 8000}};
  for (const auto &w : windows) {
    SCOPED_TRACE(std::to_string(w.start_ms) + ".." + std::to_string(w.end_ms));
    const std::string out = apitest::scratch_path("vfr_gap.gif");
    const apitest::JobEnd end = apitest::run_job(in, out, w.start_ms, w.end_ms, 160, 15);
    ASSERT_EQ(end.status, GIFEXPORT_STATE_DONE) << gifexport_result(end.id);
    const json result = json::parse(gifexport_result(end.id));
    gifexport_free(end.id);
    const int64_t frames = (w.end_ms - w.start_ms) * 15 / 1000;
    EXPECT_EQ(result["frames"], frames);
    fixture::DecodedVideo gif;
    ASSERT_TRUE(fixture::decode_video(out, &gif));
    ASSERT_EQ(static_cast<int64_t>(gif.frames.size()), frames);
    // The GIF lasts the window: its last frame ends at the window's length
    // (GIF delays count in hundredths, so within one of them per frame).
    const fixture::DecodedFrame &last = gif.frames.back();
    const int64_t shown_ms =
        av_rescale_q(last.pts + last.duration, gif.time_base, AVRational{1, 1000});
    EXPECT_NEAR(shown_ms, w.end_ms - w.start_ms, frames * 10);
  }
}

}  // namespace
