#pragma once
// Turns one query into ranked candidates. Locking is the caller's business.

#include <atomic>
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

// Process-wide seed source for tie-breaking draws; each draw fetch-adds 1 (seq_cst).
extern std::atomic<std::uint64_t> TIE_BREAK_COUNTER;

// The registry in walking order, with the position of each agent by the key it was indexed
// with in the scorer. A flat array walks far faster than the ordered map's nodes, and keys
// match scorer results to agents without hashing or comparing names.
struct RegistryOrder {
  static constexpr std::uint32_t kNoPosition = UINT32_MAX;
  std::vector<const AgentTable::value_type*> entries;
  std::vector<std::uint32_t> position_of_key;  // kNoPosition where no agent holds the key

  void rebuild(const AgentTable& agents);
};

// Everything the pipeline reads besides the query.
struct PipelineContext {
  const AgentTable& agents;
  const ScorerAdapter& scorer;
  SLNEnzyme& enzyme;
  const Clock& clock;
  // `agents` in walking order when the caller keeps one; otherwise the pipeline derives it.
  const RegistryOrder* order = nullptr;
};

PipelineOutput run_pipeline(const PipelineContext& ctx, std::string_view query, const FilterMap* filters,
                            const CoOccurrenceExpander& expander, double epsilon);

PipelineOutput run_pipeline_with_scores(const PipelineContext& ctx, std::string_view query, ScoreMap scores,
                                        const FilterMap* filters, double epsilon);

// Confidence signal and recommended parallelism from the kernel votes.
std::pair<DiscoveryConfidence, std::size_t> derive_confidence(const KernelEvaluation& evaluation,
                                                              const AgentTable& agents, const SLNEnzyme& enzyme);

}  // namespace kova
