#include "text.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

namespace tune {
namespace {

using Pieces = std::vector<std::string>;

TEST(SplitFields, BehavesLikeStrtokWithOneDelimiter) {
  EXPECT_EQ(split_fields("a=1&b=2", '&'), (Pieces{"a=1", "b=2"}));
  EXPECT_EQ(split_fields("a&&b", '&'), (Pieces{"a", "b"}));  // no empty piece
  EXPECT_EQ(split_fields("&mid&", '&'), (Pieces{"mid"}));    // leading and trailing
  EXPECT_EQ(split_fields("", '&'), Pieces{});                // nothing at all
  EXPECT_EQ(split_fields("&&&", '&'), Pieces{});
  EXPECT_EQ(split_fields("max_freq=", '='), (Pieces{"max_freq"}));  // key without a value
  EXPECT_EQ(split_fields("=k==v=", '='), (Pieces{"k", "v"}));
}

TEST(SplitFields, TextEndsAtItsFirstNulByte) {
  std::string text("a:b\0c:d", 7);
  EXPECT_EQ(split_fields(text, ':'), (Pieces{"a", "b"}));
}

TEST(HasPrefix, ComparesOnlyThePrefixLength) {
  EXPECT_EQ(has_prefix("bitmain-freq3=600", "bitmain-freq"), 1);
  EXPECT_EQ(has_prefix("bitmain", "bitmain-freq"), 0);  // text shorter than prefix
  EXPECT_EQ(has_prefix("", ""), 1);
  EXPECT_EQ(has_prefix("anything", ""), 1);
  EXPECT_EQ(has_prefix("Bitmain-freq1", "bitmain-freq"), 0);
}

TEST(ParseInt, ReadsAsStrtolDoesAndHoldsTheIntRange) {
  EXPECT_EQ(parse_int("  42\n"), 42);
  EXPECT_EQ(parse_int("-17abc"), -17);
  EXPECT_EQ(parse_int("+8"), 8);
  EXPECT_EQ(parse_int("abc"), 0);
  EXPECT_EQ(parse_int(""), 0);
  EXPECT_EQ(parse_int("12.9"), 12);
  EXPECT_EQ(parse_int("99999999999999999999"), INT_MAX);
  EXPECT_EQ(parse_int("-99999999999999999999"), INT_MIN);
  EXPECT_EQ(parse_int("4294967296"), INT_MAX);  // would wrap to 0 if cut to 32 bits
}

TEST(ParseSingle, ReadsAsStrtodDoesWithoutUndefinedNarrowing) {
  EXPECT_FLOAT_EQ(parse_single(" 57.2\n"), 57.2f);
  EXPECT_EQ(parse_single("x1"), 0.0f);
  EXPECT_TRUE(std::isnan(parse_single("nan")));
  EXPECT_EQ(parse_single("-inf"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_single("1e300"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_single("-1e300"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(to_single(3.4028235e38), std::numeric_limits<float>::max());
}

TEST(TruncateToInt, TruncatesTowardZeroAndSaturates) {
  EXPECT_EQ(truncate_to_int(200.9f), 200);
  EXPECT_EQ(truncate_to_int(-1.9f), -1);
  EXPECT_EQ(truncate_to_int(1e20f), INT_MAX);
  EXPECT_EQ(truncate_to_int(-1e20f), INT_MIN);
  EXPECT_EQ(truncate_to_int(std::numeric_limits<float>::quiet_NaN()), 0);
}

std::string repeated(const std::string& text, int times) {
  std::string out;
  while (times-- > 0) out += text;
  return out;
}

TEST(Printable, UntrustedTextIsShownInert) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain text", "plain text"},
      {"tab\there", "tab\\x09here"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},  // UTF-8 stays
      {"\xbd half", "\\xbd half"},
      {"\xc2\x9b C1", "\\xc2\\x9b C1"},
      {"\xed\xa0\x80 surrogate", "\\xed\\xa0\\x80 surrogate"},
      {"\xf0\x9f\x98", "\\xf0\\x9f\\x98"},  // cut short
      // At most 200 characters as shown, the ellipsis and each escape's four included.
      {std::string(200, 'a'), std::string(200, 'a')},
      {std::string(250, 'a'), std::string(199, 'a') + "\u2026"},
      {std::string(198, 'a') + "\xc3\xa9\xc3\xa9\xc3\xa9",
       std::string(198, 'a') + "\xc3\xa9\u2026"},
      {std::string(50, '\x1b'), repeated("\\x1b", 50)},
      {std::string(60, '\x1b'), repeated("\\x1b", 49) + "\u2026"},
      {"abc" + std::string(60, '\0'), "abc" + repeated("\\x00", 49) + "\u2026"},
  };
  for (const auto& c : cases) EXPECT_EQ(printable(c.text), c.shown) << c.text;
}

}  // namespace
}  // namespace tune
