#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>

#include "network/network.hpp"
#include "scorer/bm25.hpp"
#include "scorer/minhash.hpp"
#include "scorer/tfidf.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using Texts = std::vector<std::string>;
using Make = std::function<std::unique_ptr<Scorer>()>;

std::map<std::string, double> scores_of(const Scorer& scorer, std::string_view query,
                                        bool capabilities_only = false) {
  std::map<std::string, double> out;
  ScoreList list;
  EXPECT_FALSE(scorer.score_into({query, 0.0, capabilities_only}, list));
  for (const auto& [name, sim] : list.pairs) out[std::string(name)] = sim;
  return out;
}

// Texts over a small vocabulary, so that agents and queries overlap often.
std::string words(std::mt19937& rng, int n) {
  static const char* vocabulary[] = {"translate", "legal", "contract", "weather",
                                     "paris",     "news",  "stock",    "price",
                                     "the",       "a",     "of",       "émigré"};
  std::string out;
  for (int i = 0; i < n; ++i) out += std::string(i ? " " : "") + vocabulary[rng() % 12];
  return out;
}

const Make kBm25 = [] { return std::unique_ptr<Scorer>(Bm25Scorer::create({}).value().release()); };

// Random learning and forgetting must leave a scorer scoring as a fresh one taught each
// agent's capabilities and the texts it still remembers: indexed with all of them together
// (`together`), or with its capabilities and then learning each text.
void check_against_fresh_teaching(const Make& make, bool together, double tolerance) {
  std::mt19937 rng(7);
  std::map<std::string, Texts> caps, held;
  std::unique_ptr<Scorer> learning = make();
  for (int a = 0; a < 6; ++a) {
    const std::string name = "agent" + std::to_string(a);
    caps[name] = {words(rng, 3), words(rng, 1 + a % 3)};
    learning->index_capabilities(name, caps[name]);
  }
  for (int step = 0; step < 400; ++step) {
    const std::string name = "agent" + std::to_string(rng() % 6);
    Texts& texts = held[name];
    if (!texts.empty() && rng() % 3 == 0) {
      const auto at = texts.begin() + static_cast<std::ptrdiff_t>(rng() % texts.size());
      ASSERT_TRUE(learning->forget(name, *at));
      texts.erase(at);
    } else {
      texts.push_back(words(rng, 1 + static_cast<int>(rng() % 5)));
      ASSERT_TRUE(learning->learn(name, texts.back()));
    }
    if (step % 40 != 39) continue;
    std::unique_ptr<Scorer> fresh = make();
    for (const auto& [agent, own] : caps) {
      Texts all = own;
      all.insert(all.end(), held[agent].begin(), held[agent].end());
      fresh->index_capabilities(agent, together ? all : own);
      for (const std::string& t : together ? Texts{} : held[agent]) fresh->learn(agent, t);
    }
    for (int q = 0; q < 5; ++q) {
      const std::string query = words(rng, 3);
      const auto want = scores_of(*fresh, query);
      const auto got = scores_of(*learning, query);
      ASSERT_EQ(got.size(), want.size()) << query;
      for (const auto& [agent, sim] : want) EXPECT_NEAR(got.at(agent), sim, tolerance) << query;
    }
  }
  EXPECT_FALSE(learning->forget("agent0", "never learned words")) << "asks for re-indexing";
}

TEST(QueryMemoryScorers, LearnAndForgetMatchAFreshTeaching) {
  check_against_fresh_teaching([] { return std::make_unique<TfIdfScorer>(); }, true, 1e-12);
  check_against_fresh_teaching([] { return std::make_unique<MinHashScorer>(LshConfig{}); }, false,
                               0.0);
  // Remembered texts count less than capabilities: the same text matches fully only as one.
  MinHashScorer scorer{LshConfig{}};
  scorer.index_capabilities("cap", Texts{"book a table for two"});
  scorer.index_capabilities("mem", Texts{"weather"});
  scorer.learn("mem", "book a table for two");
  const auto scores = scores_of(scorer, "book a table for two");
  EXPECT_EQ(scores.at("cap"), 1.0);
  EXPECT_EQ(scores.at("mem"), 40.0 / 64.0);
}

