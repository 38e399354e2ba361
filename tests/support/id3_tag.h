// SPDX-License-Identifier: MIT
// ID3v2 tag headers for test inputs: FFmpeg skips such a tag in front of a
// file before it looks at what follows.
#pragma once

#include <cstdint>
#include <string>

namespace fixture {

// An ID3v2 tag header: version, flags and the 7-bit-byte size of its body.
inline std::string id3(int version, int flags, uint32_t size) {
  std::string h = "ID3";
  h += static_cast<char>(version);
  h += '\0';
  h += static_cast<char>(flags);
  for (int shift = 21; shift >= 0; shift -= 7) h += static_cast<char>((size >> shift) & 0x7f);
  return h;
}

}  // namespace fixture
