// Mycorrhizal propagation: a success lends part of its credit to agents with similar
// capabilities, so the network learns faster than one agent at a time.

#include <string>
#include <utility>
#include <vector>

#include "network/network.hpp"

namespace kova {

namespace {

std::string joined(std::span<const std::string> capabilities) {
  std::string text;
  for (std::size_t i = 0; i < capabilities.size(); ++i) {
    if (i > 0) text += ' ';
    text += capabilities[i];
  }
  return text;
}

}  // namespace

void propagate_feedback(const MycorrhizalPropagator& settings, std::string_view source,
                        std::span<const std::string> capabilities, const Scorer& scorer,
                        bool registry_empty,
                        const std::function<AgentRecord*(std::string_view)>& find, double outcome) {
  if (settings.propagation_attenuation == 0.0) return;

  // A failing scorer only costs the neighbours their share; the success itself stands.
  const ScoreResult scores =
      scorer.score_at_least(joined(capabilities), settings.propagation_threshold);
  if (!scores || registry_empty) return;

  const double boost = outcome * settings.propagation_attenuation;
  for (const auto& [name, similarity] : scores.value().pairs) {
    if (!(similarity >= settings.propagation_threshold) || name == source) continue;
    // No cap: tick decays whatever propagation adds.
    if (AgentRecord* agent = find(name)) agent->tau += similarity * boost;
  }
}

void propagate_feedback(const MycorrhizalPropagator& settings, std::string_view source,
                        std::span<const std::string> capabilities, const Scorer& scorer,
                        AgentTable& agents, double outcome) {
  propagate_feedback(
      settings, source, capabilities, scorer, agents.empty(),
      [&agents](std::string_view name) -> AgentRecord* {
        const auto it = agents.find(name);
        return it == agents.end() ? nullptr : &it->second;
      },
      outcome);
}

void propagate_feedback(const MycorrhizalPropagator& settings, std::string_view source_name,
                        AgentRecord& source, const Scorer& scorer, bool registry_empty,
                        const std::function<AgentRecord*(std::string_view)>& find,
                        const std::function<AgentRecord*(std::uint32_t)>& find_key,
                        double outcome) {
  if (settings.propagation_attenuation == 0.0) return;

  const ScoreResult scores = [&] {
    const LshConfig* config = scorer.signature_config();
    if (config == nullptr) {
      return scorer.score_at_least(joined(source.capabilities), settings.propagation_threshold);
    }
    // Signing the joined text costs more than scoring the registry with it, and the
    // capabilities never change for the life of the record.
    FeedbackIndex::Derived* derived = source.feedback.derived();
    if (derived != nullptr && derived->capability_text_signature) {
      return scorer.score_capability_signature(*derived->capability_text_signature,
                                               settings.propagation_threshold);
    }
    const MinHashSignature signature = compute_signature(joined(source.capabilities), *config);
    if (derived != nullptr) derived->capability_text_signature = signature;
    return scorer.score_capability_signature(signature, settings.propagation_threshold);
  }();
  if (!scores || registry_empty) return;

  const double boost = outcome * settings.propagation_attenuation;
  const ScoreList& list = scores.value();
  const bool keyed = list.keys.size() == list.pairs.size();
  // The neighbours' records are scattered: all are found and fetched before any is changed,
  // so that their cache misses overlap.
  std::vector<std::pair<AgentRecord*, double>> gains;
  gains.reserve(list.pairs.size());
  for (std::size_t i = 0; i < list.pairs.size(); ++i) {
    const auto& [name, similarity] = list.pairs[i];
    if (!(similarity >= settings.propagation_threshold)) continue;
    AgentRecord* agent = keyed && list.keys[i] != 0 ? find_key(list.keys[i])
                         : name == source_name      ? nullptr
                                                    : find(name);
    if (agent == nullptr || agent == &source) continue;
    __builtin_prefetch(&agent->tau, 1);
    gains.emplace_back(agent, similarity);
  }
  for (const auto& [agent, similarity] : gains) agent->tau += similarity * boost;
}

}  // namespace kova
