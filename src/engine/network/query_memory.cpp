// Query memory: what users asked when an agent succeeded, kept as text the scorer matches.
// Labelled tool-selection queries generalise through such texts far better than through the
// per-query feedback memory, which only recognises a query seen before.

#include <algorithm>
#include <string>
#include <vector>

#include "network/network.hpp"

namespace kova {

void LocalNetwork::set_learning(const LearningSettings& settings) {
  learning_ = settings;
  for (auto& [name, record] : agents_) {
    std::vector<std::string>& texts = record.remembered;
    if (texts.size() <= settings.query_memory) continue;
    const std::size_t excess = texts.size() - settings.query_memory;
    bool incremental = true;
    for (std::size_t i = 0; i < excess && incremental; ++i) {
      incremental = scorer_.scorer->forget(name, texts[i]);
    }
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(excess));
    if (!incremental) reindex_remembered(name, record);
  }
}

const std::vector<std::string>* LocalNetwork::remembered(std::string_view name) const {
  const AgentRecord* record = find(name);
  return record != nullptr ? &record->remembered : nullptr;
}

void LocalNetwork::remember(std::string_view name, AgentRecord& record, std::string_view text) {
  std::vector<std::string>& texts = record.remembered;
  // A bound of a hundred short texts: a scan costs less than keeping an index beside them.
  if (const auto it = std::find(texts.begin(), texts.end(), text); it != texts.end()) {
    // Already taught; only its age changes, which the scorer does not see.
    std::rotate(it, it + 1, texts.end());
    return;
  }
  bool incremental = true;
  if (texts.size() >= learning_.query_memory) {
    incremental = scorer_.scorer->forget(name, texts.front());
    texts.erase(texts.begin());
  }
  texts.emplace_back(text);
  if (incremental) incremental = scorer_.scorer->learn(name, texts.back());
  if (!incremental) reindex_remembered(name, record);
}

void LocalNetwork::forget_remembered(std::string_view name, AgentRecord& record,
                                     std::string_view text) {
  std::vector<std::string>& texts = record.remembered;
  const auto it = std::find(texts.begin(), texts.end(), text);
  if (it == texts.end()) return;
  const std::string removed = std::move(*it);
  texts.erase(it);
  if (!scorer_.scorer->forget(name, removed)) reindex_remembered(name, record);
}

void LocalNetwork::restore_remembered(std::string_view name, AgentRecord& record,
                                      std::vector<std::string> texts) {
  // Newest first, so that of repeated texts (only a hand-edited file has them) the newest
  // copy stays, and the bound keeps the newest texts.
  std::vector<std::string>& kept = record.remembered;
  kept.clear();
  for (auto it = texts.rbegin(); it != texts.rend() && kept.size() < learning_.query_memory; ++it) {
    if (std::find(kept.begin(), kept.end(), *it) == kept.end()) kept.push_back(std::move(*it));
  }
  std::reverse(kept.begin(), kept.end());
  for (const std::string& text : kept) {
    if (!scorer_.scorer->learn(name, text)) {
      reindex_remembered(name, record);
      return;
    }
  }
}

void LocalNetwork::reindex_remembered(std::string_view name, const AgentRecord& record) {
  std::vector<std::string> texts;
  texts.reserve(record.capabilities.size() + record.remembered.size());
  texts.insert(texts.end(), record.capabilities.begin(), record.capabilities.end());
  texts.insert(texts.end(), record.remembered.begin(), record.remembered.end());
  // No signatures: the scorer signs what it needs; the key keeps results matched by key.
  scorer_.scorer->index(name, texts, record.key);
}

}  // namespace kova
