#pragma once
// Built-in BM25 scorer: Okapi BM25 over words, with remembered texts as a second field (BM25F).
//
// Each indexed agent is one document with two fields: its capability texts, and the texts it
// remembers (query memory, through learn/forget). Texts are analysed into terms by ICU word
// segmentation of the lower-cased text, optionally without English stop words and with
// Snowball stemming. A term t with count c in the capabilities and m in the remembered texts
// of agent d counts as
//
//   tf'(t, d) = c / Bc(d) + w · r(t) · m / Bm(d),
//   Bc(d) = 1 - b + b · |caps(d)| / avg |caps|,   Bm(d) = 1 - bm + bm · |mem(d)| / avg |mem|,
//
// where avg |mem| runs over the agents that remember anything, w is `memory_weight` and bm
// `memory_b`. The BM25 score of a query with term counts q(t) is
//
//   S(d) = Σ_t q(t) · idf(t) · (k1 + 1) · tf' / (k1 + tf'),
//   idf(t) = ln(1 + (N - df(t) + 0.5) / (df(t) + 0.5)),
//
// with df(t) the number of agents holding t in either field. r(t) = min(1, idf_mem(t) /
// idf(t)), where idf_mem is the same formula over the agents that remember anything and the
// number of them remembering t: a word common to remembered queries in general (the way
// users phrase requests) counts little from memory even where few agents remember anything
// and the word is rare in the registry, so that agents with histories do not win queries on
// phrasing alone. Where every agent remembers texts, r(t) is about 1.
//
// The similarity reported is tanh(x), x = S(d) / Σ_t q(t) · idf(t), the sum over the query
// terms some agent holds. x is 1 for an agent holding every such term once in capability
// texts of average length, 0.1 for one holding a tenth of the query's weight that way; tanh
// keeps the order of S, stays close to x at the usual thresholds and keeps similarities below
// 1 (x < k1 + 1). It does not depend on the other agents' scores, so a similarity threshold
// keeps one meaning across queries, and falls with every known query word the agent lacks.
// Words no agent holds are left out: they tell agents apart no more than stop words do, and
// long requests are full of them.
//
// Every term keeps a postings list of the agents holding it, so a query costs the postings of
// its terms, not the registry.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/result.hpp"
#include "scorer/scorer.hpp"

namespace kova {

struct Bm25Settings {
  double k1 = 1.2;
  double b = 0.75;
  std::optional<std::string> stop_words = "english";  // "english" or none
  std::optional<std::string> stemmer = "english";     // a Snowball algorithm name or none
  double memory_weight = 0.25;                        // w above
  double memory_b = 0.5;                              // bm above

  // A text naming the first invalid setting and its value, or nullopt. k1 must be finite and
  // >= 0; b, memory_b in [0, 1]; memory_weight finite and >= 0. (Stop-word list and stemmer
  // names are checked when the analyser is built.)
  std::optional<std::string> problem() const;
};

class Bm25Scorer final : public Scorer {
 public:
  // Fails with a text naming the invalid setting.
  static Result<std::unique_ptr<Bm25Scorer>, std::string> create(const Bm25Settings& settings);
  ~Bm25Scorer() override;
  Bm25Scorer(const Bm25Scorer&) = delete;
  Bm25Scorer& operator=(const Bm25Scorer&) = delete;

  const Bm25Settings& settings() const;
  // The terms a text is indexed or queried with, in text order.
  std::vector<std::string> terms(std::string_view text) const;

  // Replaces the agent's capabilities and forgets what it remembered.
  void index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) override;
  void remove_agent(std::string_view agent_id) override;
  // Agents with similarity > 0, in no particular order. Safe from several threads while
  // nothing changes the scorer. A `capabilities_only` request is scored as if no agent
  // remembered anything; the other hints are not needed.
  std::optional<std::string> score_into(const ScoreRequest& request, ScoreList& out) const override;
  // Remembered texts do not count for capabilities-only requests: only `index` and
  // `remove_agent` move it.
  std::optional<std::uint64_t> capability_epoch() const override;
  // Both always follow incrementally. A text is cut like a capability; forgetting a text the
  // agent does not remember (or an unknown agent) changes nothing.
  bool learn(std::string_view agent_id, std::string_view text) override;
  bool forget(std::string_view agent_id, std::string_view text) override;
  std::string settings_json() const override;

  std::size_t num_documents() const;
  // Number of agents holding the term (in either field).
  std::size_t document_frequency(std::string_view term) const;
  // (capability count, remembered count) of a term for an agent; nullopt if not indexed.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> term_counts(std::string_view agent_id,
                                                                     std::string_view term) const;
  // Total term counts of the agent's (capabilities, remembered texts).
  std::optional<std::pair<std::uint32_t, std::uint32_t>> lengths(std::string_view agent_id) const;

 private:
  Bm25Scorer();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kova
