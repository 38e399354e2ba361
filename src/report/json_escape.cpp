// SPDX-License-Identifier: MIT
#include "report/json_escape.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

const char *const GE_BAD_ID_JSON = "{\"error\":\"bad id\"}";

namespace {

// Bytes copied as they are: printable ASCII other than the quote and the
// backslash. Runs of them are the common case and are copied at once.
struct PlainTable {
  bool byte[256];
  constexpr PlainTable() : byte() {
    for (int c = 0x20; c < 0x80; ++c) byte[c] = c != '"' && c != '\\';
  }
};
constexpr PlainTable kPlainTable;
constexpr const bool *kPlain = kPlainTable.byte;

// U+FFFD, written for each invalid part of the input.
constexpr char kReplacement[] = "\xEF\xBF\xBD";
constexpr uint64_t kReplacementLength = 3;

// Looks at the UTF-8 sequence starting with the byte in[0] (0x80 or above).
// Returns true with *length = its length (2 to 4) when it is valid; false
// with *length = the bytes that make up its maximal subpart (1 to 3), which
// is the part one U+FFFD stands for. The lead fixes how many continuation
// bytes follow and the range of the first one, which is what keeps out
// overlong forms (E0, F0), surrogates (ED) and code points above 10FFFF
// (F4). Bytes are read only while the previous ones were continuation bytes,
// so never past the terminator.
bool utf8_sequence(const unsigned char *in, int *length) {
  const unsigned char lead = in[0];
  int continuations = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the byte after the lead
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *length = 1;  // a continuation byte, C0, C1 or F5-FF: never a lead
    return false;
  }
  for (int n = 1; n <= continuations; ++n) {
    if (in[n] < low || in[n] > high) {
      *length = n;
      return false;
    }
    low = 0x80;
    high = 0xBF;
  }
  *length = continuations + 1;
  return true;
}

}  // namespace

void json_escape(const char *src, char *dst, uint64_t capacity) {
  const auto *in = reinterpret_cast<const unsigned char *>(src);
  uint64_t pos = 0;
  // A unit of n bytes is written only while pos + max(n, 2) < capacity, and
  // the text ends at the first unit that does not fit: a pair or a sequence
  // is never split and the terminator always fits. With capacity 3 or more
  // the first unit of one or two bytes always fits. So no unit starts at or
  // after `limit`.
  const uint64_t limit = capacity > 2 ? capacity - 2 : 0;
  for (;;) {
    // A run of plain bytes is copied at once.
    const uint64_t room = pos < limit ? limit - pos : 0;
    uint64_t run = 0;
    while (run < room && kPlain[in[run]]) ++run;
    std::memcpy(dst + pos, in, run);
    pos += run;
    in += run;
    const unsigned char c = *in;
    if (c == '\0' || pos >= limit) break;
    if (c < 0x80) {  // a quote or a backslash is escaped, a control byte dropped
      if (c == '"' || c == '\\') {
        dst[pos++] = '\\';
        dst[pos++] = static_cast<char>(c);
      }
      ++in;
      continue;
    }
    int length = 0;
    const bool valid = utf8_sequence(in, &length);
    const uint64_t n = valid ? static_cast<uint64_t>(length) : kReplacementLength;
    if (pos + n >= capacity) break;  // n is at least 2 here
    const char *unit = valid ? reinterpret_cast<const char *>(in) : kReplacement;
    for (uint64_t k = 0; k < n; ++k) dst[pos + k] = unit[k];
    pos += n;
    in += length;
  }
  dst[pos] = '\0';
}

void json_fixed(double value, int decimals, char (&dst)[GE_JSON_FIXED_CAP]) {
  if (decimals < 0) decimals = 0;
  if (decimals > GE_JSON_FIXED_MAX_DECIMALS) decimals = GE_JSON_FIXED_MAX_DECIMALS;
  if (!std::isfinite(value)) value = 0.0;
  // to_chars never looks at the locale; in fixed form with a precision it
  // rounds the exact binary value as printf does in the C locale.
  const std::to_chars_result r =
      std::to_chars(dst, dst + GE_JSON_FIXED_CAP - 1, value, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) {
    // Not reached: the buffer holds the longest finite double.
    dst[0] = '0';
    dst[1] = '\0';
    return;
  }
  *r.ptr = '\0';
}
