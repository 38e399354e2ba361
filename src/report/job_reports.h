// SPDX-License-Identifier: MIT
// Figures the job reports derive from a slot.
#pragma once

#include <cstdint>

// How far the decode phase has come through the window, 0.0 to 100.0: 100.0
// for a done job, else (processed - start) * 100 / total, clipped to 0..100.
double ge_window_percent(int32_t state, int64_t processed_ms, int64_t start_ms, int64_t total_ms);
