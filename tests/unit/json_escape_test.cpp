// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "report/json_escape.h"
#include "support/test_platform.h"

namespace {

struct EscapeCase {
  const char *name;
  std::string source;
  std::string expected;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const EscapeCase &c, std::ostream *os) { *os << c.name; }

std::string repeat(char c, size_t n) { return std::string(n, c); }

const EscapeCase kCases[] = {
    {"empty", "", ""},
    {"quote_letter_backslash", "\"a\\", "\\\"a\\\\"},
    {"controls_vanish", "a\tb\nc\rd\x01" "e\x1f" "f", "abcdef"},
    {"del_and_utf8_pass", "\x7f" "caf\xc3\xa9", "\x7f" "caf\xc3\xa9"},
    {"leading_quote_is_a_pair", "\"", "\\\""},
    {"leading_control_vanishes", "\x05" "ab", "ab"},
    {"254_ordinary_kept_whole", repeat('x', 254), repeat('x', 254)},
    {"255_ordinary_cut_to_254", repeat('x', 255), repeat('x', 254)},
    {"253_then_quote_gives_255", repeat('x', 253) + "\"", repeat('x', 253) + "\\\""},
    {"254_then_quote_drops_the_quote", repeat('x', 254) + "\"", repeat('x', 254)},
    {"all_backslashes_stop_at_whole_pairs", repeat('\\', 300), repeat('\\', 254)},
};

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscape, AtCapacity256) {
  const EscapeCase &c = GetParam();
  char dst[256 + 8];
  std::memset(dst, '#', sizeof dst);
  json_escape(c.source.c_str(), dst, 256);
  EXPECT_EQ(std::string(dst), c.expected);
  // Nothing is written past the capacity.
  for (size_t i = 256; i < sizeof dst; ++i) EXPECT_EQ(dst[i], '#') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Table, JsonEscape, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// UTF-8: valid sequences pass, each maximal invalid subpart becomes one U+FFFD.
#define FFFD "\xEF\xBF\xBD"
const EscapeCase kUtf8Cases[] = {
    {"valid_2_3_4_bytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
     "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
    {"valid_edges",  // U+0080, U+07FF, U+0800, U+D7FF, U+E000, U+FFFD, U+FFFF, U+10000, U+10FFFF
     "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"
     "\xEF\xBF\xBD\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
     "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"
     "\xEF\xBF\xBD\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
    {"bytes_that_never_start", "a\xFF\xFE\xF5\xF8\x88" "b", "a" FFFD FFFD FFFD FFFD FFFD "b"},
    {"stray_continuations", "\x80\xBFx\xA9", FFFD FFFD "x" FFFD},
    {"overlong_2_byte", "\xC0\xAF\xC1\xBF", FFFD FFFD FFFD FFFD},
    {"overlong_3_byte", "\xE0\x80\xAF", FFFD FFFD FFFD},
    {"overlong_4_byte", "\xF0\x80\x80\xAF", FFFD FFFD FFFD FFFD},
    {"surrogates", "\xED\xA0\x80\xED\xBF\xBF", FFFD FFFD FFFD FFFD FFFD FFFD},
    {"above_10FFFF", "\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},
    {"truncated_is_one_replacement", "\xE2\x82" "A\xF0\x9F\x98" "B\xF1\x80" "C",
     FFFD "A" FFFD "B" FFFD "C"},
    {"truncated_at_the_end", "z\xF0\x9F\x98", "z" FFFD},
    {"truncated_then_a_new_lead", "\xF1\x80\x80\xE2\x82\xAC", FFFD "\xE2\x82\xAC"},
    {"lead_before_quote_control_backslash", "\xE2\"\xC3\n\xF0\\",
     FFFD "\\\"" FFFD FFFD "\\\\"},
    {"replacement_cut_at_the_end", repeat('x', 252) + "\xFF\xFF", repeat('x', 252) + FFFD},
};

INSTANTIATE_TEST_SUITE_P(Utf8, JsonEscape, ::testing::ValuesIn(kUtf8Cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Multi-byte units at the cut: each is written whole or not at all.
struct CutCase {
  const char *name;
  std::string source;
  uint64_t capacity;
  std::string expected;
};

const CutCase kCutCases[] = {
    {"two_byte_fits_in_255", repeat('x', 253) + "\xC3\xA9", 256, repeat('x', 253) + "\xC3\xA9"},
    {"two_byte_left_out", repeat('x', 254) + "\xC3\xA9", 256, repeat('x', 254)},
    {"three_byte_fits_in_255", repeat('x', 252) + "\xE2\x82\xAC", 256,
     repeat('x', 252) + "\xE2\x82\xAC"},
    {"three_byte_left_out", repeat('x', 253) + "\xE2\x82\xACyy", 256, repeat('x', 253)},
    {"four_byte_fits_in_255", repeat('x', 251) + "\xF0\x9F\x98\x80", 256,
     repeat('x', 251) + "\xF0\x9F\x98\x80"},
    {"four_byte_left_out", repeat('x', 252) + "\xF0\x9F\x98\x80", 256, repeat('x', 252)},
    {"replacement_left_out", repeat('x', 253) + "\xFF", 256, repeat('x', 253)},
    {"first_two_byte_in_three", "\xC3\xA9z", 3, "\xC3\xA9"},
    {"first_three_byte_needs_four", "\xE2\x82\xAC", 3, ""},
    {"first_three_byte_in_four", "\xE2\x82\xAC", 4, "\xE2\x82\xAC"},
    {"first_four_byte_needs_five", "\xF0\x9F\x98\x80", 4, ""},
    {"first_four_byte_in_five", "\xF0\x9F\x98\x80", 5, "\xF0\x9F\x98\x80"},
    {"first_replacement_needs_four", "\xFF", 3, ""},
    {"first_replacement_in_four", "\xFF" "a", 4, FFFD},
};
#undef FFFD

void PrintTo(const CutCase &c, std::ostream *os) { *os << c.name; }

class JsonEscapeCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(JsonEscapeCut, WholeUnitsOnly) {
  const CutCase &c = GetParam();
  std::string dst(c.capacity + 8, '#');
  json_escape(c.source.c_str(), dst.data(), c.capacity);
  EXPECT_EQ(std::string(dst.c_str()), c.expected);
  for (size_t i = c.capacity; i < dst.size(); ++i) EXPECT_EQ(dst[i], '#') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Table, JsonEscapeCut, ::testing::ValuesIn(kCutCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A validity check written apart from the escape's own tables: decode each
// code point and test it against the shortest form, the surrogates and the
// end of the code space.
bool is_valid_utf8(const std::string &s) {
  static const uint32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    size_t length;
    uint32_t cp;
    if (lead < 0x80) {
      length = 1, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07u;
    } else {
      return false;
    }
    if (i + length > s.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(s[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3Fu);
    }
    if (cp < kLowest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// Bytes the escape writes for the unit that starts its output at `at`.
size_t unit_length(const std::string &out, size_t at) {
  const auto b = static_cast<unsigned char>(out[at]);
  if (b == '\\') return 2;
  if (b >= 0xF0) return 4;
  if (b >= 0xE0) return 3;
  if (b >= 0xC0) return 2;
  return 1;
}

TEST(JsonEscapeCutAnywhere, EveryCapacityGivesTheLongestWholePrefix) {
  const std::string source =
      "a\xC3\xA9\"\xE2\x82\xAC\\\xF0\x9F\x98\x80\xFF\tb\xE2\x82" "c\xED\xA0\x80" "d";
  std::string full(256, '#');
  json_escape(source.c_str(), full.data(), full.size());
  full.resize(std::strlen(full.c_str()));
  ASSERT_TRUE(is_valid_utf8(full));
  for (uint64_t capacity = 1; capacity <= full.size() + 2; ++capacity) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    std::string dst(capacity + 8, '#');
    json_escape(source.c_str(), dst.data(), capacity);
    const std::string out = dst.c_str();
    for (size_t i = capacity; i < dst.size(); ++i) ASSERT_EQ(dst[i], '#') << "byte " << i;
    ASSERT_LT(out.size(), capacity);
    ASSERT_EQ(full.compare(0, out.size(), out), 0) << "not a prefix of the whole text";
    EXPECT_TRUE(is_valid_utf8(out));
    if (out.size() < full.size()) {
      const size_t next = unit_length(full, out.size());
      const auto first = static_cast<unsigned char>(full[out.size()]);
      EXPECT_FALSE(first >= 0x80 && first <= 0xBF) << "cut inside a sequence";
      EXPECT_GE(out.size() + std::max<size_t>(next, 2), capacity) << "the next unit would fit";
    }
  }
}

TEST(JsonEscapeRandom, OutputIsValidUtf8AndValidTextPassesUnchanged) {
  std::mt19937 rng(20240607);
  // Mostly bytes from the UTF-8 lead and continuation ranges, with some
  // ASCII, so that valid sequences, invalid ones and truncations all occur.
  const unsigned char kPool[] = {'a', '"', '\\', 0x01, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0,
                                 0xF1, 0xF4, 0xF5, 0xFF};
  int valid_inputs = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string source(1 + rng() % 12, ' ');
    for (char &c : source) c = static_cast<char>(kPool[rng() % sizeof kPool]);
    char dst[256];
    json_escape(source.c_str(), dst, sizeof dst);
    const std::string out = dst;
    ASSERT_TRUE(is_valid_utf8(out)) << ::testing::PrintToString(source);
    if (is_valid_utf8(source) && source.find_first_of("\"\\\x01") == std::string::npos) {
      ++valid_inputs;
      ASSERT_EQ(out, source);
    }
  }
  EXPECT_GT(valid_inputs, 100) << "the pool must also give valid text";
}

TEST(JsonEscapeSmall, CapacityThreeHoldsOnePairOrOneByte) {
  char dst[3];
  json_escape("\"abc", dst, 3);
  EXPECT_STREQ(dst, "\\\"");
  json_escape("abc", dst, 3);
  EXPECT_STREQ(dst, "a");
}

// The number texts of the reports must stay what printf gives in the C locale
// (this program never changes its locale), rounding included.
TEST(JsonFixed, SameTextAsPrintfInTheCLocale) {
  std::vector<double> values = {0.0, -0.0, 0.05, 0.25, 0.125, 0.0625, 2.5, 0.35, 0.0005,
                                0.00049999999999999, 99.95, 99.949999999999, 100.0, -1.25,
                                1e-10, 123456789.0, 4294967295.0 / 7.0, 1e300, -1e300,
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::max()};
  // Every percent a window of up to 300 steps can give.
  for (int n = 1; n <= 300; ++n)
    for (int i = 0; i <= n; ++i) values.push_back(i * 100.0 / n);
  // Frame rates as the probe reads them: num / den.
  for (int den : {1, 2, 3, 7, 12, 100, 1001, 90000})
    for (int num = -30000; num <= 300000; num += 37)
      values.push_back(static_cast<double>(num) / den);
  // Doubles of every magnitude, from random bit patterns.
  std::mt19937_64 rng(977);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) values.push_back(v);
  }
  for (double v : values) {
    for (int decimals : {0, 1, 3, GE_JSON_FIXED_MAX_DECIMALS}) {
      char expected[400];
      std::snprintf(expected, sizeof expected, "%.*f", decimals, v);
      char text[GE_JSON_FIXED_CAP];
      json_fixed(v, decimals, text);
      ASSERT_STREQ(text, expected) << "value " << ::testing::PrintToString(v) << ", decimals "
                                   << decimals;
    }
  }
}

// Switches the process's numbers (LC_NUMERIC) to a comma decimal point, as a
// host in such a locale does with setlocale(LC_ALL, ""); back to "C" when it
// goes out of scope. An installed locale is used when there is one. Lacking
// one, on glibc, the numeric table of its own C.UTF-8 locale is copied with
// the point made a comma and loaded from a temporary folder through LOCPATH:
// nothing needs to be installed or compiled.
class CommaNumbers {
 public:
  CommaNumbers() {
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE",
                             "fr_FR", "de-DE", "German_Germany.1252", "German"})
      if (std::setlocale(LC_NUMERIC, name) && comma()) return;
    std::setlocale(LC_NUMERIC, "C");
#if defined(__GLIBC__)
    if (const char *old = std::getenv("LOCPATH")) old_locpath_ = old;
    for (const char *c_utf8 : {"/usr/lib/locale/C.utf8", "/usr/lib/locale/C.UTF-8"}) {
      if (made_from(std::string(c_utf8) + "/LC_NUMERIC")) return;
    }
#endif
  }
  ~CommaNumbers() {
    std::setlocale(LC_NUMERIC, "C");
    if (dir_.empty()) return;
    if (old_locpath_.empty()) {
      testplat::unset_env("LOCPATH");
    } else {
      testplat::set_env("LOCPATH", old_locpath_.c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(testplat::fs_path(dir_), ignored);
  }
  CommaNumbers(const CommaNumbers &) = delete;
  CommaNumbers &operator=(const CommaNumbers &) = delete;

  static bool comma() { return std::strcmp(std::localeconv()->decimal_point, ",") == 0; }

 private:
  // The table is a header (magic, item count, one offset per item) and then
  // the items: the point as text, the thousands separator, the grouping, the
  // point and the separator as 32-bit characters, the codeset. In C.UTF-8 the
  // only '.' bytes after the header are the point's.
  bool made_from(const std::string &c_numeric) {
    std::ifstream in(c_numeric, std::ios::binary);
    std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (table.size() < 8) return false;
    uint32_t items = 0;
    std::memcpy(&items, table.data() + 4, sizeof items);
    const size_t header = 8 + size_t{4} * items;
    if (header >= table.size()) return false;
    std::replace(table.begin() + static_cast<std::ptrdiff_t>(header), table.end(), '.', ',');
    if (dir_.empty()) dir_ = testplat::make_temp_dir("gifexport_comma_locale_");
    std::filesystem::create_directory(testplat::fs_path(dir_ + "/comma"));
    std::ofstream(dir_ + "/comma/LC_NUMERIC", std::ios::binary) << table;
    testplat::set_env("LOCPATH", dir_.c_str());
    if (std::setlocale(LC_NUMERIC, "comma") && comma()) return true;
    std::setlocale(LC_NUMERIC, "C");
    return false;
  }

  std::string dir_;
  std::string old_locpath_;
};

// The texts themselves, rather than printf's: in a comma-decimal locale
// printf gives "29,970", which is not JSON.
TEST(JsonFixed, PointNotCommaWhateverTheNumericLocale) {
  const struct {
    double value;
    int decimals;
    const char *text;
  } kTexts[] = {
      {30000.0 / 1001, 3, "29.970"}, {0.5, 3, "0.500"},    {25.0, 3, "25.000"},
      {42.5, 1, "42.5"},             {100.0, 1, "100.0"},  {-1.25, 1, "-1.2"},
      {1234567.25, 2, "1234567.25"}, {7.0, 0, "7"},        {0.05, 9, "0.050000000"},
  };
  auto check = [&](const char *where) {
    for (const auto &t : kTexts) {
      char text[GE_JSON_FIXED_CAP];
      json_fixed(t.value, t.decimals, text);
      EXPECT_STREQ(text, t.text) << where;
    }
  };
  check("in the C locale");
  const CommaNumbers comma;
  if (!CommaNumbers::comma())
    GTEST_SKIP() << "no locale with a comma decimal point could be had here";
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.1f", 42.5);
  if (std::strcmp(printed, "42,5") != 0)
    GTEST_SKIP() << "printf here ignores the locale's decimal point (\"" << printed << "\")";
  check("with a comma decimal point");
}

TEST(JsonFixed, NoInfinityOrNanInJson) {
  char text[GE_JSON_FIXED_CAP];
  const double inf = std::numeric_limits<double>::infinity();
  for (double v : {inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    json_fixed(v, 1, text);
    EXPECT_STREQ(text, "0.0");
    json_fixed(v, 3, text);
    EXPECT_STREQ(text, "0.000");
  }
}

}  // namespace
