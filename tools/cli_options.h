// Command-line parsing of the gifexport tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A time given as milliseconds ("1500"), seconds ("2.5s") or clock form
// ("1:02.5", "1:02:03"); nullopt when the text is none of these.
std::optional<int64_t> parse_time_ms(const std::string &text);

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
