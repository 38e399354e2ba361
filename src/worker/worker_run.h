// SPDX-License-Identifier: MIT
// What one run of the worker holds, shared by its stages.
#pragma once

#include <atomic>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "session/session_table.h"
#include "worker/filter_texts.h"
#include "worker/output_target.h"

// Every FFmpeg object of a job, each in one place: empty when the run begins,
// released together by ge_media_release whatever the ending.
struct ge_media {
  AVFormatContext *in_ctx = nullptr;
  AVCodecContext *dec_ctx = nullptr;
  AVFilterGraph *graph = nullptr;
  AVFilterContext *buffersrc_ctx = nullptr;   // owned by graph
  AVFilterContext *buffersink_ctx = nullptr;  // owned by graph
  AVFilterContext *palettesrc_ctx = nullptr;  // owned by graph; second pass only
  AVFrame *frame = nullptr;
  // A decoded picture of another size or format than the graph's source,
  // converted to the source's (see frame_fit.cpp), and the converter.
  AVFrame *fitted = nullptr;
  SwsContext *fit_ctx = nullptr;
  AVFrame *filt_frame = nullptr;
  AVFrame *palette = nullptr;  // the first pass's palette, for the second
  // The latest frame before the window's start: the picture on screen when
  // the window begins, fed at its start unless a frame lies exactly there.
  AVFrame *on_screen = nullptr;
  AVPacket *in_pkt = nullptr;
  AVPacket *out_pkt = nullptr;
  AVCodecContext *enc_ctx = nullptr;
  AVFormatContext *out_ctx = nullptr;
  // True from a written header until the trailer has been asked for: the
  // muxer then holds state (a packet) that only its trailer releases.
  bool muxer_open = false;
};

// Releases, in this fixed order, each object that exists.
void ge_media_release(ge_media *m);

// True when the output file is open (the muxer needs a file and pb is set).
bool ge_output_file_open(const ge_media *m);

// Closes the output file if it is open. Returns false when the close, or a
// write made before it, failed.
bool ge_close_output_file(ge_media *m);

// Lets a muxer whose header was written release what it holds, on an ending
// whose file is removed anyway.
void ge_abandon_muxer(ge_media *m);

// How a stage ends: on to the next stage, or into an ending.
enum class ge_step { ok, cancelled, failed };

// Where reading stands after the input was opened or sought, and the checks
// its first packets and frame still have to pass.
struct ge_read_start {
  // Video packets are dropped until the first key frame: a decoder started
  // without its key frame draws garbage.
  bool await_key = false;
  // After a seek: the run seeks further back if a packet before that key
  // frame is shown in the window or the key frame after its start.
  bool check_packets = false;
  // After a seek: the first frame decoded must not lie after the window's
  // start, or the run seeks further back.
  bool check_first_frame = false;
  // Reading began at the input's very start (no seek was made).
  bool at_input_start = false;
  // Every packet of the codec is a key frame, whatever the container says.
  bool intra_only = false;
  // A video packet was dropped while waiting for the key frame.
  bool dropped_before_key = false;
  // Further seeks made so far.
  int retries = 0;
};

// The size, pixel format and colour properties of the graph's source, taken
// from the first picture of the window, and its display aspect.
struct ge_source_picture {
  int width = 0, height = 0, format = -1;
  AVRational sample_aspect{0, 1};
  AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
  AVColorRange color_range = AVCOL_RANGE_UNSPECIFIED;
  AVColorPrimaries color_primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic color_trc = AVCOL_TRC_UNSPECIFIED;
  AVChromaLocation chroma_location = AVCHROMA_LOC_UNSPECIFIED;
};

struct ge_run {
  ge_session *s = nullptr;
  ge_media m;
  AVStream *video = nullptr;
  int video_index = -1;
  int64_t run_start_us = 0;
  // Start of the input's timeline in milliseconds: the window and every frame
  // time count from here, so inputs whose timestamps begin late (transport
  // streams) are addressed from their beginning.
  int64_t input_start_ms = 0;
  const char *failure = nullptr;  // the failure text when a stage fails
  ge_output_target out;            // where the GIF is written, and where it goes
  // The picture the filter graph is built for: the first picture the window
  // shows. Later pictures of another size or format are converted to it.
  ge_source_picture source;
  // A long job runs in two passes over the window (see ge_run_two_passes),
  // decided once its first picture shows the size; in the second, each frame
  // fed to the graph goes on to the encoder at once and the progress through
  // the window is not counted again.
  bool two_passes = false;
  bool second_pass = false;
  // Where reading began (after the open or a seek) and what is still to be
  // checked about it; see window_seek.cpp.
  ge_read_start read;
};

