#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "network/network.hpp"
#include "scorer/minhash.hpp"

namespace kova {
namespace {

using Caps = std::vector<std::string>;

// Answers every query with the similarities it was given, or fails; remembers the queries.
struct ScriptedScores {
  std::vector<std::pair<std::string, double>> similarities;
  bool fail = false;
  std::vector<std::string> queries;
};

class ScriptedScorer final : public Scorer {
 public:
  explicit ScriptedScorer(std::shared_ptr<ScriptedScores> script) : script_(std::move(script)) {}
  void index(std::string_view, const AgentTexts&, std::uint32_t) override {}
  void remove_agent(std::string_view) override {}
  std::optional<std::string> score_into(const ScoreRequest& request,
                                        ScoreList& list) const override {
    script_->queries.emplace_back(request.text);
    if (script_->fail) return "scripted failure";
    for (const auto& [name, similarity] : script_->similarities) list.add_owned(name, similarity);
    return std::nullopt;
  }

 private:
  std::shared_ptr<ScriptedScores> script_;
};

struct PropagationFixture : ::testing::Test {
  std::shared_ptr<ScriptedScores> script = std::make_shared<ScriptedScores>();
  std::unique_ptr<LocalNetwork> net =
      LocalNetwork::with_scorer(std::make_unique<ScriptedScorer>(script));

