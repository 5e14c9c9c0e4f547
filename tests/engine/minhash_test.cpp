#include "scorer/minhash.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
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

std::map<std::string, double> as_map(const ScoreResult& r) {
  return test_support::as_map(r.value());
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
  double match(std::string_view agent, MinHashSignature signature) {
    return match(scorer, agent, signature);
  }
};

TEST_F(MinHashScorerTest, FiftyTokensKeptFiftyOneTruncatedWithOneWarningUnlessUnlimited) {
  const std::vector<std::string> caps = {tokens(50, " "), tokens(51, "  ")};
  scorer.index_capabilities("agent", caps);
  EXPECT_EQ(match("agent", compute_signature(caps[0], cfg)), 1.0);
  EXPECT_LT(match("agent", compute_signature(caps[1], cfg)), 1.0);

  const auto events = sink->events_with("truncating long capability string");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].target, "kova_discovery_native::scorer");
  EXPECT_EQ(*events[0].field("agent_id"), "agent");
  EXPECT_EQ(*events[0].field("original_tokens"), "51");
  EXPECT_EQ(*events[0].field("max_tokens"), "50");

  const std::size_t logged = sink->entries.size();
  MinHashScorer unlimited(cfg, std::nullopt);
  const std::vector<std::string> long_caps = {tokens(80, "\n")};
  unlimited.index_capabilities("a", long_caps);
  EXPECT_EQ(match(unlimited, "a", compute_signature(long_caps[0], cfg)), 1.0);
  EXPECT_EQ(sink->entries.size(), logged);
}

TEST_F(MinHashScorerTest, LineBreaksKeptUnlessTruncated) {
  const std::vector<std::string> caps = {tokens(60, "\n"), tokens(10, "\n"),
                                         "  lead\xE2\x80\x83" + tokens(55, "\t\r\n ") + "  "};
  for (std::size_t i = 0; i < caps.size(); ++i) {
    scorer.index_capabilities("a" + std::to_string(i), std::span(caps).subspan(i, 1));
  }
  EXPECT_EQ(match("a0", compute_signature(tokens(50, " "), cfg)), 1.0);
  EXPECT_EQ(match("a1", compute_signature(tokens(10, "\n"), cfg)), 1.0);
  EXPECT_LT(match("a1", compute_signature(tokens(10, " "), cfg)), 1.0);
  // Unicode white space separates too; leading and trailing runs are ignored.
  EXPECT_EQ(match("a2", compute_signature("lead " + tokens(49, " "), cfg)), 1.0);
  EXPECT_EQ(sink->events_with("truncating long capability string").size(), 2u);
  EXPECT_EQ(*sink->events_with("truncating long capability string")[1].field("original_tokens"),
            "56");
}

TEST_F(MinHashScorerTest, ScoringBestCapabilityReplacementAndRemoval) {
  EXPECT_TRUE(scorer.score("anything").value().pairs.empty());

  const std::vector<std::string> a1 = {"translate legal contracts", "summarise pdf reports"};
  const std::vector<std::string> a2 = {"image classification"};
  scorer.index_capabilities("a", a1);
  scorer.index_capabilities("b", a2);
  scorer.index_capabilities("empty", std::vector<std::string>{});
  auto m = as_map(scorer.score("summarise pdf reports"));
  EXPECT_EQ(m["a"], 1.0);
  EXPECT_EQ(m.count("empty"), 0u);
  for (const auto& [name, sim] : m) EXPECT_GT(sim, 0.0) << name;

  // Re-indexing replaces the list, whether it shrinks or grows.
  scorer.index_capabilities("a", a2);
  EXPECT_EQ(as_map(scorer.score("image classification"))["a"], 1.0);
  EXPECT_LT(as_map(scorer.score("summarise pdf reports"))["a"], 1.0);
  const std::vector<std::string> grown = {"x one", "y two", "z three"};
  scorer.index_capabilities("a", grown);
  EXPECT_EQ(as_map(scorer.score("z three"))["a"], 1.0);

  scorer.remove_agent("never-indexed");
  scorer.remove_agent("a");
  EXPECT_EQ(as_map(scorer.score("z three")).count("a"), 0u);
  EXPECT_EQ(as_map(scorer.score("image classification"))["b"], 1.0);
}

