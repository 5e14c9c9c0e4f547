// How far the kernels agreed, and how many agents are worth invoking side by side.

#include <algorithm>
#include <utility>
#include <vector>

#include "network/pipeline.hpp"
#include "network/results.hpp"

namespace kova {

const char* DiscoveryConfidence::text() const {
  switch (kind) {
    case Kind::Unanimous:
      return "unanimous";
    case Kind::Majority:
      return "majority";
    case Kind::Split:
      return "split";
    case Kind::NoViableAgents:
      return "no_viable_agents";
  }
  return "no_viable_agents";
}

DiscoveryResult to_discovery_result(ScoredCandidate&& candidate) {
  DiscoveryResult result;
  result.agent_name = std::move(candidate.agent_name);
  result.endpoint = std::move(candidate.endpoint);
  result.metadata = std::move(candidate.metadata);
  result.similarity = candidate.raw_similarity;
  result.score = candidate.final_score;
  return result;
}

std::pair<DiscoveryConfidence, std::size_t> derive_confidence(const KernelEvaluation& evaluation,
                                                              const AgentTable& agents,
                                                              const SLNEnzyme& enzyme) {
  DiscoveryConfidence confidence;
  const std::size_t n = evaluation.votes.size();
  if (n == 0) return {confidence, 0};

  const auto [tally, top] = tally_votes(evaluation.votes);
  const std::size_t c = tally[top].second;
  const NameHash& top_hash = tally[top].first;

  if (c == n) {
    confidence.kind = DiscoveryConfidence::Kind::Unanimous;
    return {confidence, 1};
  }
  if (2 * c >= n) {
    confidence.kind = DiscoveryConfidence::Kind::Majority;
    for (const KernelVote& vote : evaluation.votes) {
      if (vote.agent != top_hash) {
        confidence.dissenting_kernel = vote.kernel;
        break;
      }
    }
    return {confidence, 1};
  }

  confidence.kind = DiscoveryConfidence::Kind::Split;
  // Names of the other voted hashes; a hash no registered agent carries is left out. When two
  // agents share a hash, the later one in registry order names it.
  std::vector<const std::string*> names(tally.size(), nullptr);
  for (const auto& [name, record] : agents) {
    for (std::size_t i = 0; i < tally.size(); ++i) {
      if (i != top && record.name_hash == tally[i].first) names[i] = &name;
    }
  }
  for (std::size_t i = 0; i < tally.size(); ++i) {
    if (i != top && names[i] != nullptr) confidence.alternative_agents.push_back(*names[i]);
  }
  return {confidence, std::min(tally.size(), enzyme.max_split())};
}

}  // namespace kova
