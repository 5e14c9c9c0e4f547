#include "network/filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace kova {
namespace {

FilterValue less_than(double t) {
  return {FilterValue::LessThan{t}};
}
FilterValue greater_than(double t) {
  return {FilterValue::GreaterThan{t}};
}
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FilterNumbers, StrictSyntaxAndStrictComparison) {
  const auto f = less_than(100.0);
  for (const char* v : {"99.5", "1e1", "-inf", "+3", ".5", "1.", "-1e400", "-0"}) {
    EXPECT_TRUE(f.matches(v)) << v;
  }
  for (const char* v : {"100", "1e2", "abc", " 50", "50 ", "50 ms", "", "+", ".", "e3", "1e", "1e+",
                        "0x10", "nan", "1,5", "1..2", "+-1", "inf"}) {
    EXPECT_FALSE(f.matches(v)) << v;
  }
  const auto g = greater_than(1.5);
  for (const char* v : {"inf", "+Infinity", "iNfInItY", "2", "1E3"}) EXPECT_TRUE(g.matches(v)) << v;
  for (const char* v : {"nan", "-NaN", "nan(1)", "1.5", "infinit", "infinityy"}) {
    EXPECT_FALSE(g.matches(v)) << v;
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const char* v : {"1", "inf", "-inf"}) {
    EXPECT_FALSE(greater_than(nan).matches(v)) << v;
    EXPECT_FALSE(less_than(nan).matches(v)) << v;
  }
}

TEST(FilterNumbers, OutOfRangeValuesRoundLikeIeee) {
  EXPECT_EQ(parse_decimal("1e400"), kInf);
  EXPECT_EQ(parse_decimal("-1e400"), -kInf);
  EXPECT_EQ(parse_decimal("1e-400"), 0.0);
  EXPECT_EQ(parse_decimal("1e99999999999999999999"), kInf);
  EXPECT_EQ(parse_decimal("0e99999"), 0.0);
  EXPECT_EQ(parse_decimal(std::string(400, '9')), kInf);
  EXPECT_EQ(parse_decimal("0." + std::string(400, '0') + "1"), 0.0);
  EXPECT_EQ(parse_decimal("1.7976931348623159e308"), kInf);  // past DBL_MAX's rounding midpoint
  EXPECT_EQ(parse_decimal("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(parse_decimal("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_TRUE(std::signbit(parse_decimal("-0.0").value()));
  EXPECT_EQ(parse_decimal("-.5e-1"), -0.05);
}

TEST(FilterSets, EveryConditionNeedsItsKeyAndAMatch) {
  FilterMap filters;
  filters.emplace("protocol", FilterValue{FilterValue::Exact{"mcp"}});
  filters.emplace("cost", less_than(10.0));
  EXPECT_FALSE(passes_filters(&filters, Metadata{{"protocol", "mcp"}}));
  EXPECT_TRUE(passes_filters(&filters, Metadata{{"protocol", "mcp"}, {"cost", "3"}}));
  EXPECT_FALSE(passes_filters(&filters, Metadata{{"protocol", "mcp"}, {"cost", "30"}}));
  EXPECT_FALSE(passes_filters(&filters, Metadata{{"Protocol", "mcp"}, {"cost", "3"}}));
  EXPECT_FALSE(passes_filters(&filters, Metadata{}));
  const FilterMap empty;
  EXPECT_TRUE(passes_filters(&empty, Metadata{}));
  EXPECT_TRUE(passes_filters(nullptr, Metadata{}));
  EXPECT_FALSE(FilterValue{FilterValue::OneOf{}}.matches(""));
}

}  // namespace
}  // namespace kova