TEST_F(MinHashScorerTest, PresignedSignaturesReusedOnlyWhenSafe) {
  MinHashSignature marker;
  marker.fill(7);
  const std::vector<std::string> caps = {"short capability", tokens(51, " ")};
  const std::vector<MinHashSignature> given = {marker, marker};
  scorer.index("a", AgentTexts(caps, given, &cfg), 5);
  EXPECT_EQ(match("a", marker), 1.0);                                   // reused as given
  EXPECT_EQ(match("a", compute_signature(tokens(50, " "), cfg)), 1.0);  // truncated: re-signed
  EXPECT_EQ(sink->events_with("truncating long capability string").size(), 1u);

  LshConfig other = cfg;
  other.shingle_mode = ShingleMode::hybrid(4);
  scorer.index("b", AgentTexts(caps, given, &other), 9);
  EXPECT_EQ(match("b", compute_signature(caps[0], cfg)), 1.0);
  EXPECT_LT(match("b", marker), 1.0);

  // Results carry the keys the agents were indexed with; plain indexing carries none.
  scorer.index_capabilities("c", caps);
  const ScoreList list = scorer.score("short capability").value();
  ASSERT_EQ(list.keys.size(), list.pairs.size());
  EXPECT_EQ(test_support::keys_by_name(list),
            (std::map<std::string, std::uint32_t>{{"a", 5}, {"b", 9}, {"c", 0}}));

  // Written by key: the listed similarity, 0 for an agent the listing leaves out, nothing
  // for agents without a key or beyond the array.
  scorer.index("d", std::vector<std::string>{"zzzz"}, 3);
  std::map<std::string, double> listed;
  for (const auto& [name, sim] : list.pairs) listed[std::string(name)] = sim;
  std::vector<double> by_key(10, 0.0);
  ScoreList keyed(by_key);
  ASSERT_FALSE(scorer.score_into({"short capability"}, keyed));
  const std::vector<double> expected{0, 0, 0, 0, 0, listed["a"], 0, 0, 0, listed["b"]};
  EXPECT_EQ(by_key, expected);
  EXPECT_EQ(test_support::keys_by_name(keyed), (std::map<std::string, std::uint32_t>{{"c", 0}}));
  std::vector<double> short_array(4, 0.0);
  ScoreList partly(short_array);
  ASSERT_FALSE(scorer.score_into({"short capability"}, partly));
  EXPECT_EQ(short_array, (std::vector<double>{0, 0, 0, 0}));
  EXPECT_EQ(test_support::keys_by_name(partly),
            (std::map<std::string, std::uint32_t>{{"a", 5}, {"b", 9}, {"c", 0}}));
}

TEST_F(MinHashScorerTest, AgreesWithBruteForceThroughChurn) {
  // Enough replacements and removals to exercise compaction of the signature store.
  std::mt19937_64 rng(11);
  const char* words[] = {"alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "zeta"};
  auto random_cap = [&] {
    std::string s;
    for (std::size_t i = 0, n = 1 + rng() % 4; i < n; ++i) s += std::string(words[rng() % 8]) + " ";
    return s;
  };
  std::map<std::string, std::vector<std::string>> model;
  for (int op = 0; op < 3000; ++op) {
    const std::string name = "agent" + std::to_string(rng() % 400);
    if (rng() % 4 == 0) {
      scorer.remove_agent(name);
      model.erase(name);
    } else {
      std::vector<std::string> caps(rng() % 5);
      for (auto& c : caps) c = random_cap();
      scorer.index_capabilities(name, caps);
      model[name] = caps;
    }
  }
  for (int qi = 0; qi < 5; ++qi) {
    const std::string query = random_cap();
    const MinHashSignature q = compute_signature(query, cfg);
    std::map<std::string, double> expected;
    for (const auto& [name, caps] : model) {
      double best = 0.0;
      for (const auto& c : caps)
        best = std::max(best, signature_similarity(q, compute_signature(c, cfg)));
      if (best > 0.0) expected[name] = best;
    }
    EXPECT_EQ(as_map(scorer.score(query)), expected);
  }
}

TEST(ScorerAdapterTest, DefaultIsATruncatingMinHashScorerWithTheSameConfig) {
  LshConfig cfg;
  cfg.similarity_threshold = 0.25;
  ScorerAdapter adapter(cfg);
  auto* minhash = dynamic_cast<MinHashScorer*>(adapter.scorer.get());
  ASSERT_NE(minhash, nullptr);
  EXPECT_EQ(minhash->config(), cfg);
  EXPECT_TRUE(minhash->truncate_capability("a", tokens(51, " ")).has_value());
  EXPECT_FALSE(minhash->truncate_capability("a", tokens(50, " ")).has_value());
}

}  // namespace
}  // namespace kova
