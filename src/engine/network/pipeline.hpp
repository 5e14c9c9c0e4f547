#pragma once
// Turns one query into ranked candidates. Locking is the caller's business.

#include <atomic>
#include <cstdint>
#include <string_view>
#include <unordered_map>

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

// Everything the pipeline reads besides the query.
struct PipelineContext {
  const AgentTable& agents;
  const ScorerAdapter& scorer;
  SLNEnzyme& enzyme;
  const Clock& clock;
};

PipelineOutput run_pipeline(const PipelineContext& ctx, std::string_view query, const FilterMap* filters,
                            const CoOccurrenceExpander& expander, double epsilon);

PipelineOutput run_pipeline_with_scores(const PipelineContext& ctx, std::string_view query, ScoreMap scores,
                                        const FilterMap* filters, double epsilon);

// Confidence signal and recommended parallelism from the kernel votes.
std::pair<DiscoveryConfidence, std::size_t> derive_confidence(const KernelEvaluation& evaluation,
                                                              const AgentTable& agents, const SLNEnzyme& enzyme);

}  // namespace kova
