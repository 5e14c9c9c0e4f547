#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "network/network.hpp"

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
  void index_capabilities(std::string_view, std::span<const std::string>) override {}
  void remove_agent(std::string_view) override {}
  ScoreResult score(std::string_view query) const override {
    script_->queries.emplace_back(query);
    if (script_->fail) return ScoreResult::err("scripted failure");
    ScoreList list;
    for (const auto& [name, similarity] : script_->similarities) list.add_owned(name, similarity);
    return ScoreResult::ok(std::move(list));
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

TEST(PropagateFeedback, ZeroAttenuationOrEmptyTableDoesNothing) {
  auto script = std::make_shared<ScriptedScores>();
  script->similarities = {{"b", 1.0}};
  ScriptedScorer scorer(script);
  AgentTable agents;
  agents["b"];
  const Caps caps{"a"};

  propagate_feedback({0.0, 0.3}, "a", caps, scorer, agents, 1.0);
  EXPECT_TRUE(script->queries.empty());
  EXPECT_EQ(agents["b"].tau, 0.01);

  propagate_feedback({0.5, 0.3}, "a", caps, scorer, agents, -2.0);  // outcome scales the boost
  EXPECT_DOUBLE_EQ(agents["b"].tau, 0.01 - 1.0);

  AgentTable empty;
  propagate_feedback({0.3, 0.3}, "a", caps, scorer, empty, 1.0);
  EXPECT_TRUE(empty.empty());
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

}  // namespace
}  // namespace kova
