#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/lsh.hpp"
#include "log/log.hpp"
#include "network/network.hpp"
#include "scorer/minhash.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using namespace std::chrono_literals;
using Caps = std::vector<std::string>;
using Kind = CircuitState::Kind;

struct FeedbackFixture : ::testing::Test {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::unique_ptr<LocalNetwork> net = LocalNetwork::create_default(clock);

  void reg(const std::string& name, const Caps& caps) {
    ASSERT_FALSE(net->register_agent(name, caps, std::nullopt, {}).has_value());
  }
  const AgentRecord& agent(const std::string& name) { return *net->find(name); }
  std::vector<EventKind> replay() {
    return net->with_replay_log([](const ReplayLog& log) {
      std::vector<EventKind> out;
      for (const auto& e : log.events()) out.push_back(e.event);
      return out;
    });
  }
};

TEST_F(FeedbackFixture, OneSuccessMovesEveryRoutingValueAndRemembersTheQuery) {
  reg("a", {"translate legal documents"});
  clock->advance(7s);
  net->record_success("a", std::nullopt);
  const AgentRecord& a = agent("a");
  EXPECT_DOUBLE_EQ(a.diameter, 1.0);
  EXPECT_DOUBLE_EQ(a.tau, 0.06);
  EXPECT_DOUBLE_EQ(a.sigma, 0.01);
  EXPECT_EQ(a.last_activity, clock->monotonic_now());
  EXPECT_TRUE(a.feedback.empty());

  net->record_success("a", "translate contract");
  net->record_failure("a", "summarise");
  ASSERT_EQ(a.feedback.size(), 2u);
  EXPECT_EQ(a.feedback[0].query_signature,
            compute_signature("translate contract", net->lsh_config()));
  EXPECT_EQ(a.feedback[0].outcome, 1.0);
  EXPECT_EQ(a.feedback[1].query_signature, compute_signature("summarise", net->lsh_config()));
  EXPECT_EQ(a.feedback[1].outcome, -1.0);
}

TEST_F(FeedbackFixture, FailuresFloorDiameterOpenCircuitAndSaturate) {
  reg("a", {"x"});
  const MonoTime registered = agent("a").last_activity;
  for (int i = 1; i <= 18; ++i) {
    clock->advance(1s);
    net->record_failure("a", std::nullopt);
    if (i == 4) {
      EXPECT_EQ(agent("a").circuit.kind, Kind::Closed);
    }
    if (i == 5) {
      EXPECT_EQ(agent("a").circuit.kind, Kind::Open);
      EXPECT_EQ(agent("a").circuit.opened_at, clock->monotonic_now());
    }
  }
  EXPECT_NEAR(agent("a").diameter, 0.1, 1e-12);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 18);
  EXPECT_EQ(agent("a").last_activity, registered);
  net->record_failure("a", std::nullopt);
  EXPECT_EQ(agent("a").diameter, 0.1);  // exactly the floor once it is reached

  for (int i = 0; i < 300; ++i) net->record_failure("a", std::nullopt);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 255);
  EXPECT_EQ(agent("a").diameter, 0.1);
}

TEST_F(FeedbackFixture, CircuitOpensRecoversFailsAgainAndCloses) {
  reg("a", {"x"});
  for (int i = 0; i < 5; ++i) net->record_failure("a", std::nullopt);
  const MonoTime opened = clock->monotonic_now();
  ASSERT_EQ(agent("a").circuit.kind, Kind::Open);

  clock->advance(60s);  // exactly the timeout is not enough
  net->tick();
  EXPECT_EQ(agent("a").circuit.kind, Kind::Open);
  EXPECT_EQ(agent("a").circuit.opened_at, opened);

  clock->advance(1ns);
  net->tick();
  EXPECT_EQ(agent("a").circuit.kind, Kind::HalfOpen);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 5);  // half-open keeps the count

  net->record_failure("a", std::nullopt);
  EXPECT_EQ(agent("a").circuit.kind, Kind::Open);
  EXPECT_EQ(agent("a").circuit.opened_at, clock->monotonic_now());

  // Every failure while open restarts the timer.
  clock->advance(50s);
  net->record_failure("a", std::nullopt);
  clock->advance(20s);
  net->tick();
  EXPECT_EQ(agent("a").circuit.kind, Kind::Open);

  net->record_success("a", std::nullopt);
  EXPECT_EQ(agent("a").circuit.kind, Kind::Closed);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 0);
}

