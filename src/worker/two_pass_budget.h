// SPDX-License-Identifier: MIT
// The one setting that decides whether a job runs in one pass or two, and
// the count that shows which way jobs ran. The budget is a library constant;
// the tests and the fuzzer lower it (0 forces two passes) through
// ge_set_held_frames_budget, from outside the worker.
#pragma once

#include <cstdint>

// 1 GiB of held frames: 60 s of 1080p at 480 px and 15 fps (444 MiB) stays in
// one pass, and the largest one-pass job peaks near 1.3 GiB resident.
constexpr int64_t GE_HELD_FRAMES_BUDGET = int64_t{1} << 30;

// Above this many held bytes a job runs in two passes. Read when a job's
// first frame is decoded.
int64_t ge_held_frames_budget();
// Sets the budget for the jobs started from now on.
void ge_set_held_frames_budget(int64_t bytes);

// Jobs of this process that went on to a second pass over their window.
int64_t ge_second_passes();
// Counts one more; the worker's, when a second pass begins.
void ge_count_second_pass();
