// SPDX-License-Identifier: MIT
// Test fixture support: synthetic media clips made at test time with the
// libav encoders and muxers, plus helpers that decode a file back to RGB
// frames and read the synthetic patterns out of those frames.
//
// Everything here uses only the libav* C APIs; nothing shells out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace fixture {

enum class Pattern {
  // Frame i shows i (mod 1024) as 10 full-height vertical bars, bit 9
  // leftmost .. bit 0 rightmost; black (luma 16) for 0, white (235) for 1.
  // Survives scaling, palette quantisation and dithering.
  IndexBars,
  // Quadrants: top-left red, top-right green, bottom-left blue, bottom-right
  // white, plus a small square moving near the centre so frames differ.
  Corners,
  // A colourful gradient that shifts every frame.
  Moving,
};

struct ClipSpec {
  // Muxer short name for avformat_alloc_output_context2: "mp4", "matroska",
  // "mpegts", "nut", "avi", "h264" (raw annex-b), "m4v" (raw MPEG-4 video),
  // "gif", ...
  std::string format = "mp4";
  // Video encoder name: "mpeg4", "libx264", "ffv1", "mjpeg", "gif", ...
  // Where FFmpeg has no libx264, "libx264" gives MPEG-4 video (same GOP
  // and B-frames) in every format but raw "h264", which then fails.
  std::string encoder = "mpeg4";
  // Encoder pixel format name ("yuv444p", "yuv420p10le", ...). Empty: pick
  // yuv420p when the encoder takes it (yuvj420p for mjpeg), else the
  // encoder's first format. Frames are drawn in yuv420p and converted.
  std::string pix_fmt;
  int width = 320, height = 240;
  int fps = 25;
  // If num != 0 this is the requested video stream time base (e.g. 1/90000,
  // 1/1000); otherwise 1/fps. Muxers may still impose their own (matroska
  // 1/1000, mpegts 1/90000); packets are rescaled to whatever they chose.
  AVRational time_base = {0, 1};
  // Number of video frames fed to the encoder. 0 is allowed, but of the
  // muxers here only avi reads back with an (empty) video stream: mp4 drops
  // the track, matroska, nut and mpegts files do not open.
  int frames = 50;
  // Variable frame rate: if non-empty it must hold `frames` strictly
  // increasing timestamps in the requested stream time base (see time_base).
  // The encoder then runs in that time base, so for mpeg4 its denominator
  // must be <= 65535 (use 1/1000, not 1/90000).
  std::vector<int64_t> frame_pts;
  // Duration of the last video packet in the requested time base; 0 for the
  // nominal 1/fps. A long one makes a still frame that lasts (for example an
  // hour-long slide).
  int64_t last_frame_duration = 0;
  Pattern pattern = Pattern::IndexBars;
  int gop = 12;          // key frame interval (scene-cut key frames are off)
  int max_b_frames = 0;  // B-frames (libx264, mpeg4)
  // Audio (a quiet 440 Hz sine as long as the video, 48 kHz mono where the
  // encoder allows). The encoder is audio_encoder if set, else the muxer's
  // default if that is aac, mp2 or pcm_s16le (mp4: aac, mpegts: mp2), else
  // the first of mp2, aac, pcm_s16le the muxer accepts (matroska, nut, avi:
  // mp2). Encoder priming is taken out of the timestamps, so audio starts at
  // pts_offset like the video. Raw elementary video formats take no audio.
  bool audio_stream_first = false;  // audio is stream 0, video stream 1
  bool audio_stream_last = false;   // audio after all video streams
  bool audio_only = false;  // only audio, about frames/fps seconds long
  std::string audio_encoder;
  // Another video stream after the first one, solid grey, same size and
  // encoder: only the first video stream should ever be used.
  bool second_video = false;
  // Video packets are handed to the muxer with pts = dts = AV_NOPTS_VALUE.
  // Raw elementary formats never store timestamps, so for them this flag
  // changes nothing, and what a reader sees depends on the demuxer:
  //  - "h264" (annex-b, libx264): decoded frames have pts, pkt_dts and
  //    best_effort_timestamp all AV_NOPTS_VALUE, with or without B-frames;
  //    no stream/container duration; pkt_duration is 1/fps (from the SPS
  //    timing) in a 1/1200000 time base. This is the pts-less fixture.
  //  - "m4v", "mjpeg": the demuxer invents pts 0, 1/fps, 2/fps, ...
  // Container muxers (matroska, mp4, nut, mpegts, avi) log a deprecation
  // warning and invent pts = dts = 0, 1, 2, ... ticks of the stream time
  // base (1 ms apart in matroska: broken timing, only avi comes out right),
  // and refuse packets as soon as B-frames are used.
  bool strip_timestamps = false;
  // Video packets are handed to the muxer without the key-frame flag, as
  // some containers store them: a reader then finds no packet marked key in
  // "matroska" (the "avi" demuxer's parser marks them again).
  bool no_key_flags = false;
  // Added to every video and audio timestamp: a stream that starts later
  // than 0. Counted in units of the requested video stream time base (see
  // time_base) and rescaled for each stream, so all streams shift by the
  // same amount of time.
  int64_t pts_offset = 0;
  // The video alone starts this much later than pts_offset (requested video
  // time base); the audio still starts at pts_offset and lasts to the
  // video's end, so an mpegts file's first video packet can come after more
  // sound than the stream-info read looks at.
  int64_t video_start = 0;
  // Video packets left out of the file, by their number in the order the
  // encoder gave them (0 is the first): a recording cut in the middle of a
  // group of pictures, or one whose key frame was lost.
  std::vector<int> dropped_video_packets;
  // Sample aspect ratio for encoder, stream and codec parameters; 0/1 unset.
  AVRational sar = {0, 1};
  // If non-zero or hflip: the video stream gets AV_PKT_DATA_DISPLAYMATRIX
  // side data built with av_display_rotation_set(rotation_deg) followed by
  // av_display_matrix_flip(hflip, 0). A viewer turns the stored picture
  // clockwise by rotation_deg and then mirrors it left-right. Note the sign:
  // av_display_rotation_get (and ffprobe's "rotation") reports the
  // counter-clockwise angle, i.e. -rotation_deg normalised to [-180, 180]
  // (90 -> -90, 180 -> -180, 270 -> 90). A phone clip tagged rotate=90 is
  // rotation_deg = 90. Only mp4/mov store it (as the tkhd matrix); matroska
  // drops it in this FFmpeg version.
  int rotation_deg = 0;
  bool hflip = false;
  // If >= 0, the finished file is truncated to this many bytes. Plain mp4
  // keeps its index at the end, so a truncated one does not open at all;
  // with muxer_options "movflags=+faststart" it opens and decodes up to the
  // cut. Truncated matroska and mpegts decode up to the cut.
  int64_t drop_after_bytes = -1;
  // Muxer private options as "key=value:key=value", e.g.
  // "movflags=+faststart" (mp4 index first, so a truncated mp4 still opens)
  // or "movflags=+frag_keyframe+empty_moov" (fragmented mp4).
  std::string muxer_options;
};

