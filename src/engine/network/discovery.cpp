// The six ways a query enters the engine. Lock order: co-occurrence expander, then the
// kernels; the replay log is never held together with the kernels.

#include <string>
#include <utility>
#include <vector>

#include "log/log.hpp"
#include "network/network.hpp"
#include "network/pipeline.hpp"

namespace kova {

namespace {

std::vector<DiscoveryResult> short_results(std::vector<ScoredCandidate>&& candidates) {
  std::vector<DiscoveryResult> results;
  results.reserve(candidates.size());
  for (ScoredCandidate& c : candidates) results.push_back(to_discovery_result(std::move(c)));
  return results;
}

ConfidenceResponse confidence_response(PipelineOutput&& output,
                                       std::pair<DiscoveryConfidence, std::size_t>&& confidence) {
  ConfidenceResponse response;
  response.results = std::move(output.brief);
  response.best_below_threshold = std::move(output.best_below_threshold);
  response.confidence = std::move(confidence.first);
  response.recommended_parallelism = confidence.second;
  return response;
}

void report_query_failure(const std::string& error, std::string_view callsite) {
  log::event_at(log::Level::Error, log::kTargetNetwork, callsite, "Query evaluation failed", [&] {
    return std::vector<log::Field>{{"error", error}};
  });
}

}  // namespace

PipelineContext LocalNetwork::pipeline_context(SLNEnzyme& enzyme, bool brief,
                                               std::size_t limit) const {
  return {cache_.current(), scorer_, enzyme, *clock_, brief, limit, learning_.query_expansion};
}

std::vector<DiscoveryResult> LocalNetwork::discover_filtered(std::string_view query,
                                                             const FilterMap* filters,
                                                             std::size_t limit) const {
  const double epsilon = exploration_epsilon();
  // The replay log records every scoring detail; without it the short form is all we need.
  bool recording = false;
  SharedText recorded_query;
  {
    auto replay = safe_lock(replay_, "replay submit");
    recording = replay->enabled();
    if (recording) {
      recorded_query = std::string(query);
      replay->record(EventKind{EventKind::QuerySubmitted{recorded_query}}, clock_->monotonic_now());
    }
  }
  auto cooccurrence = safe_lock(cooccurrence_, "cooccurrence");
  PipelineOutput output;
  {
    auto enzyme = safe_lock(enzyme_, "enzyme");
    output = run_pipeline(pipeline_context(*enzyme, !recording, limit), query, filters,
                          *cooccurrence, epsilon);
  }
  if (!recording) return std::move(output.brief);
  {
    auto replay = safe_lock(replay_, "replay discover");
    if (replay->enabled()) {
      for (const ScoredCandidate& c : output.results) {
        replay->record(
            EventKind{EventKind::AgentScored{recorded_query, c.agent_name, c.raw_similarity,
                                             c.enzyme_score, c.feedback_factor, c.final_score}},
            clock_->monotonic_now());
      }
    }
  }
  return short_results(std::move(output.results));
}

std::vector<ExplainedResult> LocalNetwork::discover_explained(std::string_view query,
                                                              const FilterMap* filters,
                                                              std::size_t limit) const {
  const double epsilon = exploration_epsilon();
  auto cooccurrence = safe_lock(cooccurrence_, "cooccurrence");
  auto enzyme = safe_lock(enzyme_, "enzyme");
  return run_pipeline(pipeline_context(*enzyme, false, limit), query, filters, *cooccurrence,
                      epsilon)
      .results;
}

ConfidenceResponse LocalNetwork::discover_with_confidence_filtered(std::string_view query,
                                                                   const FilterMap* filters,
                                                                   std::size_t limit) const {
  const double epsilon = exploration_epsilon();
  auto cooccurrence = safe_lock(cooccurrence_, "cooccurrence");
  auto enzyme = safe_lock(enzyme_, "enzyme discover");
  PipelineOutput output =
      run_pipeline(pipeline_context(*enzyme, true, limit), query, filters, *cooccurrence, epsilon);
  auto confidence = derive_confidence(output.evaluation, agents_, *enzyme);
  return confidence_response(std::move(output), std::move(confidence));
}

void LocalNetwork::run_query_pipeline(
    const Query& query, const FilterMap* filters, bool brief, std::size_t limit,
    std::string_view lock_label, std::string_view callsite,
    const std::function<void(PipelineOutput&&, SLNEnzyme&)>& finish) const {
  auto scores = query.evaluate(*scorer_.scorer);
  if (!scores) {
    report_query_failure(scores.error(), callsite);
    return;
  }
  const std::string_view text = query.primary_text().value_or(std::string_view());
  const double epsilon = exploration_epsilon();
  auto enzyme = safe_lock(enzyme_, lock_label);
  finish(run_pipeline_with_scores(pipeline_context(*enzyme, brief, limit), text,
                                  std::move(scores).value(), filters, epsilon),
         *enzyme);
}

std::vector<DiscoveryResult> LocalNetwork::discover_query(const Query& query,
                                                          const FilterMap* filters,
                                                          std::size_t limit) const {
  std::vector<DiscoveryResult> results;
  run_query_pipeline(
      query, filters, true, limit, "enzyme", "event src/network/mod.rs:442",
      [&](PipelineOutput&& output, SLNEnzyme&) { results = std::move(output.brief); });
  return results;
}

std::vector<ExplainedResult> LocalNetwork::discover_query_explained(const Query& query,
                                                                    const FilterMap* filters,
                                                                    std::size_t limit) const {
  std::vector<ExplainedResult> results;
  run_query_pipeline(
      query, filters, false, limit, "enzyme", "event src/network/mod.rs:469",
      [&](PipelineOutput&& output, SLNEnzyme&) { results = std::move(output.results); });
  return results;
}

ConfidenceResponse LocalNetwork::discover_query_with_confidence(const Query& query,
                                                                const FilterMap* filters,
                                                                std::size_t limit) const {
  // A query that fails to evaluate: no results, no confidence, parallelism 1.
  ConfidenceResponse response;
  run_query_pipeline(query, filters, true, limit, "enzyme discover", "event src/network/mod.rs:496",
                     [&](PipelineOutput&& output, SLNEnzyme& enzyme) {
                       auto confidence = derive_confidence(output.evaluation, agents_, enzyme);
                       response = confidence_response(std::move(output), std::move(confidence));
                     });
  return response;
}

}  // namespace kova
