// Making a text that the library does not choose fit between JSON quotes.
#pragma once

#include <cstdint>

// Copies src into dst (capacity bytes, at least 3) with a backslash before
// each quote and backslash; bytes 0x01-0x1F are dropped; every other byte
// passes unchanged. The text is cut where an escaped pair or the terminator
// would no longer fit; dst is always terminated.
void json_escape(const char *src, char *dst, uint64_t capacity);

// The constant report of every bad session id.
extern const char *const GE_BAD_ID_JSON;
