#include "core/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/config.hpp"
#include "core/errors.hpp"

namespace kova {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatShortest, PositionalWithoutTrailingZero) {
  EXPECT_EQ(format_shortest(0.3), "0.3");
  EXPECT_EQ(format_shortest(2.0), "2");
  EXPECT_EQ(format_shortest(0.0), "0");
  EXPECT_EQ(format_shortest(-0.0), "-0");
  EXPECT_EQ(format_shortest(0.0000001), "0.0000001");
  EXPECT_EQ(format_shortest(1e21), "1000000000000000000000");
  EXPECT_EQ(format_shortest(-1.5e16), "-15000000000000000");
  EXPECT_EQ(format_shortest(123.456), "123.456");
  EXPECT_EQ(format_shortest(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(format_shortest(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(format_shortest(kNaN), "NaN");
  EXPECT_EQ(format_shortest(kInf), "inf");
  EXPECT_EQ(format_shortest(-kInf), "-inf");
  // Reads back exactly.
  for (double v : {0.04, 1.0 / 3.0, 2.5e-8, 9007199254740993.0, 1.7976931348623157e308}) {
    EXPECT_EQ(std::stod(format_shortest(v)), v);
  }
}

TEST(FormatDebug, DecimalInsideRangeScientificOutside) {
  EXPECT_EQ(format_debug(1.0), "1.0");
  EXPECT_EQ(format_debug(0.0), "0.0");
  EXPECT_EQ(format_debug(-0.0), "-0.0");
  EXPECT_EQ(format_debug(0.5), "0.5");
  EXPECT_EQ(format_debug(1e-4), "0.0001");
  EXPECT_EQ(format_debug(1e-5), "1e-5");
  EXPECT_EQ(format_debug(-2e-7), "-2e-7");
  EXPECT_EQ(format_debug(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(format_debug(1e16), "1e16");
  EXPECT_EQ(format_debug(1.5e16), "1.5e16");
  EXPECT_EQ(format_debug(1.25e-300), "1.25e-300");
  EXPECT_EQ(format_debug(kNaN), "NaN");
  EXPECT_EQ(format_debug(kInf), "inf");
  EXPECT_EQ(format_debug(-kInf), "-inf");
}

TEST(FormatFixed3, ThreeDecimals) {
  EXPECT_EQ(format_fixed3(0.42), "0.420");
  EXPECT_EQ(format_fixed3(1.0), "1.000");
  EXPECT_EQ(format_fixed3(0.0004), "0.000");
  EXPECT_EQ(format_fixed3(2.0 / 3.0), "0.667");
  EXPECT_EQ(format_fixed3(1e300).size(), 301u + 4u);
  EXPECT_EQ(format_fixed3(kNaN), "NaN");
  EXPECT_EQ(format_fixed3(-kInf), "-inf");
}

TEST(FormatQuote, Escapes) {
  EXPECT_EQ(debug_quote("plain"), "\"plain\"");
  EXPECT_EQ(debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quote("\n\r\t"), "\"\\n\\r\\t\"");
  EXPECT_EQ(debug_quote(std::string_view("x\0y", 3)), "\"x\\0y\"");
  EXPECT_EQ(debug_quote("\x01\x1b\x7f"), "\"\\u{1}\\u{1b}\\u{7f}\"");
  EXPECT_EQ(debug_quote("\xC2\x85"), "\"\\u{85}\"");  // C1 control U+0085
  EXPECT_EQ(debug_quote("it's \xC3\xA9 \xE6\x97\xA5"), "\"it's \xC3\xA9 \xE6\x97\xA5\"");
}

TEST(ErrorTexts, DisplayAndDebug) {
  DiscoveryError scorer{
      DiscoveryError::Kind::Scorer, "", {ScorerError::Kind::Other, "timeout"}, {}};
  EXPECT_EQ(scorer.display(), "Scorer error: Scorer failed: timeout");
  EXPECT_EQ(scorer.debug(), "Scorer(Other(\"timeout\"))");
  EXPECT_EQ((ScorerError{ScorerError::Kind::InvalidQuery, "q"}).display(), "Invalid query: q");
  EXPECT_EQ((ScorerError{ScorerError::Kind::IndexCorrupted, "i"}).debug(), "IndexCorrupted(\"i\")");

  const DiscoveryError cfg = DiscoveryError::config("Agent name cannot be empty");
  EXPECT_EQ(cfg.display(), "Configuration error: Agent name cannot be empty");
  EXPECT_EQ(cfg.debug(), "Config(\"Agent name cannot be empty\")");

  using K = DiscoveryError::Kind;
  EXPECT_EQ((DiscoveryError{K::UnknownAgent, "x", {}, {}}).display(), "Unknown agent: x");
  EXPECT_EQ((DiscoveryError{K::Persistence, "x", {}, {}}).display(), "Persistence error: x");
  EXPECT_EQ((DiscoveryError{K::CircuitBreakerOpen, "a", {}, {}}).display(),
            "Circuit breaker open for agent: a");
  EXPECT_EQ((DiscoveryError{K::MutexPoisoned, "m", {}, {}}).display(),
            "Mutex poisoned (recovered): m");
  EXPECT_EQ((DiscoveryError{K::MutexPoisoned, "m", {}, {}}).debug(), "MutexPoisoned(\"m\")");
  const DiscoveryError io{K::Io, "", {}, {"not found", "No such file"}};
  EXPECT_EQ(io.display(), "I/O error: No such file");
  EXPECT_EQ(io.debug(), "Io(Custom { kind: NotFound, error: \"No such file\" })");

  EXPECT_EQ(NetworkError::serialization("bad json").display(), "serialization error: bad json");
  EXPECT_EQ(NetworkError::io("denied").display(), "I/O error: denied");
  EXPECT_EQ(NetworkError::unsupported_version(4, 3).display(),
            "unsupported snapshot version 4 (supported up to 3)");
  EXPECT_EQ(NetworkError::serialization("x").debug(), "Serialization(\"x\")");
}

std::string failure(const DiscoveryConfig& c) {
  const auto e = c.validate();
  return e ? e->display() : "ok";
}

TEST(ConfigValidate, RulesMessagesAndOrder) {
  DiscoveryConfig c;
  EXPECT_EQ(failure(c), "ok");

  c = {};
  c.epsilon_floor = 0.0;
  EXPECT_EQ(failure(c), "Configuration error: epsilon_floor must be > 0");
  c = {};
  c.epsilon_initial = 0.05;
  EXPECT_EQ(failure(c), "ok");
  c.epsilon_initial = 0.04;
  EXPECT_EQ(failure(c),
            "Configuration error: epsilon_initial (0.04) must be >= epsilon_floor (0.05)");

  c = {};
  c.epsilon_decay_rate = 1.0;
  EXPECT_EQ(failure(c), "ok");
  c.epsilon_decay_rate = 0.0;
  EXPECT_EQ(failure(c), "Configuration error: epsilon_decay_rate must be in (0, 1], got 0");
  c.epsilon_decay_rate = 1.5;
  EXPECT_EQ(failure(c), "Configuration error: epsilon_decay_rate must be in (0, 1], got 1.5");

  c = {};
  c.feedback_relevance_threshold = 0.0;
  EXPECT_EQ(failure(c), "ok");
  c.feedback_relevance_threshold = 1.0;
  EXPECT_EQ(failure(c), "ok");
  c.feedback_relevance_threshold = -0.1;
  EXPECT_EQ(failure(c),
            "Configuration error: feedback_relevance_threshold must be in [0, 1], got -0.1");

  c = {};
  c.tie_epsilon = -1e-7;
  EXPECT_EQ(failure(c), "Configuration error: tie_epsilon must be > 0, got -0.0000001");
  c = {};
  c.tau_floor = 0.0;
  EXPECT_EQ(failure(c), "Configuration error: tau_floor must be > 0, got 0");
  c = {};
  c.diameter_min = -2.0;
  EXPECT_EQ(failure(c), "Configuration error: diameter_min must be > 0, got -2");
  c = {};
  c.diameter_min = 1.0;
  c.diameter_max = 1.0;
  EXPECT_EQ(failure(c), "Configuration error: diameter_max (1) must be > diameter_min (1)");
  c = {};
  c.diameter_initial = 2.0;
  EXPECT_EQ(failure(c), "ok");
  c.diameter_initial = 2.5;
  EXPECT_EQ(failure(c), "Configuration error: diameter_initial (2.5) must be in [0.01, 2]");
  c.diameter_initial = 0.001;
  EXPECT_EQ(failure(c), "Configuration error: diameter_initial (0.001) must be in [0.01, 2]");

  // Several broken rules: only the first is reported.
  c = {};
  c.tau_floor = 0.0;
  c.diameter_min = 5.0;
  c.epsilon_decay_rate = 2.0;
  EXPECT_EQ(failure(c), "Configuration error: epsilon_decay_rate must be in (0, 1], got 2");

  // Fields without rules.
  c = {};
  c.lsh.similarity_threshold = -1.0;
  c.max_feedback_records = 0;
  c.max_disagreement_split = 0;
  EXPECT_EQ(failure(c), "ok");
}

TEST(ConfigValidate, NaNPassesEveryRule) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  DiscoveryConfig c;
  c.epsilon_floor = nan;
  c.epsilon_initial = nan;
  c.epsilon_decay_rate = nan;
  c.feedback_relevance_threshold = nan;
  c.tie_epsilon = nan;
  c.tau_floor = nan;
  c.diameter_min = nan;
  c.diameter_max = nan;
  c.diameter_initial = nan;
  EXPECT_EQ(failure(c), "ok");
}

}  // namespace
}  // namespace kova
