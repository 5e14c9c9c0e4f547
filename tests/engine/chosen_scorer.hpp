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

  void index_capabilities(std::string_view, std::span<const std::string>) override {}
  void remove_agent(std::string_view) override {}
  ScoreResult score(std::string_view query) const override {
    calls.emplace_back(query);
    const std::string key(query);
    if (failing_.count(key) != 0) return ScoreResult::err("no answer for " + key);
    const auto it = answers_.find(key);
    ScoreList list;
    for (const auto& [name, sim] : it == answers_.end() ? fallback_ : it->second)
      list.add_owned(name, sim);
    return ScoreResult::ok(std::move(list));
  }

  mutable std::vector<std::string> calls;  // every text passed to `score`, in order

 private:
  std::map<std::string, Pairs> answers_;
  Pairs fallback_;
  std::set<std::string> failing_;
};

}  // namespace kova::test_support
