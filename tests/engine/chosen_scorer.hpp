#pragma once
// A scorer for tests: hands back the similarities the test chose for each query text, so that
// every score downstream can be asserted exactly.

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scorer/scorer.hpp"

namespace kova::test_support {

class ChosenScorer final : public Scorer {
 public:
  using Pairs = std::vector<std::pair<std::string, double>>;

  // Answers for one query text; `fallback` answers every other text.
  void answer(const std::string& query, Pairs pairs) { answers_[query] = std::move(pairs); }
  void set_fallback(Pairs pairs) { fallback_ = std::move(pairs); }
  // `score` of this text fails with "no answer for <text>".
  void fail_on(const std::string& query) { failing_.insert(query); }

  void index(std::string_view, const AgentTexts&, std::uint32_t) override {}
  void remove_agent(std::string_view) override {}
  std::optional<std::string> score_into(const ScoreRequest& request,
                                        ScoreList& list) const override {
    calls.emplace_back(request.text);
    const std::string key(request.text);
    if (failing_.count(key) != 0) return "no answer for " + key;
    const auto it = answers_.find(key);
    for (const auto& [name, sim] : it == answers_.end() ? fallback_ : it->second)
      list.add_owned(name, sim);
    return std::nullopt;
  }

  mutable std::vector<std::string> calls;  // every text passed to `score`, in order

 private:
  std::map<std::string, Pairs> answers_;
  Pairs fallback_;
  std::set<std::string> failing_;
};

}  // namespace kova::test_support