TEST_F(FeedbackFixture, TickDecaysTowardsTheFloorAndLeavesDiameter) {
  reg("a", {"x"});
  reg("b", {"y"});
  net->find_mut("b")->tau = std::numeric_limits<double>::quiet_NaN();
  net->find_mut("a")->diameter = 0.5;
  net->tick();
  EXPECT_EQ(agent("b").tau, 0.001);  // NaN never wins against the floor
  EXPECT_DOUBLE_EQ(agent("a").tau, 0.01 * 0.995);
  for (int i = 0; i < 999; ++i) net->tick();
  EXPECT_EQ(agent("a").tau, 0.001);
  EXPECT_EQ(agent("a").diameter, 0.5);
  EXPECT_DOUBLE_EQ(net->exploration_epsilon(), 0.8);

  net->find_mut("a")->sigma = 1.0;
  net->tick();
  EXPECT_DOUBLE_EQ(agent("a").sigma, 0.99);
}

TEST_F(FeedbackFixture, EpsilonDecaysPerFeedbackOfAnyNameToItsFloor) {
  EXPECT_EQ(net->exploration_epsilon(), 0.8);
  net->record_success("nobody", std::nullopt);
  EXPECT_DOUBLE_EQ(net->exploration_epsilon(), 0.792);
  for (int i = 1; i < 275; ++i) net->record_failure("nobody", std::nullopt);
  EXPECT_GT(net->exploration_epsilon(), 0.05);
  net->record_failure("nobody", std::nullopt);
  EXPECT_EQ(net->feedback_epoch(), 276u);
  EXPECT_EQ(net->exploration_epsilon(), 0.05);
}

TEST_F(FeedbackFixture, UnknownNamesChangeNoAgentButAreLogged) {
  reg("a", {"x"});
  net->enable_replay(100);
  net->record_success("ghost", "q");
  net->record_failure("ghost", std::nullopt);
  net->tick();
  EXPECT_DOUBLE_EQ(agent("a").tau, 0.01 * 0.995);
  EXPECT_EQ(agent("a").consecutive_pulse_timeouts, 0);
  EXPECT_EQ(net->cooccurrence_mutex().unsafe_value().feedback_count(), 0u);

  const auto events = replay();
  ASSERT_EQ(events.size(), 3u);
  const auto& success = std::get<EventKind::FeedbackRecorded>(events[0].value);
  EXPECT_EQ(success.agent_name, "ghost");
  EXPECT_EQ(success.query, std::optional<std::string>("q"));
  EXPECT_EQ(success.outcome, 1.0);
  const auto& failure = std::get<EventKind::FeedbackRecorded>(events[1].value);
  EXPECT_EQ(failure.query, std::nullopt);
  EXPECT_EQ(failure.outcome, -1.0);
  EXPECT_TRUE(std::holds_alternative<EventKind::TickApplied>(events[2].value));
}

TEST_F(FeedbackFixture, OnlySuccessesWithQueriesFeedCoOccurrence) {
  reg("a", {"legal translation"});
  reg("blank", {"   "});
  auto& expander = net->cooccurrence_mutex().unsafe_value();

  net->record_success("a", std::nullopt);
  net->record_failure("a", "Translate Legal");
  EXPECT_EQ(expander.feedback_count(), 0u);

  net->record_success("a", "Translate \u00dcBER");
  EXPECT_EQ(expander.feedback_count(), 1u);
  EXPECT_EQ(expander.count("translate", "legal"), 1u);
  EXPECT_EQ(expander.count("translate", "translation"), 1u);
  EXPECT_EQ(expander.count("\u00fcber", "legal"), 1u);
  EXPECT_EQ(expander.count("\u00fcber", "translation"), 1u);
  EXPECT_EQ(expander.size(), 4u);

  net->record_success("blank", "words");  // no capability terms: counted, no pair
  EXPECT_EQ(expander.feedback_count(), 2u);
  EXPECT_EQ(expander.size(), 4u);
}

TEST_F(FeedbackFixture, CoOccurrenceFollowsTheCurrentRegistration) {
  reg("a", {"legal translation"});
  auto& expander = net->cooccurrence_mutex().unsafe_value();
  net->record_success("a", "contracts");
  net->record_success("a", "contracts");
  EXPECT_EQ(expander.count("contracts", "legal"), 2u);

  reg("a", {"Python code"});
  net->record_success("a", "contracts");
  EXPECT_EQ(expander.count("contracts", "legal"), 2u);
  EXPECT_EQ(expander.count("contracts", "python"), 1u);
  EXPECT_EQ(expander.count("contracts", "code"), 1u);
  EXPECT_EQ(expander.size(), 4u);
}

