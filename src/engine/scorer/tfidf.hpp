#pragma once
// Built-in TF-IDF scorer: cosine similarity of tf x idf vectors, idf = ln(N / (df + 1) + 1).

#include <memory>
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

  // Term frequencies over all texts together (counts divided by the total token count).
  static TermFrequencies compute_tf(std::span<const std::string> texts);
  // Lower-cased tokens: split at every character that is neither alphabetic nor numeric,
  // pieces under 2 UTF-8 bytes dropped.
  static std::vector<std::string> tokenize(std::string_view text);

  void index_capabilities(std::string_view agent_id, std::span<const std::string> capabilities) override;
  void remove_agent(std::string_view agent_id) override;
  ScoreResult score(std::string_view query) const override;

  std::size_t num_documents() const;
  // Document frequency of a term (0 when it has no entry) and whether it has an entry.
  std::size_t document_frequency(std::string_view term) const;
  bool has_document_frequency(std::string_view term) const;
  std::size_t distinct_terms() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kova
