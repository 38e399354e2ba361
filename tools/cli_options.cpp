#include "cli_options.h"

#include <cmath>
#include <cstdlib>

namespace {

// A non-negative decimal number ("12", "2.5"), or nullopt.
std::optional<double> parse_number(const std::string &text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
      text.find('.') != text.rfind('.') || text == ".")
    return std::nullopt;
  return std::strtod(text.c_str(), nullptr);
}

std::optional<int> parse_int(const std::string &text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 9)
    return std::nullopt;
  return std::atoi(text.c_str());
}

}  // namespace

std::optional<int64_t> parse_time_ms(const std::string &text) {
  if (!text.empty() && text.back() == 's') {
    const auto seconds = parse_number(text.substr(0, text.size() - 1));
    if (!seconds) return std::nullopt;
    return static_cast<int64_t>(std::llround(*seconds * 1000.0));
  }
  if (text.find(':') == std::string::npos) {
    if (text.find('.') != std::string::npos) return std::nullopt;  // "2.5" needs its unit
    const auto ms = parse_number(text);
    if (!ms || text.size() > 15) return std::nullopt;
    return static_cast<int64_t>(*ms);
  }
  // Clock form: [h:]m:s[.fraction], each field after the first below 60.
  double total = 0;
  size_t begin = 0;
  int fields = 0;
  for (;;) {
    const size_t colon = text.find(':', begin);
    const std::string part = text.substr(begin, colon == std::string::npos ? colon : colon - begin);
    const auto value = parse_number(part);
    const bool last = colon == std::string::npos;
    if (!value || (!last && part.find('.') != std::string::npos)) return std::nullopt;
    if (fields > 0 && *value >= 60) return std::nullopt;
    total = total * 60 + *value;
    ++fields;
    if (last) break;
    begin = colon + 1;
  }
  if (fields > 3) return std::nullopt;
  return static_cast<int64_t>(std::llround(total * 1000.0));
}

std::optional<ConvertOptions> parse_convert(const std::vector<std::string> &args,
                                            std::string *error) {
  ConvertOptions o;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    auto value = [&]() -> const std::string * {
      return i + 1 < args.size() ? &args[++i] : nullptr;
    };
    if (a == "--json") {
      o.json = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--start" || a == "--end") {
      const std::string *v = value();
      const auto ms = v ? parse_time_ms(*v) : std::nullopt;
      if (!ms) {
        *error = a + " needs a time: milliseconds, seconds (2.5s) or clock form (1:02.5)";
        return std::nullopt;
      }
      (a == "--start" ? o.start_ms : o.end_ms) = *ms;
    } else if (a == "--width" || a == "--fps") {
      const std::string *v = value();
      const auto n = v ? parse_int(*v) : std::nullopt;
      if (!n) {
        *error = a + " needs a whole number";
        return std::nullopt;
      }
      (a == "--width" ? o.width : o.fps) = *n;
    } else if (a.size() > 1 && a[0] == '-') {
      *error = "unknown option " + a;
      return std::nullopt;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) {
    *error = "convert needs an input and an output path";
    return std::nullopt;
  }
  o.in = positional[0];
  o.out = positional[1];
  return o;
}