// Writes a clip as described. On failure returns false with a message in
// *err (when err is non-null); a partly written file may remain.
bool make_clip(const std::string &path, const ClipSpec &clip,
               std::string *err = nullptr);

// Reads an IndexBars frame back (tightly or loosely packed rgb24): averages a
// small area at the centre of each bar at mid-height, thresholds luma at 128.
int index_from_rgb(const uint8_t *rgb, int width, int height, int linesize);

enum class Corner { TopLeft, TopRight, BottomLeft, BottomRight };

// The colour of a Corners frame at a quadrant, sampled 1/4 width and height in
// from that corner: 'R', 'G', 'B' or 'W', or '?' if far from all four.
char corner_colour(const uint8_t *rgb, int width, int height, int linesize,
                   Corner c);

// Which corner of the stored picture a viewer sees at `shown` once the
// display matrix of a clip made with this rotation_deg and hflip is applied
// (rotation_deg a multiple of 90). E.g. rotation 90: the stored top-left is
// shown at the top right, so stored_corner_shown_at(TopRight, 90, false) is
// TopLeft.
Corner stored_corner_shown_at(Corner shown, int rotation_deg, bool hflip);

// The colour a correctly oriented Corners clip shows at `shown`.
char expected_corner_colour(Corner shown, int rotation_deg, bool hflip);

