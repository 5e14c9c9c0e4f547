// A success's neighbours are kept between successes while the scorer's capability index
// stands still: kept neighbours must be exactly the ones a fresh search would find.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "scorer/bm25.hpp"
#include "scorer/minhash.hpp"

namespace kova {
namespace {

// The same scorer without the promise that lets the network keep neighbours.
class Forgetful final : public Scorer {
 public:
  explicit Forgetful(std::unique_ptr<Scorer> inner) : inner_(std::move(inner)) {}
  void index(std::string_view id, const AgentTexts& texts, std::uint32_t key) override {
    inner_->index(id, texts, key);
  }
  void remove_agent(std::string_view id) override { inner_->remove_agent(id); }
  std::optional<std::string> score_into(const ScoreRequest& r, ScoreList& out) const override {
    return inner_->score_into(r, out);
  }
  bool learn(std::string_view id, std::string_view text) override {
    return inner_->learn(id, text);
  }
  bool forget(std::string_view id, std::string_view text) override {
    return inner_->forget(id, text);
  }

 private:
  std::unique_ptr<Scorer> inner_;
};

std::unique_ptr<Scorer> bm25() {
  return std::unique_ptr<Scorer>(Bm25Scorer::create({}).value().release());
}

std::string words(std::mt19937& rng, int n) {
  static const char* vocabulary[] = {"translate", "legal", "contract", "invoice", "search",
                                     "weather",   "news",  "report",   "image",   "code"};
  std::string out;
  for (int i = 0; i < n; ++i) out += std::string(i ? " " : "") + vocabulary[rng() % 10];
  return out;
}

void same_taus_under_random_use(const std::function<std::unique_ptr<Scorer>()>& make) {
  auto kept = LocalNetwork::with_scorer(make());
  auto fresh = LocalNetwork::with_scorer(std::make_unique<Forgetful>(make()));
  for (LocalNetwork* net : {kept.get(), fresh.get()}) {
    net->set_learning(LearningSettings::recommended(3));
  }
  std::mt19937 rng(7);
  for (int step = 0; step < 3000; ++step) {
    const std::string name = "agent-" + std::to_string(rng() % 12);
    const std::string text = words(rng, 1 + static_cast<int>(rng() % 4));
    const unsigned op = rng() % 10;
    for (LocalNetwork* net : {kept.get(), fresh.get()}) {
      if (op == 0) {
        const std::vector<std::string> caps = {text, "report " + text};
        (void)net->register_agent(name, caps, std::nullopt, {});
      } else if (op == 1) {
        net->deregister(name);
      } else if (op == 2) {
        net->record_failure(name, text);
      } else {
        net->record_success(name, text);
      }
    }
    ASSERT_EQ(kept->agent_count(), fresh->agent_count());
    for (const auto& [agent, record] : kept->agent_table()) {
      ASSERT_EQ(record.tau, fresh->find(agent)->tau) << agent << " at step " << step;
    }
  }
}

TEST(NeighbourCache, KeptNeighboursAreWhatAFreshSearchFinds) {
  same_taus_under_random_use(bm25);
  same_taus_under_random_use([] { return std::make_unique<MinHashScorer>(LshConfig{}); });
}

TEST(NeighbourCache, CapabilitiesOnlyScoresIgnoreRememberedTexts) {
  auto remembering = bm25();
  auto plain = bm25();
  std::mt19937 rng(3);
  for (int i = 0; i < 30; ++i) {
    const std::vector<std::string> caps = {words(rng, 3), words(rng, 2)};
    remembering->index_capabilities("a" + std::to_string(i), caps);
    plain->index_capabilities("a" + std::to_string(i), caps);
    for (int t = 0; t < 5; ++t) remembering->learn("a" + std::to_string(i), words(rng, 4));
  }
  const auto epoch = remembering->capability_epoch();
  remembering->forget("a0", "not remembered at all");
  EXPECT_EQ(remembering->capability_epoch(), epoch);
  for (int q = 0; q < 50; ++q) {
    const std::string text = words(rng, 3);
    std::map<std::string, double> a, b;
    ScoreList la, lb;
    ASSERT_FALSE(remembering->score_into({text, 0.0, true}, la));
    ASSERT_FALSE(plain->score_into({text, 0.0, true}, lb));
    for (const auto& [n, s] : la.pairs) a[std::string(n)] = s;
    for (const auto& [n, s] : lb.pairs) b[std::string(n)] = s;
    EXPECT_EQ(a, b) << text;
  }
  remembering->remove_agent("a1");
  EXPECT_NE(remembering->capability_epoch(), epoch);
}

}  // namespace
}  // namespace kova
