#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "network/network.hpp"
#include "scorer/minhash.hpp"
#include "scorer/tfidf.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using Texts = std::vector<std::string>;

std::map<std::string, double> scores_of(const Scorer& scorer, std::string_view query) {
  std::map<std::string, double> out;
  const ScoreResult scored = scorer.score(query);
  for (const auto& [name, sim] : scored.value().pairs) out[std::string(name)] = sim;
  return out;
}

// Random learning and forgetting must leave a scorer scoring as a fresh one taught each
// agent's capabilities and the texts it still remembers: indexed with all of them together
// (`together`), or with its capabilities and then learning each text.
template <class Make>
void check_against_fresh_teaching(Make make, bool together, double tolerance) {
  const Texts words = {"translate", "legal", "contract", "weather", "paris", "news",
                       "stock",     "price", "the",      "a",       "of",    "émigré"};
  std::mt19937 rng(7);
  auto text = [&](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " " : "") + words[rng() % words.size()];
    return out;
  };
  std::map<std::string, Texts> caps, held;
  std::unique_ptr<Scorer> learning = make();
  for (int a = 0; a < 6; ++a) {
    const std::string name = "agent" + std::to_string(a);
    caps[name] = {text(3), text(1 + a % 3)};
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
      texts.push_back(text(1 + static_cast<int>(rng() % 5)));
      ASSERT_TRUE(learning->learn(name, texts.back()));
    }
    if (step % 40 != 39) continue;
    std::unique_ptr<Scorer> fresh = make();
    for (const auto& [agent, own] : caps) {
      Texts all = own;
      all.insert(all.end(), held[agent].begin(), held[agent].end());
      fresh->index_capabilities(agent, together ? all : own);
      for (const std::string& t : held[agent]) {
        if (!together) fresh->learn(agent, t);
      }
    }
    for (int q = 0; q < 5; ++q) {
      const std::string query = text(3);
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
  for (const char* q : {"translate a lease", "draft my will", "sign here"}) {
    net->record_success("a", std::string_view(q));
  }
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

}  // namespace
}  // namespace kova
