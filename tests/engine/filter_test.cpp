#include "network/filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
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
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What the strict syntax accepts reads as the C library reads it: correctly rounded, out of
// range to infinity or zero. Comparisons are strict, and a NaN threshold matches nothing.
TEST(FilterNumbers, StrictSyntaxAndStrictComparison) {
  auto reads_as_strtod = [](const std::string& v) {
    const double want = std::strtod(v.c_str(), nullptr), got = parse_decimal(v).value_or(kNaN);
    EXPECT_TRUE(got == want && std::signbit(got) == std::signbit(want)) << v;
  };
  for (const char* v :
       {"99.5", "1e1", "-inf", "+3", ".5", "1.", "-0", "iNfInItY", "1E3", "+Infinity", "1e-400",
        "-1e400", "1e99999999999999999999", "0e99999", "1.7976931348623159e308",
        "1.7976931348623157e308", "4.9406564584124654e-324", "-.5e-1"})
    reads_as_strtod(v);
  reads_as_strtod(std::string(400, '9'));
  reads_as_strtod("0." + std::string(400, '0') + "1");
  for (const char* v : {"abc", " 50", "50 ", "50 ms", "", "+", ".", "e3", "1e", "1e+", "0x10",
                        "nan", "-NaN", "nan(1)", "1,5", "1..2", "+-1", "infinit", "infinityy"}) {
    EXPECT_FALSE(less_than(kInf).matches(v) || greater_than(-kInf).matches(v)) << v;
  }
  EXPECT_EQ(parse_decimal("1.7976931348623159e308"), kInf);  // past DBL_MAX's midpoint
  EXPECT_TRUE(less_than(100).matches("99.5"));
  EXPECT_FALSE(less_than(100).matches("1e2"));
  EXPECT_TRUE(greater_than(1.5).matches("2"));
  EXPECT_FALSE(greater_than(1.5).matches("1.5"));
  for (const char* v : {"1", "inf", "-inf"}) {
    EXPECT_FALSE(greater_than(kNaN).matches(v)) << v;
    EXPECT_FALSE(less_than(kNaN).matches(v)) << v;
  }
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
