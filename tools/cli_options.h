// SPDX-License-Identifier: MIT
// Command-line parsing of the gifexport tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A time given as milliseconds ("1500"), seconds ("2.5s") or clock form
// ("1:02.5", "1:02:03"), rounded to the nearest millisecond; nullopt when the
// text is none of these, or when it is one of them but does not fit in
// 64-bit milliseconds (then *too_large, when given, is set).
std::optional<int64_t> parse_time_ms(const std::string &text, bool *too_large = nullptr);

struct ConvertOptions {
  std::string in, out;
  int64_t start_ms = 0;
  int64_t end_ms = -1;  // the end of the input
  int width = 0;        // the library's default
  int fps = 0;
  bool json = false;
  bool quiet = false;
};

// Reads `convert IN OUT [options]` (args after the command word); on failure
// returns nullopt with the reason in *error.
std::optional<ConvertOptions> parse_convert(const std::vector<std::string> &args,
                                            std::string *error);
