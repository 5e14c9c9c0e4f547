// Inputs no real use sends: every fuzz target's corpus (the seeds and each input that once broke
// the engine) and fixed pseudo-random bytes, so that what fuzzing found stays fixed without clang;
// and queries hundreds of thousands of levels deep, walked on a thread with a deliberately small
// stack, so that any walk recursing per level would overflow it and crash the test.
#include <gtest/gtest.h>
#include <pthread.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "network/network.hpp"
#include "query/query.hpp"

int fuzz_cards(const std::uint8_t* data, std::size_t size);
int fuzz_engine_ops(const std::uint8_t* data, std::size_t size);
int fuzz_filter(const std::uint8_t* data, std::size_t size);
int fuzz_query(const std::uint8_t* data, std::size_t size);
int fuzz_state_load(const std::uint8_t* data, std::size_t size);
int fuzz_text(const std::uint8_t* data, std::size_t size);

namespace {

struct Case {
  const char* name;
  int (*target)(const std::uint8_t*, std::size_t);
  int random_inputs;
};

class ReliabilityCorpus : public ::testing::TestWithParam<Case> {};

TEST_P(ReliabilityCorpus, ReplaysCorpusAndRandomInputs) {
  const Case& c = GetParam();
  const auto run = [&](const std::vector<char>& bytes, const std::string& label) {
    try {
      c.target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << label << ": " << e.what();
    }
  };
  const std::filesystem::path dir = std::filesystem::path(KOVA_FUZZ_CORPUS_DIR) / c.name;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    run({std::istreambuf_iterator<char>(in), {}}, entry.path().filename().string());
    ++files;
  }
  EXPECT_GT(files, 0u);
  std::mt19937_64 rng(0x6b6f7661);
  for (int i = 0; i < c.random_inputs; ++i) {
    std::vector<char> bytes(rng() % 512);
    for (char& b : bytes) b = static_cast<char>(rng());
    run(bytes, "random input " + std::to_string(i));
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, ReliabilityCorpus,
                         ::testing::Values(Case{"fuzz_cards", fuzz_cards, 300},
                                           Case{"fuzz_engine_ops", fuzz_engine_ops, 150},
                                           Case{"fuzz_filter", fuzz_filter, 1000},
                                           Case{"fuzz_query", fuzz_query, 300},
                                           Case{"fuzz_state_load", fuzz_state_load, 100},
                                           Case{"fuzz_text", fuzz_text, 300}),
                         [](const auto& info) { return std::string(info.param.name); });

using kova::Query;
constexpr int kDepth = 200'000;

// Runs `body` on a thread with a 256 KiB stack; gtest failures inside count as usual.
void on_small_stack(std::function<void()> body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  pthread_t thread;
  const auto call = [](void* f) -> void* {
    (*static_cast<std::function<void()>*>(f))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, call, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// Scores every query text the same way, so that deep trees have something to combine.
class ConstantScorer final : public kova::Scorer {
 public:
  void index(std::string_view, const kova::AgentTexts&, std::uint32_t) override {}
  void remove_agent(std::string_view) override {}
  std::optional<std::string> score_into(const kova::ScoreRequest& request,
                                        kova::ScoreList& list) const override {
    ++calls;
    list.add_owned("agent", request.text == "base" ? 0.9 : 0.0);
    return std::nullopt;
  }
  mutable std::size_t calls = 0;
};

// kind 0: chained exclusions; 1, 2, 3: lists of one under all, any and weighted.
Query nested(int depth, int kind) {
  Query q = Query::text("base");
  for (int i = 0; i < depth; ++i) {
    std::vector<Query> one;
    one.push_back(std::move(q));
    std::vector<std::pair<Query, double>> weighted;
    if (kind == 3) weighted.emplace_back(std::move(one[0]), 2.0);
    q = kind == 0   ? Query::exclude(std::move(one[0]), Query::text("x"))
        : kind == 3 ? Query::weighted(std::move(weighted))
                    : (kind == 1 ? Query::all : Query::any)(std::move(one));
  }
  return q;
}

TEST(ReliabilityDeepQuery, DeepTreesWalkWithoutRecursion) {
  for (int kind = 0; kind < 4; ++kind) {
    on_small_stack([kind] {
      Query q = nested(kDepth, kind);
      const Query copy(q);
      EXPECT_EQ(copy.primary_text(), std::optional<std::string_view>("base"));
      ConstantScorer scorer;
      const auto scores = copy.evaluate(scorer);
      ASSERT_TRUE(scores.has_value());
      EXPECT_DOUBLE_EQ(scores.value().at("agent"), 0.9) << kind;
      EXPECT_EQ(q.debug(), copy.debug());
      EXPECT_GT(q.debug().size(), static_cast<std::size_t>(kDepth) * 5);
      if (kind != 0) return;
      EXPECT_EQ(scorer.calls, static_cast<std::size_t>(kDepth) + 1);
      EXPECT_EQ(q.debug().rfind("Exclude { base: Exclude { base: ", 0), 0u);
      Query assigned = Query::text("old");
      assigned = copy;  // copy-assignment replaces (and tears down) a tree as well
      assigned = std::move(q);
      EXPECT_EQ(assigned.primary_text(), std::optional<std::string_view>("base"));
      auto net = kova::LocalNetwork::with_scorer(std::make_unique<ConstantScorer>());
      ASSERT_FALSE(net->register_agent("agent", std::vector<std::string>{"base"}, {}, {}));
      const auto results = net->discover_query(copy, nullptr);
      ASSERT_EQ(results.size(), 1u);
      EXPECT_EQ(results[0].agent_name, "agent");
      EXPECT_TRUE(net->discover_query_with_confidence(copy, nullptr).confidence.has_value());
    });
  }
}

}  // namespace