TEST_F(FeedbackFixture, SpansCarryTheirFieldsOnTheNetworkTarget) {
  reg("a", {"x"});
  auto sink = std::make_shared<log::CapturingSink>(log::Level::Info);
  {
    log::ScopedSink guard(sink);
    net->record_success("a", "q \"1\"");
    net->record_failure("a", std::nullopt);
    net->tick();
  }
  std::vector<const log::CapturingSink::Entry*> enters;
  for (const auto& e : sink->entries) {
    if (e.kind == log::CapturingSink::Entry::Kind::SpanEnter) enters.push_back(&e);
  }
  ASSERT_EQ(enters.size(), 3u);
  EXPECT_EQ(enters[0]->message, "record_success");
  EXPECT_EQ(enters[0]->target, log::kTargetNetwork);
  EXPECT_EQ(enters[0]->level, log::Level::Info);
  EXPECT_EQ(*enters[0]->field("query"), "Some(\"q \\\"1\\\"\")");
  EXPECT_EQ(*enters[0]->field("agent_name"), "a");
  EXPECT_EQ(*enters[0]->field("query_provided"), "true");
  EXPECT_EQ(enters[1]->message, "record_failure");
  EXPECT_EQ(*enters[1]->field("query"), "None");
  EXPECT_EQ(*enters[1]->field("query_provided"), "false");
  EXPECT_EQ(enters[2]->message, "tick");
  EXPECT_TRUE(enters[2]->fields.empty());
}

// The scorer answers every text alike; it fails on "a", the source's joined capabilities.
struct PropagationFixture : ::testing::Test {
  test_support::ChosenScorer* scorer = new test_support::ChosenScorer;
  std::unique_ptr<LocalNetwork> net = LocalNetwork::with_scorer(std::unique_ptr<Scorer>(scorer));

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
  scorer->set_fallback(
      {{"source", 1.0}, {"below", 0.29}, {"at", 0.3}, {"ghost", 0.9}, {"high", 1.0}});

  net->record_success("source", std::nullopt);

  EXPECT_EQ(scorer->calls, std::vector<std::string>{"legal translation contracts"});
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
  scorer->set_fallback({{"other", 1.0}});
  for (int i = 0; i < 10; ++i) net->record_success("source", std::nullopt);
  EXPECT_NEAR(tau("other"), 0.01 + 10 * 0.3, 1e-12);
}

