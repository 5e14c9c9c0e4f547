#include "core/format.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "core/config.hpp"
#include "core/errors.hpp"

namespace kova {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatNumbers, ShortestDebugAndFixed) {
  const std::pair<double, std::string> shortest[] = {{0.3, "0.3"},  {2.0, "2"},
                                                     {-0.0, "-0"},  {0.0000001, "0.0000001"},
                                                     {kNaN, "NaN"}, {-kInf, "-inf"}};
  for (const auto& [value, text] : shortest) EXPECT_EQ(format_shortest(value), text);
  EXPECT_EQ(format_shortest(-1.5e16), "-15000000000000000");
  EXPECT_EQ(format_shortest(1e21), "1000000000000000000000");
  EXPECT_EQ(format_shortest(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(format_shortest(5e-324), "0." + std::string(323, '0') + "5");
  for (double v : {0.04, 1.0 / 3.0, 2.5e-8, 9007199254740993.0, 1.7976931348623157e308}) {
    EXPECT_EQ(std::stod(format_shortest(v)), v);
  }
  // Positional inside [1e-4, 1e16), scientific outside.
  const std::pair<double, std::string> debug[] = {
      {1.0, "1.0"},   {-0.0, "-0.0"},     {1e-4, "0.0001"},
      {1e-5, "1e-5"}, {-2e-7, "-2e-7"},   {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"}, {1.5e16, "1.5e16"}, {1.25e-300, "1.25e-300"},
      {kNaN, "NaN"},  {kInf, "inf"}};
  for (const auto& [value, text] : debug) EXPECT_EQ(format_debug(value), text);
  const std::pair<double, std::string> fixed[] = {
      {0.42, "0.420"}, {0.0004, "0.000"}, {2.0 / 3.0, "0.667"}, {-kInf, "-inf"}};
  for (const auto& [value, text] : fixed) EXPECT_EQ(format_fixed3(value), text);
  EXPECT_EQ(format_fixed3(1e300).size(), 301u + 4u);
}

// Quotes, backslashes and control characters (C1 included) are escaped; other text passes.
TEST(FormatQuote, Escapes) {
  EXPECT_EQ(debug_quote(std::string("a\"b\\c\n\r\t") + '\0' + "\x01\x1b\x7f\xC2\x85 it's \xC3\xA9"),
            "\"a\\\"b\\\\c\\n\\r\\t\\0\\u{1}\\u{1b}\\u{7f}\\u{85} it's \xC3\xA9\"");
}

// One rule per row, each broken or met at its edge; only the first broken rule is reported,
// NaN passes every rule, and some fields have none.
TEST(ConfigValidate, RulesMessagesAndOrder) {
  using C = DiscoveryConfig;
  const std::tuple<double C::*, double, const char*> rows[] = {
      {&C::epsilon_floor, 0.0, "epsilon_floor must be > 0"},
      {&C::epsilon_initial, 0.05, ""},
      {&C::epsilon_initial, 0.04, "epsilon_initial (0.04) must be >= epsilon_floor (0.05)"},
      {&C::epsilon_decay_rate, 1.0, ""},
      {&C::epsilon_decay_rate, 0.0, "epsilon_decay_rate must be in (0, 1], got 0"},
      {&C::epsilon_decay_rate, 1.5, "epsilon_decay_rate must be in (0, 1], got 1.5"},
      {&C::feedback_relevance_threshold, 0.0, ""},
      {&C::feedback_relevance_threshold, 1.0, ""},
      {&C::feedback_relevance_threshold, -0.1,
       "feedback_relevance_threshold must be in [0, 1], got -0.1"},
      {&C::tie_epsilon, -1e-7, "tie_epsilon must be > 0, got -0.0000001"},
      {&C::tau_floor, 0.0, "tau_floor must be > 0, got 0"},
      {&C::diameter_min, -2.0, "diameter_min must be > 0, got -2"},
      {&C::diameter_max, 0.01, "diameter_max (0.01) must be > diameter_min (0.01)"},
      {&C::diameter_initial, 2.0, ""},
      {&C::diameter_initial, 2.5, "diameter_initial (2.5) must be in [0.01, 2]"},
      {&C::diameter_initial, 0.001, "diameter_initial (0.001) must be in [0.01, 2]"},
  };
  auto failure = [](const C& c) {
    const auto e = c.validate();
    return e ? e->display() : "";
  };
  for (const auto& [field, value, message] : rows) {
    C c;
    c.*field = value;
    EXPECT_EQ(failure(c), *message ? std::string("Configuration error: ") + message : "");
  }
  C several;
  several.tau_floor = 0.0;
  several.diameter_min = 5.0;
  several.epsilon_decay_rate = 2.0;
  EXPECT_EQ(failure(several), "Configuration error: epsilon_decay_rate must be in (0, 1], got 2");
  C lax;
  lax.lsh.similarity_threshold = -1.0;
  lax.max_feedback_records = lax.max_disagreement_split = 0;
  for (auto field : {&C::epsilon_floor, &C::epsilon_initial, &C::epsilon_decay_rate,
                     &C::feedback_relevance_threshold, &C::tie_epsilon, &C::tau_floor,
                     &C::diameter_min, &C::diameter_max, &C::diameter_initial})
    lax.*field = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(failure(lax), "");
}

}  // namespace
}  // namespace kova
