// SPDX-License-Identifier: MIT
// Window milliseconds and stream timestamps, converted both ways with
// timestamps and start times from a crafted file near the 64-bit limits: the
// results saturate instead of overflowing.
#include <gtest/gtest.h>

#include <cstdint>

#include "worker/worker_run.h"

namespace {

struct TimeCase {
  AVRational time_base;
  int64_t input_start_ms;
  int64_t ts;       // for the conversion to window ms
  int64_t ts_ms;    // its expected window ms
  int64_t ms;       // for the conversion to a stream timestamp
  int64_t ms_ts;    // its expected timestamp
};

TEST(WindowTime, SaturatesAtTheLimits) {
  const TimeCase cases[] = {
      // An ordinary transport stream: 90 kHz, timestamps from 1.4 s.
      {{1, 90000}, 1400, 126000 + 90000, 1000, 1000, 216000},
      // A timestamp whose milliseconds do not fit: the rescale answers
      // INT64_MIN, from which the start is not subtracted again.
      {{1, 1}, 1000, INT64_MAX, INT64_MIN, 0, 1},
      // A start time near the top: window ms added to it stop at the limit.
      {{1, 1000}, INT64_MAX - 10, INT64_MAX, 10, 1000, INT64_MAX},
      // A start time near the bottom, a timestamp near the top.
      {{1, 1000}, INT64_MIN + 10, INT64_MAX - 5, INT64_MAX, -5000, INT64_MIN + 1},
  };
  for (const TimeCase &c : cases) {
    AVStream video{};
    video.time_base = c.time_base;
    ge_run r;
    r.video = &video;
    r.input_start_ms = c.input_start_ms;
    EXPECT_EQ(ge_stream_ts_to_window_ms(r, c.ts), c.ts_ms) << c.ts;
    EXPECT_EQ(ge_window_ms_to_stream_ts(r, c.ms), c.ms_ts) << c.ms;
  }
}

// The GIF slot of a timestamp, exact in any time base: halves go up, as the
// rate stage rounds, and crafted timestamps saturate.
TEST(WindowTime, GifSlotsAreExact) {
  const struct {
    AVRational time_base;
    int64_t input_start_ms, start_ms;
    int fps;
    int64_t ts, slot;
  } cases[] = {
      // A slide show in seconds: 2 s and 3 s around a window from 2.5 s.
      {{1, 1}, 0, 2500, 10, 2, -5},
      {{1, 1}, 0, 2500, 10, 3, 5},
      // 90 kHz from 1.4 s: 33 1/3 ms into the window is half a slot at 15 fps.
      {{1, 90000}, 1400, 1000, 15, 219000, 1},
      {{1, 90000}, 1400, 1000, 15, 218999, 0},
      // A frame a tick of 1/25 s: 1040 ms is 10 ms into a window from 1030.
      {{1, 25}, 0, 1030, 15, 26, 0},
      {{1, 25}, 0, 1030, 15, 27, 1},
      {{1, 1}, 0, 1000, 30, INT64_MAX, INT64_MAX},
      {{1, 1}, 0, 1000, 30, INT64_MIN, INT64_MIN},
  };
  for (const auto &c : cases) {
    AVStream video{};
    video.time_base = c.time_base;
    ge_session s{};
    s.start_ms = c.start_ms;
    s.fps = c.fps;
    ge_run r;
    r.s = &s;
    r.video = &video;
    r.input_start_ms = c.input_start_ms;
    EXPECT_EQ(ge_gif_slot(r, c.ts), c.slot) << c.ts << " in 1/" << c.time_base.den;
  }
}

}  // namespace
