#pragma once
// Default scorer: an agent's similarity is that of its best-matching capability signature.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scorer/scorer.hpp"

namespace kova {

class MinHashScorer final : public Scorer {
 public:
  static constexpr std::size_t kDefaultMaxTokens = 50;

  explicit MinHashScorer(const LshConfig& config,
                         std::optional<std::size_t> max_tokens = kDefaultMaxTokens);

  // Signatures registration made with this scorer's settings are taken as they are.
  void index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) override;
  void remove_agent(std::string_view agent_id) override;
  // A remembered text is one more signature of the agent, signed like a capability once
  // lower-cased with single spaces, as queries reach the scorer; its matches count 5/8 (a
  // similarity of at most 40/64 through remembered texts alone).
  // `forget` of a text the agent does not remember returns false.
  bool learn(std::string_view agent_id, std::string_view text) override;
  bool forget(std::string_view agent_id, std::string_view text) override;
  // Reports the agents sharing a position with the text's signature (similarity > 0), in
  // no particular order; every hint of the request is followed.
  std::optional<std::string> score_into(const ScoreRequest& request, ScoreList& out) const override;
  // Capability signatures change only through `index` and `remove_agent`.
  std::optional<std::uint64_t> capability_epoch() const override { return epoch_; }

  // The text actually signed for a capability: unchanged up to max_tokens whitespace tokens,
  // else the first max_tokens joined by single spaces (with a WARN event).
  std::optional<std::string> truncate_capability(std::string_view agent_id,
                                                 std::string_view capability) const;

  const LshConfig& config() const { return config_; }

 private:
  std::optional<std::size_t> max_tokens_;
  LshConfig config_;
  // Layout is the implementation's: see minhash.cpp.
  struct Store;
  // The most positions each stored agent shares with `signature`, by store entry.
  void best_matches_of_all(const MinHashSignature& signature, bool remembered,
                           std::vector<std::uint8_t>& best) const;
  void report(const std::vector<std::uint8_t>& best, double min_similarity, ScoreList& out) const;
  MinHashSignature remembered_signature(std::string_view agent_id, std::string_view text) const;
  std::unique_ptr<Store> store_;
  std::uint64_t epoch_ = fresh_capability_epoch();

 public:
  ~MinHashScorer() override;
};

}  // namespace kova
