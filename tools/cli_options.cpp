// SPDX-License-Identifier: MIT
#include "cli_options.h"

#include <cstdlib>
#include <limits>

namespace {

constexpr int64_t kMaxMs = std::numeric_limits<int64_t>::max();

// A non-negative decimal number ("12", "2.5", ".5", "5.") split at its point.
struct Decimal {
  std::string whole, fraction;
};

std::optional<Decimal> split_decimal(const std::string &text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
      text.find('.') != text.rfind('.') || text == ".")
    return std::nullopt;
  const size_t point = text.find('.');
  if (point == std::string::npos) return Decimal{text, ""};
  return Decimal{text.substr(0, point), text.substr(point + 1)};
}

// *acc = *acc * factor + add for non-negative operands; false, leaving *acc
// as it was, when the result does not fit in int64_t.
bool scale_add(int64_t *acc, int64_t factor, int64_t add) {
  if (*acc > (kMaxMs - add) / factor) return false;
  *acc = *acc * factor + add;
  return true;
}

// Decimal digits (none: 0) as a number; false when it does not fit.
bool whole_number(const std::string &digits, int64_t *value) {
  *value = 0;
  for (const char c : digits)
    if (!scale_add(value, 10, c - '0')) return false;
  return true;
}

// Milliseconds in a decimal number of seconds, the fraction rounded to the
// nearest millisecond (halves up). Done on the digits, so every value is
// exact and none can overflow unnoticed; false when it does not fit.
bool seconds_to_ms(const Decimal &seconds, int64_t *ms) {
  int64_t fraction_ms = 0;
  for (size_t i = 0; i < 3; ++i)
    fraction_ms = fraction_ms * 10 + (i < seconds.fraction.size() ? seconds.fraction[i] - '0' : 0);
  if (seconds.fraction.size() > 3 && seconds.fraction[3] >= '5') ++fraction_ms;
  return whole_number(seconds.whole, ms) && scale_add(ms, 1000, fraction_ms);
}

std::optional<int> parse_int(const std::string &text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 9)
    return std::nullopt;
  return std::atoi(text.c_str());
}

}  // namespace

std::optional<int64_t> parse_time_ms(const std::string &text, bool *too_large) {
  bool overflow = false;
  if (too_large == nullptr) too_large = &overflow;
  *too_large = false;
  int64_t ms = 0;
  if (!text.empty() && text.back() == 's') {
    const auto seconds = split_decimal(text.substr(0, text.size() - 1));
    if (!seconds) return std::nullopt;
    if (!seconds_to_ms(*seconds, &ms)) {
      *too_large = true;
      return std::nullopt;
    }
    return ms;
  }
  if (text.find(':') == std::string::npos) {
    // Plain milliseconds are whole: "2.5" needs its unit.
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    if (!whole_number(text, &ms)) {
      *too_large = true;
      return std::nullopt;
    }
    return ms;
  }
  // Clock form: [h:]m:s[.fraction], each field after the first below 60;
  // only the seconds may have a fraction.
  std::vector<Decimal> fields;
  for (size_t begin = 0;;) {
    const size_t colon = text.find(':', begin);
    const bool last = colon == std::string::npos;
    const auto field = split_decimal(text.substr(begin, last ? colon : colon - begin));
    if (!field || (!last && !field->fraction.empty())) return std::nullopt;
    fields.push_back(*field);
    if (last) break;
    begin = colon + 1;
  }
  if (fields.size() > 3) return std::nullopt;
  // Hours and minutes (or minutes alone) are summed as minutes, then the
  // seconds are added in milliseconds. Only the first field can be too
  // large: a later one that does not fit is not below 60 either.
  int64_t total = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    int64_t whole = 0;
    const bool fits = whole_number(fields[i].whole, &whole);
    if (i > 0 && (!fits || whole >= 60)) return std::nullopt;
    const bool last = i + 1 == fields.size();
    int64_t seconds_ms = 0;
    if (last) seconds_to_ms(fields[i], &seconds_ms);  // below 60 s: it fits
    if (!fits || !(last ? scale_add(&total, 60000, seconds_ms)
                        : scale_add(&total, i == 0 ? 1 : 60, whole))) {
      *too_large = true;
      return std::nullopt;
    }
  }
  return total;
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
      bool too_large = false;
      const auto ms = v ? parse_time_ms(*v, &too_large) : std::nullopt;
      if (too_large) {
        *error = a + " " + *v + " is too large: times must fit in 64-bit milliseconds";
        return std::nullopt;
      }
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
