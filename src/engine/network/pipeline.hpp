#pragma once
// Turns one query into ranked candidates. Locking is the caller's business.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/kernels.hpp"
#include "network/agent_record.hpp"
#include "network/cooccurrence.hpp"
#include "network/filter.hpp"
#include "network/results.hpp"
#include "query/query.hpp"
#include "scorer/scorer.hpp"

namespace kova {

// A result limit that keeps every result.
inline constexpr std::size_t kAllResults = static_cast<std::size_t>(-1);

// Process-wide seed source for tie-breaking draws; each draw fetch-adds 1 (seq_cst).
extern std::atomic<std::uint64_t> TIE_BREAK_COUNTER;

// Of one agent, what the pipeline needs besides what the kernels read: its scorer key (0
// when it has none), whether its circuit keeps it out of queries, and whether it has feedback
// to weigh.
struct RoutingFlags {
  std::uint32_t key;
  bool open;
  bool has_feedback;

  static RoutingFlags of(const AgentRecord& record) {
    return {record.key, record.circuit.kind == CircuitState::Kind::Open, !record.feedback.empty()};
  }
};

// The registry in walking order: the agents, a copy of what the kernels read of each, and
// the position of each agent by the key it was indexed with in the scorer. Dense arrays walk
// far faster than the ordered map's scattered nodes, and keys match scorer results to agents
// without hashing or comparing names. The owner keeps the rows in step with the records.
struct RegistryOrder {
  static constexpr std::uint32_t kNoPosition = UINT32_MAX;
  std::vector<const AgentTable::value_type*> entries;
  // Aligned with `entries`. A query writes its similarities into the inputs' `similarity`
  // and, when no circuit is open, hands the kernels the inputs as they stand.
  std::vector<KernelInput> inputs;
  std::vector<RoutingFlags> flags;
  std::size_t open_count = 0;                  // rows whose circuit is open
  std::vector<std::uint32_t> position_of_key;  // kNoPosition where no agent holds the key
  bool all_keyed = false;                      // no agent is without a key

  void rebuild(const AgentTable& agents);
  void refresh_rows();
  // Re-reads the row of the agent holding `key`; false when no agent holds it.
  bool refresh_row(std::uint32_t key);

 private:
  void read_row(std::size_t position);  // keeps `open_count` in step
};

// Everything the pipeline reads besides the query.
struct PipelineContext {
  const AgentTable& agents;
  const ScorerAdapter& scorer;
  SLNEnzyme& enzyme;
  const Clock& clock;
  // `agents` in walking order, rows current, when the caller keeps one; otherwise the
  // pipeline derives it. Forwards counted by the query go to its rows as well.
  RegistryOrder* order = nullptr;
  // Results in the short form only (PipelineOutput::brief), for callers that need no more.
  bool brief = false;
  // At most this many results, the best first: exactly the first `limit` of the full
  // ranking, with the same random draws. Votes, forwards and the confidence drawn from them
  // still cover every agent.
  std::size_t limit = kAllResults;
  // Whether text queries are widened by co-occurring capability terms before scoring.
  bool expand_query = true;
};

PipelineOutput run_pipeline(const PipelineContext& ctx, std::string_view query,
                            const FilterMap* filters, const CoOccurrenceExpander& expander,
                            double epsilon);

PipelineOutput run_pipeline_with_scores(const PipelineContext& ctx, std::string_view query,
                                        ScoreMap scores, const FilterMap* filters, double epsilon);

// Confidence signal and recommended parallelism from the kernel votes.
std::pair<DiscoveryConfidence, std::size_t> derive_confidence(const KernelEvaluation& evaluation,
                                                              const AgentTable& agents,
                                                              const SLNEnzyme& enzyme);

}  // namespace kova
