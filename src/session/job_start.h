// SPDX-License-Identifier: MIT
// Parameter rules of a job start, kept apart so they can be tested directly.
#pragma once

#include <cstdint>

// Width in pixels: <= 0 gives 480, otherwise clamped to 64..1920.
int32_t ge_clamp_width(int requested);

// Frames per second: <= 0 gives 15, otherwise clamped to 1..30.
int32_t ge_clamp_fps(int requested);

// Duration of an input in milliseconds from a container duration in
// microseconds; AV_NOPTS_VALUE (unknown) counts as 0.
int64_t ge_duration_ms(int64_t container_duration_us);

// Fits the window [start_ms, requested_end_ms) to an input of duration_ms:
// a negative or too late end becomes the duration, and the window is cut to
// 60000 ms. Returns false when the fitted window is empty.
bool ge_fit_window(int64_t start_ms, int64_t requested_end_ms, int64_t duration_ms,
                   int64_t *end_ms);
