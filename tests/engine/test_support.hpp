#pragma once
// What several engine tests share: scorers whose answers or inputs the test controls, a random
// churn that holds a scorer to a model, and name-hash order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
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

// An agent as a scorer under test was last told about it.
struct ModelAgent {
  std::vector<std::string> caps, remembered;
  std::uint32_t key = 0;
};
using ModelAgents = std::map<std::string, ModelAgent>;

// Random registrations (keyed or not), re-registrations, removals (of unknown agents too)
// and, for a scorer that `remembers`, texts learned and forgotten. At twenty points along
// the way the scorer must report for random queries exactly the oracle's positive
// similarities over the agents as they are then: listed once each with the agent's key,
// written by key into a lent array, and unchanged above any floor it is given.
struct Churn {
  std::function<std::string(std::mt19937_64&)> text;  // a capability, query or memory
  std::function<std::map<std::string, double>(const ModelAgents&, const std::string&)> oracle;
  int names = 12, steps = 400, max_caps = 1;
  bool remembers = false, ordered = false;
  void run(Scorer& scorer, std::uint64_t seed) const {
    std::mt19937_64 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    ModelAgents agents;
    for (int step = 0; step <= steps; ++step) {
      for (int q = 0; q < (step % (steps / 20) == 0 ? 4 : 0); ++q) {
        check(scorer, agents, text(rng), pick(2));
      }
      const int i = pick(names), op = pick(10);
      const std::string name = "a" + std::to_string(i);
      const auto it = agents.find(name);
      if (op == 9) {
        scorer.remove_agent(name);
        agents.erase(name);
      } else if (op < 4 || !remembers || it == agents.end()) {
        ModelAgent& a = agents[name] = {{}, {}, pick(4) ? static_cast<std::uint32_t>(i + 1) : 0};
        a.caps.resize(static_cast<std::size_t>(pick(max_caps + 1)));
        for (std::string& c : a.caps) c = text(rng);
        scorer.index(name, a.caps, a.key);
      } else if (op < 7 || it->second.remembered.empty()) {
        it->second.remembered.push_back(text(rng));
        EXPECT_TRUE(scorer.learn(name, it->second.remembered.back()));
      } else {
        auto& remembered = it->second.remembered;
        const auto at = remembered.begin() + pick(static_cast<int>(remembered.size()));
        EXPECT_TRUE(scorer.forget(name, *at));
        remembered.erase(at);
        scorer.forget(name, "w1 never");  // a text never remembered changes nothing
      }
    }
  }
  // The floor is 0.3, or when `top` the best listed similarity.
  void check(const Scorer& scorer, const ModelAgents& agents, const std::string& query,
             bool top) const {
    SCOPED_TRACE("query: " + query);
    const auto want = oracle(agents, query);
    const ScoreList list = scorer.score(query).value();
    std::map<std::string, double> got, above, kept;
    double floor = top ? 0.0 : 0.3;
    for (std::size_t k = 0; k < list.pairs.size(); ++k) {
      const auto& [name, sim] = list.pairs[k];
      const auto agent = agents.find(std::string(name));
      EXPECT_TRUE(got.emplace(name, sim).second) << "listed twice: " << name;
      EXPECT_EQ(list.keys[k], agent == agents.end() ? ~0u : agent->second.key) << name;
      EXPECT_TRUE(!ordered || k == 0 || list.pairs[k - 1].second >= sim) << k;
      if (top) floor = std::max(floor, sim);
    }
    EXPECT_EQ(got.size(), want.size());
    std::vector<double> by_key(static_cast<std::size_t>(names) + 1, 0.0);
    ScoreList keyed(by_key), cut;
    EXPECT_FALSE(scorer.score_into({query}, keyed));
    EXPECT_FALSE(scorer.score_into({query, floor}, cut));
    for (const auto& [name, sim] : keyed.pairs) EXPECT_EQ(agents.at(std::string(name)).key, 0u);
    for (const auto& [name, agent] : agents) {
      const double expected = want.count(name) ? want.at(name) : 0.0;
      EXPECT_NEAR(got.count(name) ? got.at(name) : 0.0, expected, 1e-12) << name;
      EXPECT_NEAR(agent.key ? by_key[agent.key] : expected, expected, 1e-12) << name;
      if (got.count(name) && got.at(name) >= floor) above[name] = got.at(name);
    }
    for (const auto& [name, sim] : cut.pairs) {
      if (sim >= floor) kept[std::string(name)] = sim;
    }
    EXPECT_EQ(kept, above);
  }
};

}  // namespace kova::test_support
