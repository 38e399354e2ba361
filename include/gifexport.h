/*
 * velquart-gifexport: turn a stretch of a video file into an animated GIF.
 *
 * Eight flat functions. A job is started with gifexport_start, runs on a
 * thread of its own in one of two session slots, is followed with
 * gifexport_status / gifexport_progress / gifexport_result, may be stopped
 * with gifexport_cancel and is always released with gifexport_free.
 *
 * Every text returned is NUL-terminated valid UTF-8 JSON (the version: plain
 * text), owned by the library. The pointer stays valid while the library is
 * loaded; the text it points to is replaced by the next call of the same
 * function (for the same id) and cleared when a new job claims the slot, so
 * copy what you keep. Never free it and never write through it.
 *
 * Paths are UTF-8 byte strings naming local files; a leading "file:" is read
 * as the path after it, and nothing else is taken as a URL. The failure texts
 * of a failed job are listed with their meaning in the README ("Failure
 * texts"). The library takes no locks, so a host keeps four rules:
 *   - calls of gifexport_start do not overlap one another;
 *   - calls of gifexport_free for the same id do not overlap one another;
 *   - calls of one report function for the same id do not overlap one another;
 *   - every started job is freed before the library is unloaded.
 *
 * Copyright 2026 The velquart-gifexport authors.
 * SPDX-License-Identifier: MIT
 */
#ifndef GIFEXPORT_H
#define GIFEXPORT_H

#include <stdint.h>

#if !defined(_WIN32)
#  define GIFEXPORT_API __attribute__((visibility("default")))
#elif defined(GIFEXPORT_BUILD)
#  define GIFEXPORT_API __declspec(dllexport)
#else
#  define GIFEXPORT_API __declspec(dllimport)
#endif

/* The platform's standard calling convention for all eight functions (on
 * 64-bit Windows there is only one; __stdcall would decorate 32-bit names). */
#define GIFEXPORT_CALL

#ifdef __cplusplus
extern "C" {
#endif

/* Results of gifexport_start. */
#define GIFEXPORT_ERR_ARGS     (-1) /* bad path, negative start, or empty window */
#define GIFEXPORT_ERR_BUSY     (-2) /* both slots claimed (ended jobs count until freed) */
#define GIFEXPORT_ERR_OPEN     (-3) /* input cannot be opened or analysed */
#define GIFEXPORT_ERR_THREAD   (-4) /* the worker thread cannot be started */
#define GIFEXPORT_ERR_NO_VIDEO (-5) /* the input has no video stream */

/* Job states returned by gifexport_status (1 is never used). */
#define GIFEXPORT_STATE_PENDING   0
#define GIFEXPORT_STATE_RUNNING   2
#define GIFEXPORT_STATE_DONE      3
#define GIFEXPORT_STATE_CANCELLED 4
#define GIFEXPORT_STATE_FAILED    5

/** Describes a media file: {"ok":true,"duration_ms":..,"format":"..","streams":[..]}
 *  or {"ok":false,"error":".."}. Blocks while the file is opened and analysed.
 *  Ownership: one static buffer shared by all callers, replaced by the next
 *  probe call. Threads: any, but probe calls must not overlap, and a caller
 *  must be done with the text before the next probe call. Never null. */
GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_probe(const char *path);

/** Starts a job converting [start_ms, end_ms) of in_path into the GIF out_path.
 *  end_ms < 0 means the end of the input; the window is cut to the input's
 *  duration and to 60000 ms. width (64..1920, <= 0 gives 480) and fps
 *  (1..30, <= 0 gives 15) are clamped. Both paths are copied; at most 1198
 *  bytes each. Blocks while the input is opened and checked.
 *  The GIF's first frame is the picture on screen at start_ms: the last
 *  video frame before it unless one lies exactly there, so a window inside a
 *  still stretch of variable-rate video shows that picture throughout. A
 *  frame at time t (ms from the input's start, exact in any time base)
 *  lands in GIF slot round((t - start_ms) * fps / 1000), halves up; GIF
 *  frame k shows the latest picture whose time rounds to slot k or less.
 *  Where nothing decodable is on screen (before an input's first key
 *  frame), the GIF begins with the first picture that is. The GIF takes the
 *  size of the window's first picture; pictures of another size or pixel
 *  format later in the window are converted to it.
 *  Memory is bounded: a job whose output frames would take more than 1 GiB
 *  (frames x width x height x 4) reads its window twice, first for the
 *  palette, then to map and write each frame; the GIF is the same, the
 *  window is decoded twice. Its progress reports "decode" for the first
 *  pass and "encode" for the second. See the README's "Memory".
 *  Returns the session id (0 or 1) or a GIFEXPORT_ERR_* code. An output path
 *  naming the same file as the input, or a FIFO or socket, is refused with
 *  GIFEXPORT_ERR_ARGS; so is an input whose container reports no duration.
 *  Only regular files are read: an input that is a FIFO, socket, device or
 *  folder, or a list or playlist naming one, is refused with
 *  GIFEXPORT_ERR_OPEN.
 *  The output path belongs to the job: unless the job ends done, any file
 *  there is removed. The GIF is written to a temporary file beside it and
 *  moved there once complete. Threads: any, but start calls must not overlap. */
GIFEXPORT_API int GIFEXPORT_CALL gifexport_start(const char *in_path, const char *out_path,
                                                 int64_t start_ms, int64_t end_ms,
                                                 int width, int fps);

/** The job's state (0 pending, 2 running, 3 done, 4 cancelled, 5 failed), or -1
 *  for a bad id (not 0 or 1, or not claimed). Never blocks. Threads: any. */
GIFEXPORT_API int GIFEXPORT_CALL gifexport_status(int id);

/** Progress as JSON: {"state":..,"percent":..,"phase":"decode|encode",
 *  "processed_ms":..,"total_ms":..,"frames":..}; {"error":"bad id"} for a bad id.
 *  Ownership: the slot's own buffer, rewritten by the next progress call for
 *  this id and cleared when the slot is claimed again. Threads: any; calls for
 *  the same id must not overlap. Never null, never blocks. */
GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_progress(int id);

/** Result as JSON: {"state":5,"ok":false,"error":".."} for a failed job,
 *  otherwise {"state":..,"ok":..,"out_path":"..","out_size_bytes":..,"width":..,
 *  "height":..,"fps":..,"frames":..,"duration_ms":..,"elapsed_ms":..};
 *  {"error":"bad id"} for a bad id. Ownership and threads as gifexport_progress. */
GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_result(int id);

/** Asks the job to stop at its next cancel point, or in the read or write it
 *  is in; returns at once. A bad id does nothing. Threads: any, may overlap
 *  anything. */
GIFEXPORT_API void GIFEXPORT_CALL gifexport_cancel(int id);

/** Ends the job and releases its slot: asks it to stop, waits for its thread
 *  without a time limit, removes the output file unless the job ended done.
 *  Afterwards the id is bad. A bad id does nothing. Threads: any, but frees of
 *  the same id must not overlap. */
GIFEXPORT_API void GIFEXPORT_CALL gifexport_free(int id);

/** The version text, "1.0.0 (libavfilter X.Y.Z)" with the libavfilter version
 *  the library was built against. Ownership: a static buffer; always the same
 *  pointer and text. Threads: any. */
GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_version(void);

#ifdef __cplusplus
}
#endif

#endif /* GIFEXPORT_H */
