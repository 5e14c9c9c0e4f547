#pragma once
// Built-in TF-IDF scorer: cosine similarity of tf x idf vectors, idf = ln(N / (df + 1) + 1).
//
// Each indexed agent is one document made of all its capability texts together. Terms are
// interned and every term keeps a postings list of the documents holding it, so a query only
// visits documents that share a term with it (all others have similarity 0 and are never
// listed). The document frequency of a term is the length of its postings list.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scorer/scorer.hpp"

namespace kova {

using TermFrequencies = std::unordered_map<std::string, double>;

class TfIdfScorer final : public Scorer {
 public:
  TfIdfScorer();
  ~TfIdfScorer() override;
  TfIdfScorer(const TfIdfScorer&) = delete;
  TfIdfScorer& operator=(const TfIdfScorer&) = delete;

  // Term frequencies over all texts together (counts divided by the total token count).
  static TermFrequencies compute_tf(std::span<const std::string> texts);
  // Lower-cased tokens: split at every character that is neither alphabetic nor numeric,
  // pieces under 2 UTF-8 bytes dropped.
  static std::vector<std::string> tokenize(std::string_view text);

  void index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) override;
  void remove_agent(std::string_view agent_id) override;
  // A remembered text joins (or leaves) the agent's document exactly as if the agent were
  // indexed with it among its capabilities. Unknown agents are left alone, and so is an agent
  // that did not learn the text to be forgotten (its capabilities' tokens stay; forget then
  // returns false).
  bool learn(std::string_view agent_id, std::string_view text) override;
  bool forget(std::string_view agent_id, std::string_view text) override;
  std::string settings_json() const override { return R"({"kind":"tfidf"})"; }
  // Agents with similarity > 0, highest first (stable in visiting order for equal values).
  // Safe to call from several threads at once as long as nothing changes the scorer
  // meanwhile. A `capabilities_only` request is scored as if no agent had learned anything;
  // the other hints are not needed.
  std::optional<std::string> score_into(const ScoreRequest& request, ScoreList& out) const override;
  // Learned texts do not count for capabilities-only requests: only `index` and
  // `remove_agent` move it.
  std::optional<std::uint64_t> capability_epoch() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kova
