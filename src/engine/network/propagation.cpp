// Mycorrhizal propagation: a success lends part of its credit to agents with similar
// capabilities, so the network learns faster than one agent at a time.

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "network/network.hpp"

namespace kova {

namespace {
// The most neighbours kept for one agent: 16 KB, about what its feedback memory holds. Long
// lists come from registries where most agents resemble one another, which is where asking
// the scorer again costs most (scoring a thousand look-alikes took 40 us a success).
constexpr std::size_t kKeptNeighbours = 1024;
}  // namespace

bool LocalNetwork::find_neighbours(std::string_view name, AgentRecord& source,
                                   std::vector<std::pair<AgentRecord*, double>>& gains,
                                   std::vector<const AgentRecord*>& gained) {
  const MycorrhizalPropagator& settings = propagator_;
  std::string joined;
  for (std::size_t i = 0; i < source.capabilities.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += source.capabilities[i];
  }
  // Signing the joined text costs a signing scorer more than scoring the registry with it,
  // and the capabilities never change for the life of the record: the source's feedback
  // memory keeps the signature once it has one (a success with a query gave it one).
  FeedbackIndex::Derived* derived = source.feedback.derived();
  ScoreList scores;
  // A failing scorer only costs the neighbours their share; the success itself stands.
  if (scorer_.scorer->score_into(
          {joined, settings.propagation_threshold, true,
           derived != nullptr ? &derived->capability_text_signature : nullptr},
          scores)) {
    return false;
  }
  const RegistryOrder& order = cache_.positions();
  const auto record_of_key = [&](std::uint32_t key) -> AgentRecord* {
    const std::uint32_t position = order.position_of(key);
    return position == RegistryOrder::kNoPosition ? nullptr : &order.entries[position]->second;
  };
  // The neighbours' records are scattered: all are found and fetched before any is changed,
  // so that their cache misses overlap.
  gains.reserve(scores.pairs.size());
  gained.reserve(std::min<std::size_t>(agents_.size(), 256));
  for (std::size_t i = 0; i < scores.pairs.size(); ++i) {
    const auto& [other, similarity] = scores.pairs[i];
    if (!(similarity >= settings.propagation_threshold)) continue;
    AgentRecord* agent = scores.keys[i] != 0 ? record_of_key(scores.keys[i])
                         : other == name     ? nullptr
                                             : find_mut(other);
    if (agent == nullptr || agent == &source) continue;
    __builtin_prefetch(&agent->tau, 1);
    gains.emplace_back(agent, similarity);
    if (scores.keys[i] != 0) gained.push_back(agent);
  }
  return true;
}

void LocalNetwork::propagate_success(std::string_view name, AgentRecord& source) {
  const MycorrhizalPropagator& settings = propagator_;
  if (settings.propagation_attenuation == 0.0) return;

  const RegistryOrder& order = cache_.positions();
  const auto record_of_key = [&](std::uint32_t key) -> AgentRecord* {
    const std::uint32_t position = order.position_of(key);
    return position == RegistryOrder::kNoPosition ? nullptr : &order.entries[position]->second;
  };
  std::vector<std::pair<AgentRecord*, double>> gains;
  std::vector<const AgentRecord*> gained;

  // The neighbours depend on nothing but the registered capabilities, which rarely change
  // while successes keep coming: where the scorer says they have not changed, the ones found
  // last time stand.
  FeedbackIndex::Derived* derived = source.feedback.derived();
  const std::optional<std::uint64_t> epoch = scorer_.scorer->capability_epoch();
  if (derived != nullptr && epoch && derived->neighbours_epoch == epoch) {
    gains.reserve(derived->neighbours.size());
    for (const auto& [key, similarity] : derived->neighbours) {
      if (AgentRecord* agent = record_of_key(key)) gains.emplace_back(agent, similarity);
    }
    gained.reserve(gains.size());
    for (const auto& gain : gains) gained.push_back(gain.first);
  } else {
    if (!find_neighbours(name, source, gains, gained)) return;
    if (derived != nullptr) {
      // Beyond the bound a list would outweigh the feedback memory it sits beside (agents
      // that all resemble one another): such a source asks the scorer every time.
      const bool keep = epoch && gained.size() == gains.size() && gains.size() <= kKeptNeighbours;
      std::vector<std::pair<std::uint32_t, double>>().swap(derived->neighbours);
      derived->neighbours_epoch.reset();
      if (keep) {
        derived->neighbours.reserve(gains.size());
        for (const auto& [agent, similarity] : gains) {
          derived->neighbours.emplace_back(agent->key, similarity);
        }
        derived->neighbours_epoch = epoch;
      }
    }
  }
  const double boost = settings.propagation_attenuation;  // times a success's outcome, 1
  // No cap: tick decays whatever propagation adds. But a state file cannot hold an infinite
  // tau (it would load as the floor), so a gain that would make one, from a host scorer's
  // infinite or vast similarity, is left out.
  for (const auto& [agent, similarity] : gains) {
    const double tau = agent->tau + similarity * boost;
    if (std::isfinite(tau)) agent->tau = tau;
  }
  // Only these rows need re-reading before the next query: marking every row would make
  // that query re-read the whole registry after each success.
  cache_.records_changed(gained);
}

}  // namespace kova