inline ge_step ge_fail(ge_run &r, const char *text) {
  r.failure = text;
  return ge_step::failed;
}

inline bool ge_cancel_requested(const ge_run &r) {
  return r.s->cancel.load(std::memory_order_relaxed) != 0;
}

// FFmpeg's interrupt callback for the job's input and output, asked between
// reads and writes: once the host cancels (or frees) the job, a read or write
// that waits gives up with AVERROR_EXIT, and the job ends cancelled.
inline int ge_cancel_interrupt_cb(void *session) {
  return static_cast<const ge_session *>(session)->cancel.load(std::memory_order_relaxed) != 0;
}
inline AVIOInterruptCB ge_cancel_interrupt(const ge_run &r) {
  return AVIOInterruptCB{ge_cancel_interrupt_cb, r.s};
}

// Window milliseconds (from the input's beginning) to a timestamp in the
// video stream's time base, rounded to the nearest tick (for seek targets),
// and back, rounded to the nearest millisecond (a frame's window time).
int64_t ge_window_ms_to_stream_ts(const ge_run &r, int64_t ms);
int64_t ge_stream_ts_to_window_ms(const ge_run &r, int64_t ts);
// The GIF frame slot in which a stream timestamp lands: (t - start) * fps /
// 1000 for its exact time t in ms from the input's start, rounded to the
// nearest, halves away from zero as the rate stage rounds. Computed from the
// tick itself, never from a rounded time; saturates on crafted timestamps.
int64_t ge_gif_slot(const ge_run &r, int64_t ts);
// The slot of the window's end: (end - start) * fps / 1000, rounded so.
int64_t ge_window_end_slot(const ge_run &r);

// Stage 7: asks the demuxer for a position at or before the window's start
// (only for a start above 0) and arms the checks of where it landed. A seek
// that fails is no landing: the input is then read from its very start.
ge_step ge_seek_to_window_start(ge_run &r);
// Whether a video packet read after the open or a seek goes to the decoder
// (*decode). It does not when it comes before the first key frame, or when it
// shows that decoding from there would miss frames of the window, in which
// case reading has been moved further back (which can fail).
ge_step ge_check_video_packet(ge_run &r, const AVPacket *pkt, bool *decode);
// At the end of the input: when it came while packets were dropped awaiting a
// key frame, reading has been moved (*reread) and goes on.
ge_step ge_check_input_end(ge_run &r, bool *reread);
// Checks the first frame decoded after a seek: when it lies after the
// window's start, reading has been moved further back (*reread) and the frame
// is to be dropped.
ge_step ge_check_first_frame(ge_run &r, int64_t frame_ms, bool *reread);

// Bytes of the output frames a `whole` graph would hold for this job: every
// frame of the window at output size in BGRA (from r.source).
int64_t ge_held_frames_bytes(const ge_run &r);

// Stages 3 to 6: opens the input (closing any earlier one) and its decoder,
// and forgets where reading stood.
ge_step ge_open_input_and_decoder(ge_run &r);
// Stages 3 to 7: opens the input and its decoder and seeks towards the
// window's start.
ge_step ge_open_source(ge_run &r);
// Stage 9: the frame and packet objects that serve the whole job.
ge_step ge_alloc_frames_and_packets(ge_run &r);
// Builds (or rebuilds, for a second pass) the filter graph of `kind` for the
// source picture r.source. Its buffer source takes frames stamped in GIF
// frame slots (time base 1/fps).
ge_step ge_build_filter_graph(ge_run &r, ge_chain_kind kind);
// On the window's first picture: takes its size, format and aspect as the
// source picture, decides between one pass and two from the size, and builds
// the graph for the first pass.
ge_step ge_start_graph(ge_run &r, const AVFrame *first);
// The frame as the graph's source takes it: the frame itself when it has the
// source's size and format, else a conversion to them (m.fitted), with the
// frame's timing and the source's colour properties. Null when the
// conversion failed (r.failure says why).
AVFrame *ge_fit_to_source(ge_run &r, AVFrame *frame);
ge_step ge_decode_phase(ge_run &r);
// Encodes and writes every frame the graph has ready, polling cancel after
// each; the encoder and output are made on the first.
ge_step ge_encode_ready_frames(ge_run &r);
// Ends with the finished, closed and measured file; the caller stores DONE.
ge_step ge_encode_phase(ge_run &r);
// A job over the budget: a first pass decodes the window into the palette
// alone and keeps it; a second decodes it again and maps and encodes each
// frame as it comes. Ends like ge_encode_phase.
ge_step ge_run_two_passes(ge_run &r);
