// Mycorrhizal propagation: a success lends part of its credit to agents with similar
// capabilities, so the network learns faster than one agent at a time.

#include <string>

#include "network/network.hpp"

namespace kova {

void propagate_feedback(const MycorrhizalPropagator& settings, std::string_view source,
                        std::span<const std::string> capabilities, const Scorer& scorer,
                        bool registry_empty,
                        const std::function<AgentRecord*(std::string_view)>& find,
                        double outcome) {
  if (settings.propagation_attenuation == 0.0) return;

  std::string text;
  for (std::size_t i = 0; i < capabilities.size(); ++i) {
    if (i > 0) text += ' ';
    text += capabilities[i];
  }

  // A failing scorer only costs the neighbours their share; the success itself stands.
  const ScoreResult scores = scorer.score(text);
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

}  // namespace kova
