#include "scorer/minhash.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "log/log.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

std::string tokens(std::size_t n, std::string_view sep) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += sep;
    out += "tok" + std::to_string(i);
  }
  return out;
}

class MinHashScorerTest : public ::testing::Test {
 protected:
  std::shared_ptr<log::CapturingSink> sink = std::make_shared<log::CapturingSink>();
  log::ScopedSink guard{sink};
  LshConfig cfg;
  MinHashScorer scorer{cfg};

  // The similarity of `agent` to a text signed as `signature`: 1 when the agent holds it.
  static double match(const MinHashScorer& s, std::string_view agent, MinHashSignature signature) {
    std::optional<MinHashSignature> cached = signature;
    ScoreRequest request{"unused"};
    request.signature_cache = &cached;
    ScoreList list;
    EXPECT_FALSE(s.score_into(request, list));
    for (const auto& [name, sim] : list.pairs) {
      if (name == agent) return sim;
    }
    return 0.0;
  }
  double match(std::string_view agent, const std::string& text) {
    return match(scorer, agent, compute_signature(text, cfg));
  }
};

TEST_F(MinHashScorerTest, LongCapabilitiesAreCutToFiftyTokensWithOneWarningEach) {
  // Cut texts are re-joined by single spaces; line breaks are kept in texts that are not cut;
  // Unicode white space separates, and leading and trailing runs are ignored.
  const std::vector<std::string> caps = {tokens(50, " "), tokens(51, "  "), tokens(60, "\n"),
                                         tokens(10, "\n"),
                                         "  lead\xE2\x80\x83" + tokens(55, "\t\r\n ") + "  "};
  for (std::size_t i = 0; i < caps.size(); ++i) {
    scorer.index_capabilities("a" + std::to_string(i), std::span(caps).subspan(i, 1));
  }
  for (const char* agent : {"a0", "a1", "a2"})
    EXPECT_EQ(match(agent, tokens(50, " ")), 1.0) << agent;
  EXPECT_EQ(match("a3", caps[3]), 1.0);
  EXPECT_LT(match("a3", tokens(10, " ")), 1.0);
  EXPECT_EQ(match("a4", "lead " + tokens(49, " ")), 1.0);
  const auto events = sink->events_with("truncating long capability string");
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].target, "kova_discovery_native::scorer");
  EXPECT_EQ(*events[0].field("agent_id"), "a1");
  EXPECT_EQ(*events[0].field("original_tokens"), "51");
  EXPECT_EQ(*events[0].field("max_tokens"), "50");
  EXPECT_EQ(*events[2].field("original_tokens"), "56");
  const std::size_t logged = sink->entries.size();
  MinHashScorer unlimited(cfg, std::nullopt);
  unlimited.index_capabilities("a", std::span(caps).subspan(2, 1));
  EXPECT_EQ(match(unlimited, "a", compute_signature(caps[2], cfg)), 1.0);
  EXPECT_EQ(sink->entries.size(), logged);
  // The adapter's default scorer is this one, over the adapter's configuration.
  LshConfig loose;
  loose.similarity_threshold = 0.25;
  ScorerAdapter adapter(loose);
  auto* minhash = dynamic_cast<MinHashScorer*>(adapter.scorer.get());
  ASSERT_NE(minhash, nullptr);
  EXPECT_EQ(minhash->config(), loose);
  EXPECT_TRUE(minhash->truncate_capability("a", tokens(51, " ")).has_value());
  EXPECT_FALSE(minhash->truncate_capability("a", tokens(50, " ")).has_value());
}

TEST_F(MinHashScorerTest, PresignedSignaturesReusedOnlyWhenSafe) {
  MinHashSignature marker;
  marker.fill(7);
  const std::vector<std::string> caps = {"short capability", tokens(51, " ")};
  const std::vector<MinHashSignature> given = {marker, marker};
  scorer.index("a", AgentTexts(caps, given, &cfg), 5);
  EXPECT_EQ(match(scorer, "a", marker), 1.0);   // reused as given
  EXPECT_EQ(match("a", tokens(50, " ")), 1.0);  // truncated: re-signed
  LshConfig other = cfg;
  other.shingle_mode = ShingleMode::hybrid(4);
  scorer.index("b", AgentTexts(caps, given, &other), 9);
  EXPECT_EQ(match("b", caps[0]), 1.0);
  EXPECT_LT(match(scorer, "b", marker), 1.0);
  // Keys beyond a lent array are listed instead.
  std::vector<double> short_array(4, 0.0);
  ScoreList partly(short_array);
  ASSERT_FALSE(scorer.score_into({"short capability"}, partly));
  EXPECT_EQ(short_array, (std::vector<double>{0, 0, 0, 0}));
  EXPECT_EQ(std::set<std::uint32_t>(partly.keys.begin(), partly.keys.end()),
            (std::set<std::uint32_t>{5, 9}));
}

// Enough replacements and removals to exercise compaction of the signature store; an agent
// scores as its best capability.
TEST_F(MinHashScorerTest, AgreesWithBruteForceThroughChurn) {
  test_support::Churn churn;
  churn.names = 400;
  churn.steps = 3000;
  churn.max_caps = 4;
  churn.text = [](std::mt19937_64& rng) {
    const char* words[] = {"alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "zeta"};
    std::string s;
    for (auto n = 1 + rng() % 4; n > 0; --n) s += std::string(words[rng() % 8]) + " ";
    return s;
  };
  churn.oracle = [&](const test_support::ModelAgents& agents, const std::string& query) {
    const MinHashSignature q = compute_signature(query, cfg);
    std::map<std::string, double> best;
    for (const auto& [name, a] : agents) {
      for (const std::string& c : a.caps) {
        const double s = signature_similarity(q, compute_signature(c, cfg));
        if (s > 0) best[name] = std::max(best[name], s);
      }
    }
    return best;
  };
  churn.run(scorer, 11);
}

}  // namespace
}  // namespace kova
