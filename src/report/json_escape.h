// SPDX-License-Identifier: MIT
// Pieces of the JSON texts: texts the library does not choose, made to fit
// between JSON quotes, and fractional numbers written the same whatever the
// host's locale is.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies src into dst (capacity bytes, at least 1) as the body of a JSON
// string. A backslash goes before each quote and backslash; bytes 0x01-0x1F
// are dropped; 0x7F and every valid UTF-8 sequence pass unchanged. Bytes that
// are not valid UTF-8 become U+FFFD (EF BF BD), one per maximal subpart: a
// lead byte followed by the continuation bytes it still accepts counts as
// one, every other offending byte (stray continuation, C0, C1, F5-FF, a lead
// whose next byte cannot follow it) counts alone. Overlong forms, surrogates
// (D800-DFFF) and code points above 10FFFF are invalid.
// Each written unit (a byte, an escaped pair, a UTF-8 sequence, a
// replacement) of n bytes is written only while pos + max(n, 2) < capacity;
// the text ends at the first one that does not fit. So a pair or a sequence
// is never split, the result is always valid UTF-8 and the terminator always
// fits; dst is always terminated. From capacity 3 on, a first unit of one or
// two bytes always fits; below 3 the text is empty.
void json_escape(const char *src, char *dst, uint64_t capacity);

// Room json_fixed needs: a sign, 309 integer digits (the largest double), the
// point, up to GE_JSON_FIXED_MAX_DECIMALS decimals and the terminator.
constexpr int GE_JSON_FIXED_MAX_DECIMALS = 9;
constexpr size_t GE_JSON_FIXED_CAP = 1 + 309 + 1 + GE_JSON_FIXED_MAX_DECIMALS + 1;

// Writes value with `decimals` digits after a point (0 to
// GE_JSON_FIXED_MAX_DECIMALS) into dst, terminated: the text printf's "%.Nf"
// gives in the C locale, whatever locale the host has set (a host in a
// comma-decimal locale would otherwise get "42,5", which is not JSON). JSON
// has no infinity or NaN: those are written as 0 with the same decimals.
// Allocates nothing.
void json_fixed(double value, int decimals, char (&dst)[GE_JSON_FIXED_CAP]);

// The constant report of every bad session id.
extern const char *const GE_BAD_ID_JSON;
