// Structures nested far deeper than any real use: queries hundreds of thousands of levels deep
// and state files with deeply nested JSON. Everything runs on a thread with a deliberately
// small stack, so any walk that recursed per level would overflow it and crash the test.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "network/network.hpp"
#include "query/query.hpp"
#include "scorer/minhash.hpp"

namespace {

using kova::Query;

constexpr std::size_t kSmallStack = 256 * 1024;
constexpr int kDepth = 200'000;

// Runs `body` on a thread with a small stack; gtest failures inside count as usual.
void on_small_stack(std::function<void()> body) {
  struct Job {
    std::function<void()> body;
    std::exception_ptr error;
  } job{std::move(body), nullptr};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  auto* j = static_cast<Job*>(p);
                  try {
                    j->body();
                  } catch (...) {
                    j->error = std::current_exception();
                  }
                  return nullptr;
                },
                &job),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (job.error) std::rethrow_exception(job.error);
}

// Scores every query text the same way, so that deep trees have something to combine.
class ConstantScorer final : public kova::Scorer {
 public:
  void index(std::string_view, const kova::AgentTexts&, std::uint32_t) override {}
  void remove_agent(std::string_view) override {}
  std::optional<std::string> score_into(const kova::ScoreRequest& request,
                                        kova::ScoreList& list) const override {
    const std::string_view query = request.text;
    ++calls;
    list.add_owned("agent", query == "base" ? 0.9 : 0.0);
    return std::nullopt;
  }
  mutable std::size_t calls = 0;
};

Query chained_exclusions(int depth) {
  Query q = Query::text("base");
  for (int i = 0; i < depth; ++i) q = Query::exclude(std::move(q), Query::text("x"));
  return q;
}

Query nested(int depth, int kind) {
  Query q = Query::text("base");
  for (int i = 0; i < depth; ++i) {
    std::vector<Query> one;
    one.push_back(std::move(q));
    if (kind == 0) {
      q = Query::all(std::move(one));
    } else if (kind == 1) {
      q = Query::any(std::move(one));
    } else {
      std::vector<std::pair<Query, double>> weighted;
      weighted.emplace_back(std::move(one.front()), 2.0);
      q = Query::weighted(std::move(weighted));
    }
  }
  return q;
}

TEST(ReliabilityDeepQuery, ChainedExclusionsWalkWithoutRecursion) {
  on_small_stack([] {
    Query q = chained_exclusions(kDepth);
    const Query copy(q);
    ASSERT_EQ(copy.primary_text(), std::optional<std::string_view>("base"));

    ConstantScorer scorer;
    const auto scores = copy.evaluate(scorer);
    ASSERT_TRUE(scores.has_value());
    EXPECT_DOUBLE_EQ(scores.value().at("agent"), 0.9);
    EXPECT_EQ(scorer.calls, static_cast<std::size_t>(kDepth) + 1);

    const std::string text = q.debug();
    EXPECT_EQ(text.rfind("Exclude { base: Exclude { base: ", 0), 0u);
    EXPECT_EQ(text, copy.debug());

    Query assigned = Query::text("old");
    assigned = copy;  // copy-assignment replaces (and tears down) a tree as well
    assigned = std::move(q);
    EXPECT_EQ(assigned.primary_text(), std::optional<std::string_view>("base"));
  });
}

TEST(ReliabilityDeepQuery, NestedListsWalkWithoutRecursion) {
  for (int kind = 0; kind < 3; ++kind) {
    on_small_stack([kind] {
      const Query q = nested(kDepth, kind);
      ConstantScorer scorer;
      const auto scores = Query(q).evaluate(scorer);
      ASSERT_TRUE(scores.has_value());
      EXPECT_DOUBLE_EQ(scores.value().at("agent"), 0.9) << kind;
      EXPECT_EQ(q.primary_text(), std::optional<std::string_view>("base"));
      EXPECT_GT(q.debug().size(), static_cast<std::size_t>(kDepth) * 5);
    });
  }
}

TEST(ReliabilityDeepQuery, DeepQueryThroughDiscovery) {
  on_small_stack([] {
    auto net = kova::LocalNetwork::with_scorer(std::make_unique<ConstantScorer>());
    ASSERT_FALSE(net->register_agent("agent", std::vector<std::string>{"base"}, std::nullopt, {}));
    const Query q = chained_exclusions(kDepth);
    const auto results = net->discover_query(q, nullptr);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].agent_name, "agent");
    EXPECT_TRUE(net->discover_query_with_confidence(q, nullptr).confidence.has_value());
  });
}

class ReliabilityDeepState : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("kova_deep_" + std::to_string(::getpid()) + ".json");
  }
  void TearDown() override { std::filesystem::remove(path_); }

  std::string load_error(const std::string& text) {
    {
      std::ofstream out(path_, std::ios::binary);
      out << text;
    }
    std::string error;
    on_small_stack([&] {
      auto loaded = kova::LocalNetwork::load(path_.string());
      if (!loaded) error = loaded.error().display();
    });
    return error;
  }

  std::filesystem::path path_;
};

TEST_F(ReliabilityDeepState, DeeplyNestedJsonIsRefusedNotRecursedInto) {
  constexpr std::size_t kLevels = 1'000'000;
  const std::string arrays = std::string(kLevels, '[') + std::string(kLevels, ']');
  std::string objects;
  for (std::size_t i = 0; i < 100'000; ++i) objects += "{\"a\":";
  objects += "1" + std::string(100'000, '}');

  for (const std::string& text : {
           arrays,
           "{\"version\":3,\"agents\":[],\"ignored\":" + arrays + "}",
           "{\"version\":3,\"agents\":[],\"ignored\":" + objects + "}",
           "{\"version\":3,\"agents\":[{\"name\":\"a\",\"metadata\":" + objects + "}]}",
           // Unterminated: the parser must give up at the depth limit, not at the end.
           "{\"version\":3,\"agents\":" + std::string(kLevels, '['),
       }) {
    const std::string error = load_error(text);
    EXPECT_NE(error.find("serialization error: "), std::string::npos) << error;
  }
}

TEST_F(ReliabilityDeepState, NestingWithinTheLimitStillLoads) {
  // Unknown members may hold moderately nested values, which are skipped.
  const std::string nested = std::string(100, '[') + std::string(100, ']');
  EXPECT_EQ(load_error("{\"version\":3,\"agents\":[],\"extra\":" + nested + "}"), "");
}

}  // namespace
