#include "text/unicode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kova::text {
namespace {

using Strings = std::vector<std::string>;

TEST(Unicode, SplitsOnEveryUnicodeWhiteSpaceRun) {
  // NBSP, ideographic space, line separator, tab and newline all separate.
  const std::string text = "  a\u00a0b\u3000c\u2028d\t\ne  ";
  const auto pieces = split_whitespace(text);
  ASSERT_EQ(pieces.size(), 5u);
  EXPECT_EQ(pieces[0], "a");
  EXPECT_EQ(pieces[4], "e");
  EXPECT_EQ(count_whitespace_tokens(text), 5u);
  EXPECT_TRUE(split_whitespace(" \t ").empty());
  // Zero-width space is not white space.
  EXPECT_EQ(count_whitespace_tokens("a\u200bb"), 1u);
}

TEST(Unicode, LowerCasingIsFullAndUntailored) {
  EXPECT_EQ(to_lower("Legal TRANSLATION"), "legal translation");
  EXPECT_EQ(to_lower("\u00c4RGER"), "\u00e4rger");
  // Capital I with dot above lower-cases to i plus combining dot (grows in bytes).
  EXPECT_EQ(to_lower("\u0130"), "i\u0307");
  // Final sigma is contextual.
  EXPECT_EQ(to_lower("\u039f\u0394\u039f\u03a3"), "\u03bf\u03b4\u03bf\u03c2");
  EXPECT_EQ(split_whitespace_lower("Translate  LEGAL"), (Strings{"translate", "legal"}));
}

TEST(Unicode, TrimAndIllFormedBytes) {
  const std::string bad = std::string("ab") + char(0xff) + "cd";
  EXPECT_EQ(alnum_tokens_lower(bad), (Strings{"ab", "cd"}));
  EXPECT_EQ(count_whitespace_tokens(bad), 1u);
  EXPECT_EQ(trim(std::string(1, char(0xc3))), std::string(1, char(0xc3)));
  EXPECT_EQ(trim("\u3000 my agent \n"), "my agent");
  EXPECT_EQ(trim("   "), "");
}

}  // namespace
}  // namespace kova::text
