// Feedback, decay and the circuit breaker: how reported outcomes reshape later rankings.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "log/log.hpp"
#include "network/network.hpp"
#include "text/unicode.hpp"

namespace kova {

namespace {

// The learning rules are fixed; the configurable look-alikes in DiscoveryConfig are
// validated and reported only.
constexpr double kSuccessTauStep = 0.05;
constexpr double kTauFloor = 0.001;
constexpr double kSuccessSigmaStep = 0.01;
constexpr double kSuccessDiameterStep = 0.01;
constexpr double kDiameterCap = 1.0;
constexpr double kFailureDiameterStep = 0.05;
constexpr double kDiameterFloor = 0.1;
constexpr double kTickTauFactor = 0.995;
constexpr double kTickSigmaFactor = 0.99;
constexpr double kSuccessOutcome = 1.0;
constexpr double kFailureOutcome = -1.0;

std::vector<log::Field> feedback_span_fields(std::string_view agent_name,
                                             const std::optional<std::string_view>& query) {
  return {
      {"query", query ? "Some(" + debug_quote(*query) + ")" : std::string("None")},
      {"agent_name", std::string(agent_name)},
      {"query_provided", query ? "true" : "false"},
  };
}

// Feedback for a name that is not registered still counts towards the exploration schedule
// and the replay log, but changes no agent: say so, since the caller gets no other sign.
void warn_unknown_agent(std::string_view agent_name, const char* operation) {
  log::event(log::Level::Warn, log::kTargetNetwork, "Feedback names an unknown agent", [&] {
    return std::vector<log::Field>{{"agent_name", std::string(agent_name)},
                                   {"operation", operation}};
  });
}

std::optional<std::string> owned(const std::optional<std::string_view>& text) {
  return text ? std::optional<std::string>(std::string(*text)) : std::nullopt;
}

// Whether more than `timeout_secs` whole seconds separate `since` from `now`. The timeout may
// be any u64 count of seconds, so it is never converted to nanoseconds.
bool elapsed_exceeds(MonoTime since, MonoTime now, std::uint64_t timeout_secs) {
  if (now <= since) return false;
  const auto elapsed = static_cast<std::uint64_t>((now - since).count());
  constexpr std::uint64_t kNanosPerSec = 1'000'000'000;
  const std::uint64_t secs = elapsed / kNanosPerSec;
  return secs > timeout_secs || (secs == timeout_secs && elapsed % kNanosPerSec > 0);
}

// Every capability split on white space and lower-cased, in order.
std::vector<std::string> capability_terms(const AgentRecord& agent) {
  std::vector<std::string> terms;
  for (const std::string& capability : agent.capabilities) {
    for (std::string& term : text::split_whitespace_lower(capability)) {
      terms.push_back(std::move(term));
    }
  }
  return terms;
}

}  // namespace

void LocalNetwork::record_success(std::string_view agent_name,
                                  std::optional<std::string_view> query) {
  const log::Span span(log::Level::Info, log::kTargetNetwork, "record_success",
                       [&] { return feedback_span_fields(agent_name, query); });

  AgentRecord* agent = find_mut(agent_name);
  if (agent == nullptr) warn_unknown_agent(agent_name, "record_success");
  if (agent != nullptr) {
    agent->tau = std::fmax(agent->tau + kSuccessTauStep, kTauFloor);
    agent->sigma += kSuccessSigmaStep;
    agent->diameter = std::fmin(agent->diameter + kSuccessDiameterStep, kDiameterCap);
    agent->consecutive_pulse_timeouts = 0;
    agent->circuit = CircuitState{};
    agent->last_activity = clock_->monotonic_now();
    if (query) {
      agent->feedback.insert({compute_signature(*query, scorer_.config), kSuccessOutcome});
    }
  }

  feedback_epoch_.fetch_add(1);
  record_replay(EventKind{
      EventKind::FeedbackRecorded{std::string(agent_name), owned(query), kSuccessOutcome}});
  if (agent == nullptr) return;

  if (query && learning_.query_memory > 0) remember(agent_name, *agent, *query);
  // Without expansion the statistics would only be kept, never used: they stay as they are.
  if (query && learning_.query_expansion) {
    const std::vector<std::string> query_terms = text::split_whitespace_lower(*query);
    // The insert above gave the agent its feedback storage, where the terms are kept.
    FeedbackIndex::Derived* derived = agent->feedback.derived();
    if (!derived->capability_terms) derived->capability_terms = capability_terms(*agent);
    auto expander = safe_lock(cooccurrence_, "cooccurrence record_success");
    expander->record_feedback(query_terms, *derived->capability_terms,
                              CoOccurrenceExpander::kMaxDistinctTerms);
  }

  propagate_success(agent_name, *agent);
}

void LocalNetwork::record_failure(std::string_view agent_name,
                                  std::optional<std::string_view> query) {
  const log::Span span(log::Level::Info, log::kTargetNetwork, "record_failure",
                       [&] { return feedback_span_fields(agent_name, query); });

  AgentRecord* agent = find_mut(agent_name);
  if (agent == nullptr) warn_unknown_agent(agent_name, "record_failure");
  if (agent != nullptr) {
    agent->diameter = std::fmax(agent->diameter - kFailureDiameterStep, kDiameterFloor);
    if (agent->consecutive_pulse_timeouts < UINT8_MAX) ++agent->consecutive_pulse_timeouts;
    // Every failure at or past the threshold restarts the recovery timer, also from Open and
    // HalfOpen: a half-open agent that fails again is taken out at once.
    if (agent->consecutive_pulse_timeouts >= circuit_breaker_.failure_threshold) {
      agent->circuit = CircuitState{CircuitState::Kind::Open, clock_->monotonic_now()};
    }
    if (query) {
      agent->feedback.insert({compute_signature(*query, scorer_.config), kFailureOutcome});
      // A remembered text the agent failed on no longer speaks for it.
      forget_remembered(agent_name, *agent, *query);
    }
  }

  feedback_epoch_.fetch_add(1);
  record_replay(EventKind{
      EventKind::FeedbackRecorded{std::string(agent_name), owned(query), kFailureOutcome}});
}

void LocalNetwork::tick() {
  const log::Span span(log::Level::Info, log::kTargetNetwork, "tick");

  const MonoTime now = clock_->monotonic_now();
  cache_.all_records_changed();
  for (auto& entry : agents_) {
    AgentRecord& agent = entry.second;
    agent.tau = std::fmax(agent.tau * kTickTauFactor, kTauFloor);
    agent.sigma *= kTickSigmaFactor;
    if (agent.circuit.kind == CircuitState::Kind::Open &&
        elapsed_exceeds(agent.circuit.opened_at, now, circuit_breaker_.recovery_timeout_secs)) {
      agent.circuit.kind = CircuitState::Kind::HalfOpen;
    }
  }

  record_replay(EventKind{EventKind::TickApplied{}}, "replay tick");
}

double LocalNetwork::exploration_epsilon() const {
  const auto n = static_cast<double>(feedback_epoch_.load());
  return std::fmin(epsilon_initial_,
                   std::fmax(epsilon_floor_, epsilon_initial_ * std::pow(epsilon_decay_rate_, n)));
}

}  // namespace kova
