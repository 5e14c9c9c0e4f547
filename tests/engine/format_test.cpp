#include "core/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/config.hpp"
#include "core/errors.hpp"

namespace kova {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Cases = std::vector<std::pair<double, std::string>>;

void expect_formats(std::string (*format)(double), const Cases& cases) {
  for (const auto& [value, text] : cases) EXPECT_EQ(format(value), text) << text;
}

TEST(FormatNumbers, ShortestDebugAndFixed) {
  expect_formats(format_shortest, {{0.3, "0.3"},
                                   {2.0, "2"},
                                   {-0.0, "-0"},
                                   {0.0000001, "0.0000001"},
                                   {1e21, "1000000000000000000000"},
                                   {-1.5e16, "-15000000000000000"},
                                   {0.1 + 0.2, "0.30000000000000004"},
                                   {5e-324, "0." + std::string(323, '0') + "5"},
                                   {kNaN, "NaN"},
                                   {-kInf, "-inf"}});
  for (double v : {0.04, 1.0 / 3.0, 2.5e-8, 9007199254740993.0, 1.7976931348623157e308}) {
    EXPECT_EQ(std::stod(format_shortest(v)), v);
  }
  // Positional inside [1e-4, 1e16), scientific outside.
  expect_formats(format_debug, {{1.0, "1.0"},
                                {-0.0, "-0.0"},
                                {1e-4, "0.0001"},
                                {1e-5, "1e-5"},
                                {-2e-7, "-2e-7"},
                                {9999999999999998.0, "9999999999999998.0"},
                                {1e16, "1e16"},
                                {1.5e16, "1.5e16"},
                                {1.25e-300, "1.25e-300"},
                                {kNaN, "NaN"},
                                {kInf, "inf"}});
  expect_formats(format_fixed3,
                 {{0.42, "0.420"}, {0.0004, "0.000"}, {2.0 / 3.0, "0.667"}, {-kInf, "-inf"}});
  EXPECT_EQ(format_fixed3(1e300).size(), 301u + 4u);
}

TEST(FormatQuote, Escapes) {
  EXPECT_EQ(debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quote("\n\r\t"), "\"\\n\\r\\t\"");
  EXPECT_EQ(debug_quote(std::string_view("x\0y", 3)), "\"x\\0y\"");
  EXPECT_EQ(debug_quote("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
  EXPECT_EQ(debug_quote("\xC2\x85"), "\"\\u{85}\"");  // C1 control U+0085
  EXPECT_EQ(debug_quote("it's \xC3\xA9 \xE6\x97\xA5"), "\"it's \xC3\xA9 \xE6\x97\xA5\"");
}

std::string failure(const DiscoveryConfig& c) {
  const auto e = c.validate();
  return e ? e->display() : "ok";
}

TEST(ConfigValidate, RulesMessagesAndOrder) {
  const std::pair<void (*)(DiscoveryConfig&), std::string> cases[] = {
      {[](DiscoveryConfig&) {}, "ok"},
      {[](DiscoveryConfig& c) { c.epsilon_floor = 0.0; }, "epsilon_floor must be > 0"},
      {[](DiscoveryConfig& c) { c.epsilon_initial = 0.05; }, "ok"},
      {[](DiscoveryConfig& c) { c.epsilon_initial = 0.04; },
       "epsilon_initial (0.04) must be >= epsilon_floor (0.05)"},
      {[](DiscoveryConfig& c) { c.epsilon_decay_rate = 1.0; }, "ok"},
      {[](DiscoveryConfig& c) { c.epsilon_decay_rate = 0.0; },
       "epsilon_decay_rate must be in (0, 1], got 0"},
      {[](DiscoveryConfig& c) { c.epsilon_decay_rate = 1.5; },
       "epsilon_decay_rate must be in (0, 1], got 1.5"},
      {[](DiscoveryConfig& c) { c.feedback_relevance_threshold = 0.0; }, "ok"},
      {[](DiscoveryConfig& c) { c.feedback_relevance_threshold = 1.0; }, "ok"},
      {[](DiscoveryConfig& c) { c.feedback_relevance_threshold = -0.1; },
       "feedback_relevance_threshold must be in [0, 1], got -0.1"},
      {[](DiscoveryConfig& c) { c.tie_epsilon = -1e-7; },
       "tie_epsilon must be > 0, got -0.0000001"},
      {[](DiscoveryConfig& c) { c.tau_floor = 0.0; }, "tau_floor must be > 0, got 0"},
      {[](DiscoveryConfig& c) { c.diameter_min = -2.0; }, "diameter_min must be > 0, got -2"},
      {[](DiscoveryConfig& c) { c.diameter_min = c.diameter_max = 1.0; },
       "diameter_max (1) must be > diameter_min (1)"},
      {[](DiscoveryConfig& c) { c.diameter_initial = 2.0; }, "ok"},
      {[](DiscoveryConfig& c) { c.diameter_initial = 2.5; },
       "diameter_initial (2.5) must be in [0.01, 2]"},
      {[](DiscoveryConfig& c) { c.diameter_initial = 0.001; },
       "diameter_initial (0.001) must be in [0.01, 2]"},
      // Several broken rules: only the first is reported.
      {[](DiscoveryConfig& c) {
         c.tau_floor = 0.0;
         c.diameter_min = 5.0;
         c.epsilon_decay_rate = 2.0;
       },
       "epsilon_decay_rate must be in (0, 1], got 2"},
      // Fields without rules.
      {[](DiscoveryConfig& c) {
         c.lsh.similarity_threshold = -1.0;
         c.max_feedback_records = 0;
         c.max_disagreement_split = 0;
       },
       "ok"},
      // NaN passes every rule.
      {[](DiscoveryConfig& c) {
         c.epsilon_floor = c.epsilon_initial = c.epsilon_decay_rate = kNaN;
         c.feedback_relevance_threshold = c.tie_epsilon = c.tau_floor = kNaN;
         c.diameter_min = c.diameter_max = c.diameter_initial = kNaN;
       },
       "ok"},
  };
  for (const auto& [change, message] : cases) {
    DiscoveryConfig c;
    change(c);
    EXPECT_EQ(failure(c), message == "ok" ? message : "Configuration error: " + message);
  }
}

}  // namespace
}  // namespace kova
