#pragma once
// One registered agent: what the host registered plus its routing state.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.hpp"
#include "core/lsh.hpp"
#include "core/name_hash.hpp"
#include "network/feedback_index.hpp"

namespace kova {

using Metadata = std::map<std::string, std::string, std::less<>>;

// An agent's metadata, immutable once made and shared: a result refers to its record's
// metadata instead of copying it (most results are never asked for theirs), and a record
// that changes gets new metadata. Reads behave as on the map itself.
class SharedMetadata {
 public:
  SharedMetadata() = default;
  SharedMetadata(Metadata metadata)  // NOLINT(google-explicit-constructor): a map converts
      : shared_(metadata.empty() ? nullptr
                                 : std::make_shared<const Metadata>(std::move(metadata))) {}

  const Metadata& get() const { return shared_ ? *shared_ : none(); }
  operator const Metadata&() const { return get(); }  // NOLINT(google-explicit-constructor)

  bool empty() const { return shared_ == nullptr; }
  std::size_t size() const { return get().size(); }
  Metadata::const_iterator begin() const { return get().begin(); }
  Metadata::const_iterator end() const { return get().end(); }
  Metadata::const_iterator find(std::string_view key) const { return get().find(key); }
  const std::string& at(std::string_view key) const {
    const auto it = find(key);
    if (it == end()) throw std::out_of_range("metadata has no such key");
    return it->second;
  }

  friend bool operator==(const SharedMetadata& a, const SharedMetadata& b) {
    return a.shared_ == b.shared_ || a.get() == b.get();
  }
  friend bool operator==(const SharedMetadata& a, const Metadata& b) { return a.get() == b; }

 private:
  static const Metadata& none() {
    static const Metadata empty;
    return empty;
  }

  std::shared_ptr<const Metadata> shared_;
};

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
  SharedMetadata metadata;
  // The engine's handle for this agent in scorer results; 0 when none was given.
  std::uint32_t key = 0;
  std::uint8_t consecutive_pulse_timeouts = 0;
  double conductance = 1.0;
  NameHash name_hash{};
  std::vector<std::string> capabilities;
  std::string address;  // "local://" + name
  MinHashSignature capability_signature{};
  std::uint64_t capability_count = 0;
  // Query memory: texts of queries this agent succeeded on, oldest first, at most the
  // engine's bound. The scorer matches them with the capabilities; nothing else shows them.
  std::vector<std::string> remembered;

  std::uint64_t forwards() const { return forwards_count.load(std::memory_order_relaxed); }
};

// Ordered by the names' bytes; every walk over all agents uses this order.
using AgentTable = std::map<std::string, AgentRecord, std::less<>>;

}  // namespace kova
