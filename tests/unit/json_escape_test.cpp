#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "report/json_escape.h"

namespace {

struct EscapeCase {
  const char *name;
  std::string source;
  std::string expected;
};

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

TEST(JsonEscapeSmall, CapacityThreeHoldsOnePairOrOneByte) {
  char dst[3];
  json_escape("\"abc", dst, 3);
  EXPECT_STREQ(dst, "\\\"");
  json_escape("abc", dst, 3);
  EXPECT_STREQ(dst, "a");
}

}  // namespace
