#pragma once
// What discovery hands back.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/kernels.hpp"
#include "network/agent_record.hpp"

namespace kova {

struct ScoredCandidate {
  std::string agent_name;
  std::optional<std::string> endpoint;
  SharedMetadata metadata;
  double raw_similarity = 0.0;
  double similarity = 0.0;
  double similarity_lower = 0.0;
  double similarity_upper = 0.0;
  double diameter = 0.0;
  double enzyme_score = 0.0;
  double feedback_factor = 0.0;
  double final_score = 0.0;
};

// Same fields as ScoredCandidate.
using ExplainedResult = ScoredCandidate;

// The short form; the host attaches the invocation callable itself.
struct DiscoveryResult {
  std::string agent_name;
  std::optional<std::string> endpoint;
  SharedMetadata metadata;
  double similarity = 0.0;  // raw_similarity
  double score = 0.0;       // final_score
};

struct PipelineOutput {
  std::vector<ScoredCandidate> results;  // empty when the caller asked for the short form
  std::vector<DiscoveryResult> brief;    // the short form, when asked for instead
  KernelEvaluation evaluation;
  std::optional<std::pair<std::string, double>> best_below_threshold;

  bool empty() const { return results.empty() && brief.empty(); }
};

struct DiscoveryConfidence {
  enum class Kind { Unanimous, Majority, Split, NoViableAgents };
  Kind kind = Kind::NoViableAgents;
  KernelType dissenting_kernel = KernelType::Capability;  // Majority only
  std::vector<std::string> alternative_agents;            // Split only

  // "unanimous", "majority", "split", "no_viable_agents"
  const char* text() const;
};

struct ConfidenceResponse {
  std::vector<DiscoveryResult> results;
  std::optional<std::pair<std::string, double>> best_below_threshold;
  std::optional<DiscoveryConfidence> confidence;  // absent only when a Query failed to evaluate
  std::size_t recommended_parallelism = 1;
};

DiscoveryResult to_discovery_result(ScoredCandidate&& candidate);

}  // namespace kova
