#pragma once
// Default scorer: an agent's similarity is that of its best-matching capability signature.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "scorer/scorer.hpp"

namespace kova {

class MinHashScorer final : public Scorer {
 public:
  static constexpr std::size_t kDefaultMaxTokens = 50;

  explicit MinHashScorer(const LshConfig& config,
                         std::optional<std::size_t> max_tokens = kDefaultMaxTokens);

  void index_capabilities(std::string_view agent_id,
                          std::span<const std::string> capabilities) override;
  void remove_agent(std::string_view agent_id) override;
  // A remembered text is one more signature of the agent, signed like a capability; its
  // matches count 5/8 (a similarity of at most 40/64 through remembered texts alone).
  // `forget` of a text the agent does not remember returns false.
  bool learn(std::string_view agent_id, std::string_view text) override;
  bool forget(std::string_view agent_id, std::string_view text) override;
  ScoreResult score(std::string_view query) const override;
  bool score_keyed(std::string_view query, std::span<double> by_key) const override;
  const LshConfig* signature_config() const override { return &config_; }
  ScoreResult score_signature(const MinHashSignature& signature,
                              double min_similarity) const override;
  ScoreResult score_capability_signature(const MinHashSignature& signature,
                                         double min_similarity) const override;
  void index_capabilities_presigned(std::string_view agent_id,
                                    std::span<const std::string> capabilities,
                                    std::span<const MinHashSignature> signatures,
                                    const LshConfig& config, std::uint32_t key) override;

  // The text actually signed for a capability: unchanged up to max_tokens whitespace tokens,
  // else the first max_tokens joined by single spaces (with a WARN event).
  std::optional<std::string> truncate_capability(std::string_view agent_id,
                                                 std::string_view capability) const;

  const LshConfig& config() const { return config_; }
  std::size_t agent_count() const;
  // Stored signatures of an agent, in capability order (nullopt if not indexed). Valid until
  // the scorer next changes.
  std::optional<std::span<const MinHashSignature>> signatures_of(std::string_view agent_id) const;

 private:
  std::optional<std::size_t> max_tokens_;
  LshConfig config_;
  // Layout is the implementation's: see minhash.cpp.
  struct Store;
  std::vector<std::uint8_t> best_matches_of_all(const MinHashSignature& signature,
                                                bool remembered = true) const;
  ScoreResult listed(const std::vector<std::uint8_t>& best, double min_similarity) const;
  std::unique_ptr<Store> store_;

 public:
  ~MinHashScorer() override;
};

}  // namespace kova
