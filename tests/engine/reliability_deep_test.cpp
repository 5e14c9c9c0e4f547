// Queries nested far deeper than any real use: hundreds of thousands of levels. Everything runs on
// a thread with a deliberately small stack, so any walk that recursed per level would overflow it
// and crash the test.
#include <gtest/gtest.h>
#include <pthread.h>

#include <exception>
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

// kind 0: chained exclusions; 1, 2, 3: lists of one under all, any and weighted.
Query nested(int depth, int kind) {
  Query q = Query::text("base");
  for (int i = 0; i < depth; ++i) {
    std::vector<Query> one;
    one.push_back(std::move(q));
    if (kind == 0) {
      q = Query::exclude(std::move(one.front()), Query::text("x"));
    } else if (kind == 1) {
      q = Query::all(std::move(one));
    } else if (kind == 2) {
      q = Query::any(std::move(one));
    } else {
      std::vector<std::pair<Query, double>> weighted;
      weighted.emplace_back(std::move(one.front()), 2.0);
      q = Query::weighted(std::move(weighted));
    }
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
      ASSERT_FALSE(
          net->register_agent("agent", std::vector<std::string>{"base"}, std::nullopt, {}));
      const auto results = net->discover_query(copy, nullptr);
      ASSERT_EQ(results.size(), 1u);
      EXPECT_EQ(results[0].agent_name, "agent");
      EXPECT_TRUE(net->discover_query_with_confidence(copy, nullptr).confidence.has_value());
    });
  }
}

}  // namespace
