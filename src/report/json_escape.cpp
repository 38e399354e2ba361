#include "report/json_escape.h"

const char *const GE_BAD_ID_JSON = "{\"error\":\"bad id\"}";

namespace {

// Writes byte c at dst[pos] in its escaped form; returns the new position.
uint64_t put_escaped(char *dst, uint64_t pos, unsigned char c) {
  if (c == '"' || c == '\\') {
    dst[pos++] = '\\';
    dst[pos++] = static_cast<char>(c);
  } else if (c >= 0x20) {
    dst[pos++] = static_cast<char>(c);
  }
  return pos;
}

}  // namespace

void json_escape(const char *src, char *dst, uint64_t capacity) {
  const auto *in = reinterpret_cast<const unsigned char *>(src);
  uint64_t pos = 0;
  if (*in != '\0') {
    // The first byte is taken without the room test (capacity is at least 3);
    // every later one only while three bytes of room remain, so an escaped
    // pair is never split and the terminator always fits.
    pos = put_escaped(dst, pos, *in++);
    for (; *in != '\0' && pos + 2 < capacity; ++in) pos = put_escaped(dst, pos, *in);
  }
  dst[pos] = '\0';
}
