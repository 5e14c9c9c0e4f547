#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "network/filter.hpp"

namespace kova {
namespace {

FilterValue exact(std::string s) { return {FilterValue::Exact{std::move(s)}}; }
FilterValue contains(std::string s) { return {FilterValue::Contains{std::move(s)}}; }
FilterValue one_of(std::vector<std::string> v) { return {FilterValue::OneOf{std::move(v)}}; }
FilterValue less_than(double t) { return {FilterValue::LessThan{t}}; }
FilterValue greater_than(double t) { return {FilterValue::GreaterThan{t}}; }

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FilterStrings, ExactIsByteForByteAndCaseSensitive) {
  const auto f = exact("mcp");
  EXPECT_TRUE(f.matches("mcp"));
  EXPECT_FALSE(f.matches("MCP"));
  EXPECT_FALSE(f.matches("mcp "));
  EXPECT_FALSE(f.matches(""));
  EXPECT_TRUE(exact("").matches(""));
  EXPECT_TRUE(exact(std::string("a\0b", 3)).matches(std::string_view("a\0b", 3)));
  EXPECT_FALSE(exact(std::string("a\0b", 3)).matches("a"));
}

TEST(FilterStrings, ContainsIsACaseSensitiveSubstring) {
  EXPECT_TRUE(contains("").matches(""));
  EXPECT_TRUE(contains("").matches("anything"));
  EXPECT_TRUE(contains("trans").matches("translate"));
  EXPECT_TRUE(contains("late").matches("translate"));
  EXPECT_FALSE(contains("Trans").matches("translate"));
  EXPECT_FALSE(contains("translates").matches("translate"));
}

TEST(FilterStrings, OneOfNeedsAWholeEqualOption) {
  EXPECT_FALSE(one_of({}).matches(""));
  EXPECT_FALSE(one_of({}).matches("a"));
  const auto f = one_of({"a", "b"});
  EXPECT_TRUE(f.matches("b"));
  EXPECT_TRUE(f.matches("a"));
  EXPECT_FALSE(f.matches("ab"));
  EXPECT_FALSE(f.matches("B"));
  EXPECT_TRUE(one_of({""}).matches(""));
}

TEST(FilterNumbers, LessThanParsesStrictlyAndComparesStrictly) {
  const auto f = less_than(100.0);
  for (const char* v : {"99.5", "1e1", "-inf", "+3", ".5", "1.", "-1e400", "0", "-0"}) {
    EXPECT_TRUE(f.matches(v)) << v;
  }
  for (const char* v : {"100", "100.0", "1e2", "abc", " 50", "50 ", "50 ms", "", "+", "-", ".", "e3",
                        "1e", "1e+", "0x10", "nan", "NaN", "1,5", "1..2", "--1", "+-1", "inf"}) {
    EXPECT_FALSE(f.matches(v)) << v;
  }
}

TEST(FilterNumbers, GreaterThanHandlesInfinityAndNan) {
  const auto f = greater_than(1.5);
  for (const char* v : {"inf", "INF", "+Infinity", "iNfInItY", "2", "1e3", "1E3", "1.5000001"}) {
    EXPECT_TRUE(f.matches(v)) << v;
  }
  for (const char* v : {"nan", "-nan", "+NAN", "nan(1)", "1.5", "1", "-inf", "infinit", "infinityy", "in f"}) {
    EXPECT_FALSE(f.matches(v)) << v;
  }
  // A NaN threshold matches nothing, not even infinities.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const char* v : {"1", "inf", "-inf", "nan"}) {
    EXPECT_FALSE(greater_than(nan).matches(v)) << v;
    EXPECT_FALSE(less_than(nan).matches(v)) << v;
  }
  EXPECT_FALSE(less_than(kInf).matches("inf"));
  EXPECT_TRUE(less_than(kInf).matches("1e308"));
}

TEST(FilterNumbers, ParseDecimalRoundsOutOfRangeValuesLikeIeee) {
  EXPECT_EQ(parse_decimal("1e400"), kInf);
  EXPECT_EQ(parse_decimal("-1e400"), -kInf);
  EXPECT_EQ(parse_decimal("1e-400"), 0.0);
  EXPECT_EQ(parse_decimal("0.00001e-320"), 0.0);
  EXPECT_EQ(parse_decimal("1e99999999999999999999"), kInf);
  EXPECT_EQ(parse_decimal("0e99999"), 0.0);
  EXPECT_EQ(parse_decimal(std::string(400, '9')), kInf);
  EXPECT_EQ(parse_decimal("0." + std::string(400, '0') + "1"), 0.0);
  EXPECT_EQ(parse_decimal("1.7976931348623159e308"), kInf);  // past the rounding midpoint of DBL_MAX
  EXPECT_EQ(parse_decimal("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(parse_decimal("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(parse_decimal("4e-320"), 4e-320);
  const auto minus_zero = parse_decimal("-0.0");
  ASSERT_TRUE(minus_zero);
  EXPECT_TRUE(std::signbit(*minus_zero));
  EXPECT_EQ(parse_decimal("+3"), 3.0);
  EXPECT_EQ(parse_decimal("1."), 1.0);
  EXPECT_EQ(parse_decimal(".5"), 0.5);
  EXPECT_EQ(parse_decimal("-.5e-1"), -0.05);
  EXPECT_EQ(parse_decimal("007"), 7.0);
  EXPECT_EQ(parse_decimal("0.1"), 0.1);
  EXPECT_FALSE(parse_decimal("\t1"));
  EXPECT_FALSE(parse_decimal("1\n"));
  EXPECT_FALSE(parse_decimal(".e1"));
}

TEST(FilterSets, EveryConditionNeedsItsKeyAndAMatch) {
  FilterMap filters;
  filters.emplace("protocol", exact("mcp"));
  filters.emplace("cost", less_than(10.0));

  EXPECT_FALSE(passes_filters(&filters, Metadata{{"protocol", "mcp"}}));
  EXPECT_TRUE(passes_filters(&filters, Metadata{{"protocol", "mcp"}, {"cost", "3"}}));
  EXPECT_FALSE(passes_filters(&filters, Metadata{{"protocol", "mcp"}, {"cost", "30"}}));
  EXPECT_FALSE(passes_filters(&filters, Metadata{{"Protocol", "mcp"}, {"cost", "3"}}));
  EXPECT_FALSE(passes_filters(&filters, Metadata{}));

  const FilterMap empty;
  EXPECT_TRUE(passes_filters(&empty, Metadata{}));
  EXPECT_TRUE(passes_filters(nullptr, Metadata{}));
  EXPECT_TRUE(passes_filters(nullptr, Metadata{{"k", "v"}}));
}

}  // namespace
}  // namespace kova
