#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/lsh.hpp"
#include "log/log.hpp"
#include "network/network.hpp"

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

TEST_F(FeedbackFixture, TickRecordsItsEventThroughAPoisonedReplayLog) {
  net->enable_replay(10);
  try {
    auto guard = safe_lock(net->replay_mutex(), "test");
    throw std::runtime_error("holder failed");
  } catch (const std::runtime_error&) {
  }
  auto sink = std::make_shared<log::CapturingSink>(log::Level::Warn);
  log::ScopedSink guard(sink);
  net->tick();
  net->tick();
  const auto warnings = sink->events_with("Mutex poisoned, recovering inner value");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(*warnings[1].field("context"), "replay tick");
  EXPECT_EQ(replay().size(), 2u);
}

}  // namespace
}  // namespace kova
