#pragma once
// Turns one query into ranked candidates. Locking is the caller's business.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "core/kernels.hpp"
#include "network/agent_record.hpp"
#include "network/cooccurrence.hpp"
#include "network/filter.hpp"
#include "network/registry_cache.hpp"
#include "network/results.hpp"
#include "query/query.hpp"
#include "scorer/scorer.hpp"

namespace kova {

// A result limit that keeps every result.
inline constexpr std::size_t kAllResults = static_cast<std::size_t>(-1);

// Process-wide seed source for tie-breaking draws; each draw fetch-adds 1 (seq_cst).
extern std::atomic<std::uint64_t> TIE_BREAK_COUNTER;

// Everything the pipeline reads besides the query.
struct PipelineContext {
  // The registry in walking order with every row current (RegistryCache::current). Forwards
  // counted by the query go to its records and rows alike.
  RegistryOrder& order;
  const ScorerAdapter& scorer;
  SLNEnzyme& enzyme;
  const Clock& clock;
  // Results in the short form only (PipelineOutput::brief), for callers that need no more.
  bool brief = false;
  // At most this many results, the best first: exactly the first `limit` of the full
  // ranking, with the same random draws. Votes, forwards and the confidence drawn from them
  // still cover every agent.
  std::size_t limit = kAllResults;
  // Whether text queries are widened by co-occurring capability terms before scoring.
  bool expand_query = true;
};

// A text query: lower-cased, widened by co-occurring terms when asked, scored by the scorer.
PipelineOutput run_pipeline(const PipelineContext& ctx, std::string_view query,
                            const FilterMap* filters, const CoOccurrenceExpander& expander,
                            double epsilon);

// A composed query's scores; `query` is its primary text, for feedback and tie breaking.
PipelineOutput run_pipeline_with_scores(const PipelineContext& ctx, std::string_view query,
                                        ScoreMap scores, const FilterMap* filters, double epsilon);

// Confidence signal and recommended parallelism from the kernel votes.
std::pair<DiscoveryConfidence, std::size_t> derive_confidence(const KernelEvaluation& evaluation,
                                                              const AgentTable& agents,
                                                              const SLNEnzyme& enzyme);

}  // namespace kova
