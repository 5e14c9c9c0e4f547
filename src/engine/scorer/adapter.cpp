#include <atomic>

#include "scorer/minhash.hpp"
#include "scorer/scorer.hpp"

namespace kova {

MinHashSignature AgentTexts::signature(std::size_t i, const LshConfig& config) const {
  if (signed_with != nullptr && signatures.size() == texts.size() && *signed_with == config) {
    return signatures[i];
  }
  return compute_signature(texts[i], config);
}

MinHashSignature ScoreRequest::signature(const LshConfig& config) const {
  if (signature_cache == nullptr) return compute_signature(text, config);
  if (!*signature_cache) *signature_cache = compute_signature(text, config);
  return **signature_cache;
}

std::uint64_t fresh_capability_epoch() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

ScoreResult Scorer::score(std::string_view text) const {
  ScoreList list;
  if (auto error = score_into({text}, list)) return ScoreResult::err(std::move(*error));
  return ScoreResult::ok(std::move(list));
}

ScorerAdapter::ScorerAdapter(const LshConfig& config)
    : config(config), scorer(std::make_unique<MinHashScorer>(config)) {}

ScorerAdapter::ScorerAdapter(const LshConfig& config, std::unique_ptr<Scorer> scorer)
    : config(config), scorer(std::move(scorer)) {}

}  // namespace kova