TEST(QueryMemoryEngine, BoundRepeatsFailuresAndRegistration) {
  auto* scorer = new test_support::Reindexed;  // the engine must re-index it with every text
  auto net = LocalNetwork::with_scorer(std::unique_ptr<Scorer>(scorer));
  auto& seen = scorer->indexed;
  ASSERT_FALSE(net->register_agent("a", Texts{"cap"}, {}, {}));
  const std::uint32_t key = seen["a"].second;
  net->record_success("a", "q1");
  EXPECT_TRUE(net->remembered("a")->empty()) << "memory is off by default";
  net->set_learning(LearningSettings::recommended(2));
  EXPECT_FALSE(net->learning().query_expansion);
  for (const char* q : {"q1", "q2", "q1", "q3"}) net->record_success("a", std::string_view(q));
  EXPECT_EQ(*net->remembered("a"), (Texts{"q1", "q3"})) << "a repeat is newest; q2 evicted";
  EXPECT_EQ(seen["a"], std::make_pair(Texts{"cap", "q1", "q3"}, key));
  EXPECT_EQ(net->find("a")->capabilities, Texts{"cap"});
  EXPECT_EQ(safe_lock(net->cooccurrence_mutex(), "t")->feedback_count(), 1u) << "none since";
  net->record_failure("a", "q1");
  net->record_failure("a", "not remembered");
  EXPECT_EQ(seen["a"].first, (Texts{"cap", "q3"}));
  net->set_learning({1, true});
  net->record_success("a", "q4");
  EXPECT_EQ(*net->remembered("a"), Texts{"q4"});
  EXPECT_EQ(safe_lock(net->cooccurrence_mutex(), "t")->feedback_count(), 2u);
  ASSERT_FALSE(net->register_agent("a", Texts{"new"}, {}, {}));
  EXPECT_EQ(seen["a"].first, Texts{"new"}) << "re-registration starts with an empty memory";
  net->deregister("a");
  EXPECT_EQ(net->remembered("a"), nullptr);
}

TEST(QueryMemoryEngine, StateFilesKeepSettingsScorerAndTexts) {
  const std::string path = std::filesystem::temp_directory_path() /
                           ("kova_memory_" + std::to_string(getpid()) + ".json");
  auto net = LocalNetwork::with_scorer(std::make_unique<TfIdfScorer>());
  net->set_learning({3, true});
  ASSERT_FALSE(net->register_agent("a", Texts{"legal contract"}, {}, {}));
  ASSERT_FALSE(net->register_agent("b", Texts{"weather report"}, {}, {}));
  for (const char* q : {"translate a lease", "draft my will", "sign here"})
    net->record_success("a", std::string_view(q));
  ASSERT_FALSE(net->save(path));
  auto loaded = LocalNetwork::load(path).value();
  EXPECT_EQ(loaded->learning(), (LearningSettings{3, true}));
  EXPECT_EQ(*loaded->remembered("a"), *net->remembered("a"));
  EXPECT_EQ(loaded->scorer_adapter().scorer->settings_json(), R"({"kind":"tfidf"})");
  EXPECT_EQ(scores_of(*loaded->scorer_adapter().scorer, "will lease"),
            scores_of(*net->scorer_adapter().scorer, "will lease"));
  // Edited by hand: a repeat counts once, as the newest, and a smaller bound keeps the newest.
  std::string text;
  std::getline(std::ifstream(path), text, '\0');
  text.replace(text.find("\"query_memory\": 3"), 17, "\"query_memory\": 2");
  text.replace(text.find("\"sign here\""), 11, "\"sign here\", \"translate a lease\"");
  std::ofstream(path) << text;
  EXPECT_EQ(*LocalNetwork::load(path).value()->remembered("a"),
            (Texts{"sign here", "translate a lease"}));
  std::filesystem::remove(path);
}

TEST(NeighbourCache, CapabilitiesOnlyScoresIgnoreRememberedTexts) {
  auto remembering = kBm25(), plain = kBm25();
  std::mt19937 rng(3);
  for (int i = 0; i < 30; ++i) {
    const Texts caps = {words(rng, 3), words(rng, 2)};
    remembering->index_capabilities("a" + std::to_string(i), caps);
    plain->index_capabilities("a" + std::to_string(i), caps);
    for (int t = 0; t < 5; ++t) remembering->learn("a" + std::to_string(i), words(rng, 4));
  }
  const auto epoch = remembering->capability_epoch();
  remembering->forget("a0", "not remembered at all");
  EXPECT_EQ(remembering->capability_epoch(), epoch);
  for (int q = 0; q < 50; ++q) {
    const std::string text = words(rng, 3);
    EXPECT_EQ(scores_of(*remembering, text, true), scores_of(*plain, text, true)) << text;
  }
  remembering->remove_agent("a1");
  EXPECT_NE(remembering->capability_epoch(), epoch);
}

}  // namespace
}  // namespace kova
