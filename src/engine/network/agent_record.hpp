#pragma once
// One registered agent: what the host registered plus its routing state.

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/lsh.hpp"
#include "core/name_hash.hpp"
#include "network/feedback_index.hpp"

namespace kova {

using Metadata = std::map<std::string, std::string, std::less<>>;

struct CircuitState {
  enum class Kind { Closed, Open, HalfOpen };
  Kind kind = Kind::Closed;
  MonoTime opened_at{};  // meaningful only for Open
};

struct AgentRecord {
  // What the routing rows copy comes first, then what every result copies, so that each
  // touches as few cache lines of the record as it can.
  CircuitState circuit{};
  MonoTime last_activity{};
  double diameter = 1.0;
  double tau = 0.01;
  double sigma = 0.0;
  std::atomic<std::uint64_t> forwards_count{0};
  FeedbackIndex feedback;
  std::optional<std::string> endpoint;
  Metadata metadata;
  // The engine's handle for this agent in scorer results; 0 when none was given.
  std::uint32_t key = 0;
  std::uint8_t consecutive_pulse_timeouts = 0;
  double conductance = 1.0;
  NameHash name_hash{};
  std::vector<std::string> capabilities;
  std::string address;  // "local://" + name
  MinHashSignature capability_signature{};
  std::uint64_t capability_count = 0;

  std::uint64_t forwards() const { return forwards_count.load(std::memory_order_relaxed); }
};

// Ordered by the names' bytes; every walk over all agents uses this order.
using AgentTable = std::map<std::string, AgentRecord, std::less<>>;

}  // namespace kova
