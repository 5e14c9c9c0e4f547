#pragma once
// What several engine tests share: a scorer whose answers the test chooses, and readers of
// score lists and name-hash order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/name_hash.hpp"
#include "network/safe_lock.hpp"
#include "scorer/scorer.hpp"

namespace kova::test_support {

// Hands back the similarities the test chose for each query text, so that every score
// downstream can be asserted exactly.
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

// The key each listed agent was reported with; the list must carry keys.
inline std::map<std::string, std::uint32_t> keys_by_name(const ScoreList& list) {
  std::map<std::string, std::uint32_t> keys;
  for (std::size_t i = 0; i < list.pairs.size() && i < list.keys.size(); ++i) {
    keys[std::string(list.pairs[i].first)] = list.keys[i];
  }
  return keys;
}

// The listed similarities by name; an agent listed twice is a failure.
inline std::map<std::string, double> as_map(const ScoreList& list) {
  std::map<std::string, double> out;
  for (const auto& [name, sim] : list.pairs) {
    EXPECT_TRUE(out.emplace(std::string(name), sim).second) << "listed twice: " << name;
  }
  return out;
}

// Learns nothing incrementally and scores nothing, so that the engine or a hybrid must
// re-index it with every text an agent has: holds what it was last given per agent.
class Reindexed final : public Scorer {
 public:
  void index(std::string_view agent, const AgentTexts& texts, std::uint32_t key) override {
    indexed[std::string(agent)] = {{texts.texts.begin(), texts.texts.end()}, key};
  }
  void remove_agent(std::string_view agent) override { indexed.erase(std::string(agent)); }
  std::optional<std::string> score_into(const ScoreRequest&, ScoreList&) const override {
    return std::nullopt;
  }
  std::map<std::string, std::pair<std::vector<std::string>, std::uint32_t>> indexed;
};

// Leaves `mutex` poisoned, as a holder that failed would.
template <class T>
void poison(PoisonableMutex<T>& mutex) {
  try {
    auto guard = safe_lock(mutex, "test");
    throw std::runtime_error("holder fails");
  } catch (const std::runtime_error&) {
  }
}

// Names sorted by ascending name hash.
inline std::vector<std::string> by_hash(std::vector<std::string> names) {
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return compute_name_hash(a) < compute_name_hash(b);
  });
  return names;
}

}  // namespace kova::test_support