  void reg(const std::string& name, const Caps& caps) {
    ASSERT_FALSE(net->register_agent(name, caps, std::nullopt, {}).has_value());
  }
  double tau(const std::string& name) { return net->find(name)->tau; }
};

TEST_F(PropagationFixture, ThresholdIsInclusiveAndSourceAndStrangersAreSkipped) {
  reg("source", {"legal translation", "contracts"});
  reg("below", {"x"});
  reg("at", {"y"});
  reg("high", {"z"});
  reg("unscored", {"w"});
  script->similarities = {
      {"source", 1.0}, {"below", 0.29}, {"at", 0.3}, {"ghost", 0.9}, {"high", 1.0}};

  net->record_success("source", std::nullopt);

  ASSERT_EQ(script->queries.size(), 1u);
  EXPECT_EQ(script->queries[0], "legal translation contracts");
  EXPECT_DOUBLE_EQ(tau("source"), 0.06);  // its own success only
  EXPECT_EQ(tau("below"), 0.01);
  EXPECT_DOUBLE_EQ(tau("at"), 0.01 + 0.09);
  EXPECT_DOUBLE_EQ(tau("high"), 0.01 + 0.3);
  EXPECT_EQ(tau("unscored"), 0.01);
  EXPECT_EQ(net->find("ghost"), nullptr);
}

TEST_F(PropagationFixture, NoCapAndOpenCircuitsStillReceive) {
  reg("source", {"a"});
  reg("other", {"b"});
  for (int i = 0; i < 5; ++i) net->record_failure("other", std::nullopt);
  ASSERT_EQ(net->find("other")->circuit.kind, CircuitState::Kind::Open);
  script->similarities = {{"other", 1.0}};
  for (int i = 0; i < 10; ++i) net->record_success("source", std::nullopt);
  EXPECT_NEAR(tau("other"), 0.01 + 10 * 0.3, 1e-12);
}

TEST_F(PropagationFixture, OnlyKnownSuccessesPropagateAndAFailingScorerIsHarmless) {
  reg("source", {"a"});
  reg("other", {"b"});
  script->fail = true;
  net->record_success("source", "query");
  EXPECT_DOUBLE_EQ(tau("source"), 0.06);
  EXPECT_EQ(tau("other"), 0.01);
  EXPECT_EQ(net->find("source")->feedback.size(), 1u);
  EXPECT_DOUBLE_EQ(net->exploration_epsilon(), 0.792);

  // Failures and unknown sources never ask the scorer.
  script->queries.clear();
  net->record_failure("other", std::nullopt);
  net->record_success("ghost", std::nullopt);
  EXPECT_TRUE(script->queries.empty());
}

TEST(PropagateFeedbackMinHash, IdenticalCapabilitiesReceiveThreeTenths) {
  auto net = LocalNetwork::create_default();
  const Caps caps{"translate legal contracts"};
  ASSERT_FALSE(net->register_agent("a", caps, std::nullopt, {}).has_value());
  ASSERT_FALSE(net->register_agent("b", caps, std::nullopt, {}).has_value());
  net->record_success("a", std::nullopt);
  EXPECT_DOUBLE_EQ(net->find("b")->tau, 0.01 + 0.3);

  auto alone = LocalNetwork::create_default();
  ASSERT_FALSE(alone->register_agent("a", caps, std::nullopt, {}).has_value());
  alone->record_success("a", std::nullopt);
  EXPECT_DOUBLE_EQ(alone->find("a")->tau, 0.06);
}

// Random capability texts over a small vocabulary, so that many agents resemble each other
// and similarities fall on both sides of the threshold.
std::string random_words(std::mt19937_64& rng, std::size_t count) {
  static const char* const kWords[] = {"translate", "legal",  "contract", "pdf",   "report",
                                       "image",     "search", "sql",      "email", "code"};
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ' ';
    out += kWords[rng() % 10];
  }
  return out;
}

std::string joined(const Caps& caps) {
  std::string text;
  for (std::size_t i = 0; i < caps.size(); ++i) text += (i > 0 ? " " : "") + caps[i];
  return text;
}

TEST(PropagateFeedbackMinHash, EngineAgreesWithScoringTheJoinedText) {
  std::mt19937_64 rng(5);
  auto net = LocalNetwork::create_default();
  std::vector<Caps> caps(120);
  for (std::size_t i = 0; i < caps.size(); ++i) {
    caps[i] = {random_words(rng, 1 + rng() % 4), random_words(rng, 1 + rng() % 3)};
    ASSERT_FALSE(
        net->register_agent("agent-" + std::to_string(i), caps[i], std::nullopt, {}).has_value());
  }
  std::map<std::string, double> expected;
  for (const auto& [name, record] : net->agent_table()) expected[name] = record.tau;

  // Repeated sources reuse what their first success derived; some successes carry no query.
  for (int round = 0; round < 40; ++round) {
    const std::size_t source = rng() % 12;
    const std::string name = "agent-" + std::to_string(source);
    const ScoreResult scores = net->scorer_adapter().scorer->score(joined(caps[source]));
    ASSERT_TRUE(scores);
    expected[name] = std::fmax(expected[name] + 0.05, 0.001);
    for (const auto& [other, similarity] : scores.value().pairs) {
      if (similarity >= 0.3 && other != name) expected[std::string(other)] += similarity * 0.3;
    }
    if (round % 3 == 0) {
      net->record_success(name, std::nullopt);
    } else {
      net->record_success(name, random_words(rng, 3));
    }
    for (const auto& [agent, record] : net->agent_table()) {
      ASSERT_EQ(record.tau, expected[agent]) << agent << " after round " << round;
    }
  }
}

TEST(PropagateFeedbackMinHash, ReRegistrationPropagatesTheNewCapabilities) {
  auto net = LocalNetwork::create_default();
  const Caps legal{"legal contract review"};
  const Caps code{"python code search"};
  ASSERT_FALSE(net->register_agent("source", legal, std::nullopt, {}).has_value());
  ASSERT_FALSE(net->register_agent("lawyer", legal, std::nullopt, {}).has_value());
  ASSERT_FALSE(net->register_agent("coder", code, std::nullopt, {}).has_value());
  net->record_success("source", "contracts");
  EXPECT_DOUBLE_EQ(net->find("lawyer")->tau, 0.31);
  EXPECT_EQ(net->find("coder")->tau, 0.01);

  ASSERT_FALSE(net->register_agent("source", code, std::nullopt, {}).has_value());
  net->record_success("source", "contracts");
  EXPECT_DOUBLE_EQ(net->find("lawyer")->tau, 0.31);
  EXPECT_DOUBLE_EQ(net->find("coder")->tau, 0.31);
}

TEST(MinHashScoreSignature, FloorKeepsExactlyTheScoredAgentsAtOrAboveIt) {
  std::mt19937_64 rng(9);
  const LshConfig config = DiscoveryConfig{}.lsh;
  MinHashScorer scorer(config);
  for (std::uint32_t i = 0; i < 300; ++i) {
    const Caps caps{random_words(rng, 1 + rng() % 4), random_words(rng, 2)};
    scorer.index("agent-" + std::to_string(i), caps, i % 7 == 0 ? 0 : i + 1);
  }
  for (int round = 0; round < 20; ++round) {
    const std::string text = random_words(rng, 2 + rng() % 6);
    const MinHashSignature signature = compute_signature(text, config);
    const ScoreList all = scorer.score(text).value();
    ASSERT_EQ(all.keys.size(), all.pairs.size());
    // 19/64 falls just short of 0.3 and 20/64 reaches it.
    for (const double floor : {0.0, 0.3, 19.0 / 64.0, 20.0 / 64.0, 1.0}) {
      std::optional<MinHashSignature> cached = signature;
      ScoreRequest request{text, floor};
      request.signature_cache = &cached;
      ScoreList some;
      ASSERT_FALSE(scorer.score_into(request, some));
      std::vector<std::pair<std::string_view, double>> pairs;
      std::vector<std::uint32_t> keys;
      for (std::size_t i = 0; i < all.pairs.size(); ++i) {
        if (all.pairs[i].second >= floor) {
          pairs.push_back(all.pairs[i]);
          keys.push_back(all.keys[i]);
        }
      }
      EXPECT_EQ(some.pairs, pairs) << text << " at " << floor;
      EXPECT_EQ(some.keys, keys) << text << " at " << floor;
    }
    ScoreList none;
    ASSERT_FALSE(scorer.score_into({text, std::nan("")}, none));
    EXPECT_TRUE(none.pairs.empty());
  }
}

TEST(PropagateFeedbackMinHash, QueriesAfterASuccessSeeWhatItSpread) {
  // `fresh` re-reads every agent before its second query; `net` must see the same state,
  // whether a few neighbours gained or many.
  const Caps legal{"legal contract review"};
  for (const int neighbours : {3, 20}) {
    const auto clock = std::make_shared<ManualClock>();
    auto net = LocalNetwork::create_default(clock);
    auto fresh = LocalNetwork::create_default(clock);
    for (auto* n : {net.get(), fresh.get()}) {
      ASSERT_FALSE(n->register_agent("source", legal, std::nullopt, {}).has_value());
      for (int i = 0; i < neighbours; ++i) {
        ASSERT_FALSE(
            n->register_agent("n" + std::to_string(i), legal, std::nullopt, {}).has_value());
      }
      (void)n->discover_explained("legal contract", nullptr);
      for (int i = 0; i < 3; ++i) n->record_success("source", "contract review");
    }
    ASSERT_FALSE(fresh->register_agent("extra", Caps{"x"}, std::nullopt, {}).has_value());
    ASSERT_TRUE(fresh->deregister("extra"));

    std::map<std::string, double> seen;
    std::map<std::string, double> expected;
    for (const auto& r : net->discover_explained("legal contract", nullptr)) {
      seen[r.agent_name] = r.enzyme_score;
    }
    for (const auto& r : fresh->discover_explained("legal contract", nullptr)) {
      expected[r.agent_name] = r.enzyme_score;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(neighbours) + 1);
    EXPECT_EQ(seen, expected) << neighbours << " neighbours";
  }
}

}  // namespace
}  // namespace kova
