#pragma once
// A scorer fusing several others: each query is scored by every part, each part's scores are
// normalised for that query, and the similarity is their weighted mean.
//
// Min-max fusion rescales a part's scores over all indexed agents (an unlisted agent counts
// as 0, as for every scorer) to [0, 1]: the part's best agent gets 1, its worst 0; where a part
// scores every agent alike, they keep that similarity (clamped to [0, 1]). Reciprocal-rank
// fusion gives the agent ranked r by a part (equal scores share the best rank; unlisted agents
// get nothing) 61 / (60 + r), i.e. 1 for the first. Scores within a relative 1e-9 of each
// other count as equal in both: that much is rounding, not a preference. Either way the fused
// similarity is Σ weight · normalised / Σ weight, in [0, 1].
//
// A part whose `score` fails is left out of that query with a WARN event, and the weights of
// the parts that answered are renormalised; the query fails only when every part fails.
//
// Every part receives every registration, removal and remembered text. The scorer keeps each
// agent's capabilities and remembered texts so that a part that cannot follow remembered
// texts incrementally (learn/forget return false) is re-indexed with the capabilities followed
// by the remembered texts, as the engine does for a scorer on its own.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "scorer/scorer.hpp"

namespace kova {

enum class Fusion { MinMax, ReciprocalRank };

// "minmax" / "rrf".
std::string_view fusion_name(Fusion fusion);

struct HybridPart {
  std::unique_ptr<Scorer> scorer;
  double weight;
};

// How deep hybrids may nest inside one another: every operation walks the nesting
// recursively, and no sensible fusion needs more than a few levels.
inline constexpr int kMaxHybridNesting = 16;

// Why weights (each finite and >= 0) cannot make a hybrid, taken together: all 0, an
// infinite sum, or one whose share of the sum is too small to count; nullopt when they can.
std::optional<std::string> hybrid_weights_error(std::span<const double> weights);

class HybridScorer final : public Scorer {
 public:
  // Fails with a text naming the problem: no parts, a weight that is negative or not finite,
  // or weights that are all 0.
  static Result<std::unique_ptr<HybridScorer>, std::string> create(std::vector<HybridPart> parts,
                                                                   Fusion fusion);
  ~HybridScorer() override;
  HybridScorer(const HybridScorer&) = delete;
  HybridScorer& operator=(const HybridScorer&) = delete;

  std::span<const HybridPart> parts() const;
  Fusion fusion() const;

  // Parts get the texts as they come, signatures included, under this scorer's own keys.
  void index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) override;
  void remove_agent(std::string_view agent_id) override;
  // Agents with a fused similarity > 0 (or NaN, which a host part may give), in no particular
  // order. Parts are asked for the text alone, capabilities only when the request is: the
  // fusion needs every agent a part scores. Fails only when every part failed.
  std::optional<std::string> score_into(const ScoreRequest& request, ScoreList& out) const override;
  // Moves whenever a part's does; nullopt when some part promises nothing (a host scorer).
  // Not safe to call from several threads at once: it notes the parts' epochs.
  std::optional<std::uint64_t> capability_epoch() const override;
  bool learn(std::string_view agent_id, std::string_view text) override;
  bool forget(std::string_view agent_id, std::string_view text) override;
  // {"kind":"hybrid","fusion":...,"parts":[{"weight":w,"scorer":{...}}, ...]}; a part with
  // no settings of its own (a host scorer) is recorded as {"kind":"host"}.
  std::string settings_json() const override;

 private:
  HybridScorer(std::vector<HybridPart> parts, Fusion fusion);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kova
