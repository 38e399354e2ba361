// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <climits>

extern "C" {
#include <libavutil/avutil.h>
}

#include "report/job_reports.h"
#include "session/job_start.h"

namespace {

TEST(Clamp, WidthTable) {
  const struct { int in, out; } cases[] = {
      {-5, 480}, {0, 480}, {1, 64}, {63, 64}, {64, 64}, {1920, 1920}, {1921, 1920},
      {INT_MIN, 480}, {INT_MAX, 1920}, {777, 777}};
  for (const auto &c : cases) EXPECT_EQ(ge_clamp_width(c.in), c.out) << c.in;
}

TEST(Clamp, FpsTable) {
  const struct { int in, out; } cases[] = {
      {-1, 15}, {0, 15}, {1, 1}, {30, 30}, {31, 30}, {INT_MIN, 15}, {INT_MAX, 30}, {12, 12}};
  for (const auto &c : cases) EXPECT_EQ(ge_clamp_fps(c.in), c.out) << c.in;
}

TEST(Duration, MicrosecondsTruncateAndUnknownIsZero) {
  EXPECT_EQ(ge_duration_ms(AV_NOPTS_VALUE), 0);
  EXPECT_EQ(ge_duration_ms(1999), 1);
  EXPECT_EQ(ge_duration_ms(999), 0);
  EXPECT_EQ(ge_duration_ms(10000000), 10000);
}

TEST(Window, FittingTable) {
  const struct {
    int64_t start, end, duration;
    bool ok;
    int64_t fitted_end;
  } cases[] = {
      {2000, -1, 10000, true, 10000},     // negative end: to the end
      {2000, 20000, 10000, true, 10000},  // beyond the end: to the end
      {2000, 5000, 10000, true, 5000},
      {2000, 10000, 10000, true, 10000},  // an end at the duration is the duration
      {2000, 2000, 10000, false, 0},      // end equal to start
      {2000, 0, 10000, false, 0},         // end 0
      {10000, -1, 10000, false, 0},       // start at the duration
      {12000, -1, 10000, false, 0},       // start beyond it
      {0, 5000, 0, false, 0},             // no duration: every window is empty
      {0, -1, 0, false, 0},
      {0, 60000, 120000, true, 60000},  // exactly 60 s stays whole
      {0, 60001, 120000, true, 60000},  // longer windows are cut from the end
      {0, -1, 120000, true, 60000},
      {30000, -1, 120000, true, 90000},  // the start is never moved
  };
  for (const auto &c : cases) {
    int64_t end = -42;
    EXPECT_EQ(ge_fit_window(c.start, c.end, c.duration, &end), c.ok)
        << c.start << ".." << c.end << " of " << c.duration;
    if (c.ok) {
      EXPECT_EQ(end, c.fitted_end) << c.start << ".." << c.end << " of " << c.duration;
    }
  }
}

TEST(Percent, Table) {
  const struct {
    int32_t state;
    int64_t processed, start, total;
    double percent;
  } cases[] = {
      {2, 0, 2000, 5000, 0.0},        // before the first frame, whatever the start
      {2, 4500, 2000, 5000, 50.0},    // window 2000..7000, latest frame at 4.5 s
      {2, 1000, 2000, 5000, 0.0},     // below the start counts as 0
      {2, 9000, 2000, 5000, 100.0},   // clipped
      {3, 0, 0, 5000, 100.0},         // done is 100 whatever was processed
      {5, 2500, 0, 5000, 50.0},       // failed keeps what it reached
      {2, 10, 0, 0, 100.0},           // a zero total divides by 1
  };
  for (const auto &c : cases)
    EXPECT_DOUBLE_EQ(ge_window_percent(c.state, c.processed, c.start, c.total), c.percent)
        << c.state << " " << c.processed << " " << c.start << " " << c.total;
}

}  // namespace
