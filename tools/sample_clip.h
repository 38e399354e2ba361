// SPDX-License-Identifier: MIT
// A built-in sample clip for the demo: a moving test pattern encoded by libav.
#pragma once

#include <string>

// Writes a `seconds` long 640x360 25 fps MPEG-4 clip of libavfilter's moving
// test pattern to path. Returns false with a reason in *err on failure.
bool make_sample_clip(const std::string &path, int seconds, std::string *err);
