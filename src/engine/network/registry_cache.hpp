#pragma once
// The registry as queries read it: the agents in walking order with a dense copy of what the
// pipeline reads of each, kept in step with the records by the one owner of that copy.
//
// Dense arrays walk far faster than the ordered map's scattered nodes, and the keys agents
// were indexed with in the scorer match its reports to agents without hashing or comparing
// names. The invariant: before a query reads the order, `RegistryCache::current` has made
// every row equal to its record. Whatever may change a record or the membership says so
// first (`record_changed`, `membership_changed`, ...); the cache re-reads only what it was
// told about, and only when next asked.

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "core/kernels.hpp"
#include "network/agent_record.hpp"

namespace kova {

// Of one agent, what the pipeline needs besides what the kernels read: its scorer key (0
// when it has none), whether its circuit keeps it out of queries, and whether it has feedback
// to weigh.
struct RoutingFlags {
  std::uint32_t key;
  bool open;
  bool has_feedback;
};

// The registry in walking order: the agents, what the kernels read of each, and the position
// of each agent by its key.
struct RegistryOrder {
  static constexpr std::uint32_t kNoPosition = UINT32_MAX;
  // The engine's own records: queries count forwards on them.
  std::vector<AgentTable::value_type*> entries;
  // Aligned with `entries`. A query writes its similarities into the inputs' `similarity`
  // and, when no circuit is open, hands the kernels the inputs as they stand.
  std::vector<KernelInput> inputs;
  std::vector<RoutingFlags> flags;
  std::size_t open_count = 0;                  // rows whose circuit is open
  std::vector<std::uint32_t> position_of_key;  // kNoPosition where no agent holds the key
  bool all_keyed = false;                      // no agent is without a key

  // Every entry and row anew from the table.
  void rebuild(AgentTable& agents);
  void refresh_rows();
  // Re-reads the row of the agent holding `key`; false when no agent holds it.
  bool refresh_row(std::uint32_t key);
  // The position of the agent holding `key`; kNoPosition when none does.
  std::uint32_t position_of(std::uint32_t key) const {
    return key < position_of_key.size() ? position_of_key[key] : kNoPosition;
  }

 private:
  void read_row(std::size_t position);  // keeps `open_count` in step
};

class RegistryCache {
 public:
  explicit RegistryCache(AgentTable& agents) : agents_(agents) {}
  RegistryCache(const RegistryCache&) = delete;
  RegistryCache& operator=(const RegistryCache&) = delete;

  // Told under exclusive access to the registry, before or as the change happens.
  void membership_changed();  // agents added, removed or replaced
  void record_changed(const AgentRecord& record);
  void records_changed(std::span<const AgentRecord* const> records);
  void all_records_changed();

  // The order with every row current. Queries share the engine, so the first one after a
  // change brings it up to date for all; they run one at a time under the kernels' lock,
  // which guards the rows, and nothing changes the registry while they run.
  RegistryOrder& current();
  // The order with its entries and key positions current, for finding records by key. They
  // hold while the membership is unchanged, so rows that are merely stale are left for the
  // next query to re-read.
  const RegistryOrder& positions();

 private:
  AgentTable& agents_;
  std::mutex mutex_;  // guards the marks below against concurrent queries
  bool order_stale_ = true;
  bool rows_stale_ = false;
  std::vector<std::uint32_t> changed_keys_;
  RegistryOrder order_;
};

}  // namespace kova