// Mean RGB over the square of half-size `radius` centred on (x, y), clipped
// to the frame.
void mean_rgb(const uint8_t *rgb, int width, int height, int linesize, int x,
              int y, int radius, double out[3]);

struct DecodedFrame {
  int width = 0, height = 0;
  // best_effort_timestamp, falling back to pts; AV_NOPTS_VALUE if unknown.
  int64_t pts = 0;
  int64_t frame_pts = AV_NOPTS_VALUE;  // AVFrame.pts as the decoder gave it
  int64_t pkt_dts = AV_NOPTS_VALUE;    // AVFrame.pkt_dts
  int64_t duration = 0;                // the decoded frame's duration (0 if unknown)
  bool key_frame = false;
  char pict_type = '?';  // 'I', 'P', 'B', ... (av_get_picture_type_char)
  std::string pix_fmt;   // the decoder's pixel format, e.g. "yuv420p"
  std::vector<uint8_t> rgb;  // tightly packed rgb24, width*3 bytes per row
};

struct DecodedVideo {
  std::string codec;   // decoder codec name, e.g. "gif", "h264"
  std::string format;  // demuxer name, e.g. "gif", "mov,mp4,m4a,3gp,3g2,mj2"
  AVRational time_base{0, 1};  // of the decoded stream; all times below
  int stream_width = 0, stream_height = 0;
  int stream_index = -1;
  int nb_streams = 0;
  AVRational sar{0, 1};             // stream (or codec) sample aspect ratio
  AVRational avg_frame_rate{0, 1};
  int64_t start_time = AV_NOPTS_VALUE;  // stream start_time
  // The input's start (AVFormatContext.start_time, in AV_TIME_BASE units):
  // the earliest of its streams, where a job's window counts from.
  int64_t input_start_time = AV_NOPTS_VALUE;
  int64_t duration = AV_NOPTS_VALUE;    // stream duration
  bool has_display_matrix = false;
  double rotation = 0;  // av_display_rotation_get of the display matrix
  // Damaged input: reading stopped on an error other than end of file, and
  // how many packets or frames the decoder refused.
  bool clean_eof = true;
  int decode_errors = 0;
  std::vector<DecodedFrame> frames;
};

// Decodes the first video stream that is not an attached picture of any file
// to rgb24 frames (libswscale, honouring the frame's colour range and
// matrix). Decode errors on single packets are skipped, as a player would.
// False on failure to open, find a stream or set up the decoder.
bool decode_video(const std::string &path, DecodedVideo *out,
                  std::string *err = nullptr);

// `bytes` pseudo-random bytes from a fixed generator seeded with `seed`.
bool make_random_file(const std::string &path, size_t bytes, unsigned seed);

// A matroska file with n_streams streams: stream 0 is a tiny mpeg4 video,
// the rest are titled pcm_s16le audio streams, each with one packet so that
// avformat_find_stream_info settles quickly. n_streams must be in 1..1000
// (1000 is avformat's default max_streams when reading).
bool make_many_streams(const std::string &path, int n_streams,
                       std::string *err = nullptr);

// A file with zero streams that avformat_open_input and
// avformat_find_stream_info accept: an "ffmetadata" text file with a title
// and one chapter (the only muxer here that allows no streams).
bool make_no_streams(const std::string &path, std::string *err = nullptr);

}  // namespace fixture