TEST_F(PropagationFixture, OnlyKnownSuccessesPropagateAndAFailingScorerIsHarmless) {
  reg("source", {"a"});
  reg("other", {"b"});
  scorer->fail_on("a");
  net->record_success("source", "query");
  EXPECT_EQ(scorer->calls.size(), 1u);
  EXPECT_DOUBLE_EQ(tau("source"), 0.06);
  EXPECT_EQ(tau("other"), 0.01);
  EXPECT_EQ(net->find("source")->feedback.size(), 1u);
  EXPECT_DOUBLE_EQ(net->exploration_epsilon(), 0.792);

  // Failures and unknown sources never ask the scorer.
  net->record_failure("other", std::nullopt);
  net->record_success("ghost", std::nullopt);
  EXPECT_EQ(scorer->calls.size(), 1u);
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

  // Repeated sources reuse what their first success derived, unless re-registered since;
  // some successes carry no query.
  for (int round = 0; round < 40; ++round) {
    const std::size_t source = rng() % 12;
    const std::string name = "agent-" + std::to_string(source);
    if (round % 4 == 3) {
      caps[source] = {random_words(rng, 1 + rng() % 4)};
      ASSERT_FALSE(net->register_agent(name, caps[source], std::nullopt, {}).has_value());
      expected[name] = net->find(name)->tau;
    }
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

class DriftTest : public ::testing::Test {
 protected:
  void SetUp() override { net_ = LocalNetwork::create_default(std::make_shared<ManualClock>()); }

  void add(const std::string& name, std::vector<std::string> capabilities) {
    ASSERT_FALSE(net_->register_agent(name, capabilities, std::nullopt, {}).has_value()) << name;
  }
  // Stores feedback directly, so that only drift detection is under test here.
  void feedback(const std::string& name, const std::string& query, double outcome) {
    AgentRecord* agent = net_->find_mut(name);
    ASSERT_NE(agent, nullptr);
    agent->feedback.insert({compute_signature(query, net_->lsh_config()), outcome});
  }

  std::unique_ptr<LocalNetwork> net_;
};

// Random agents and feedback against the definition: an agent with at least `min` successes
// (outcome above 0) is reported, in name order; its alignment is the mean over successes of
// the best match between the query's signature and each whole capability string's; it has
// drifted when that falls strictly below the threshold. Asking changes nothing, so every
// later call still agrees.
TEST_F(DriftTest, ReportsFollowTheDefinition) {
  std::mt19937_64 rng(17);
  const char* words[] = {"translate", "legal", "documents", "bake", "bread", "news"};
  const auto text = [&](std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += std::string(i ? " " : "") + words[rng() % 6];
    return out;
  };
  std::string long_text;  // 80 words: matches only if signed whole, not cut short
  for (int i = 0; i < 80; ++i) long_text += "word" + std::to_string(i) + " ";
  for (int round = 0; round < 30; ++round) {
    SetUp();
    std::map<std::string, std::vector<std::string>> caps;
    std::map<std::string, std::vector<std::string>> successes;
    for (std::size_t a = rng() % 6; a > 0; --a) {
      const std::string name = std::string(rng() % 2 ? "B" : "a") + std::to_string(rng() % 20);
      caps[name] = {text(1 + rng() % 3), rng() % 4 ? text(2) : long_text};
      add(name, caps[name]);
    }
    for (auto& [name, own] : caps) {
      successes[name].clear();
      for (std::size_t f = rng() % 7; f > 0; --f) {
        const std::string query = rng() % 3 ? text(1 + rng() % 3) : own[rng() % own.size()];
        const double outcome = rng() % 4 == 0 ? -1.0 : rng() % 5 == 0 ? 0.0 : 1.0;
        feedback(name, query, outcome);
        if (outcome > 0) successes[name].push_back(query);
      }
    }
    for (const std::size_t min : {1, 3}) {
      for (const double threshold : {0.0, 0.5, 1.0, 1.5}) {
        std::vector<std::tuple<std::string, std::size_t, bool>> expected;
        std::map<std::string, double> alignment;
        for (const auto& [name, queries] : successes) {
          if (queries.size() < min) continue;
          double sum = 0.0;
          for (const auto& q : queries) {
            double best = 0.0;
            for (const auto& c : caps[name]) {
              best = std::max(best, signature_similarity(compute_signature(q, net_->lsh_config()),
                                                         compute_signature(c, net_->lsh_config())));
            }
            sum += best;
          }
          alignment[name] = sum / static_cast<double>(queries.size());
          expected.emplace_back(name, queries.size(), alignment[name] < threshold);
        }
        std::vector<std::tuple<std::string, std::size_t, bool>> got;
        for (const DriftReport& r : net_->detect_drift(min, threshold)) {
          got.emplace_back(r.agent_name, r.sample_count, r.drifted);
          EXPECT_NEAR(r.alignment, alignment[r.agent_name], 1e-12) << r.agent_name;
        }
        ASSERT_EQ(got, expected) << "round " << round << ", threshold " << threshold;
      }
    }
  }
}

TEST_F(DriftTest, AgentsWithoutSuccessesAreReportedOnlyWithoutAMinimum) {
  add("idle", {"translate legal documents"});
  feedback("idle", "translate legal documents", -1.0);
  feedback("idle", "translate legal documents", 0.0);  // not greater than 0: not a success
  EXPECT_TRUE(net_->detect_drift(1, 2.0).empty());
  for (double threshold : {0.3, 2.0}) {
    const auto reports = net_->detect_drift(0, threshold);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].sample_count, 0u);
    EXPECT_TRUE(std::isnan(reports[0].alignment));
    EXPECT_FALSE(reports[0].drifted);
  }
}

TEST_F(DriftTest, FeedbackRecordedThroughTheEngine) {
  add("solo", {"translate legal documents"});
  for (int i = 0; i < 3; ++i) net_->record_failure("solo", "translate legal documents");
  for (int i = 0; i < 5; ++i) net_->record_success("solo", "translate legal documents");
  net_->record_success("solo", std::nullopt);  // no query: nothing to compare
  const auto reports = net_->detect_drift(5, 0.3);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].sample_count, 5u);
  EXPECT_DOUBLE_EQ(reports[0].alignment, 1.0);
}

}  // namespace
}  // namespace kova
