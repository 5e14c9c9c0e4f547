#include "network/cooccurrence.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace kova {
namespace {

using Terms = std::vector<std::string>;

void feed(CoOccurrenceExpander& e, int times, const Terms& q, const Terms& c) {
  for (int i = 0; i < times; ++i) e.record_feedback(q, c);
}

TEST(CoOccurrence, CountsEveryPairAndEveryCall) {
  CoOccurrenceExpander e;
  e.record_feedback({"translate", "legal"}, {"legal", "translation"});
  EXPECT_EQ(e.size(), 4u);
  for (const char* q : {"translate", "legal"}) {
    for (const char* c : {"legal", "translation"}) EXPECT_EQ(e.count(q, c), 1u) << q << "," << c;
  }
  e.record_feedback({"legal", "legal"}, {"legal"});  // repeated terms count repeatedly
  EXPECT_EQ(e.count("legal", "legal"), 3u);
  e.record_feedback({}, {"legal"});
  e.record_feedback({"x"}, {});
  EXPECT_EQ(e.size(), 4u);
  EXPECT_EQ(e.feedback_count(), 4u);
  EXPECT_EQ(e.count("x", "legal"), 0u);
}

TEST(CoOccurrence, ExpansionStartsAtTheTenthFeedbackPerTermWithoutDeduplication) {
  CoOccurrenceExpander e;
  feed(e, 9, {"translate"}, {"legal"});
  EXPECT_EQ(e.expand_query({"translate", "x"}), (Terms{"translate", "x"}));
  feed(e, 1, {"translate"}, {"legal"});
  EXPECT_EQ(e.expand_query({"translate", "x"}), (Terms{"translate", "x", "legal"}));

  // Each query term expands on its own; duplicates stay.
  feed(e, 2, {"law"}, {"legal"});
  EXPECT_EQ(e.expand_query({"law", "law", "unknown"}),
            (Terms{"law", "law", "unknown", "legal", "legal"}));
}

TEST(CoOccurrence, TopThreeAgreesWithAStableSortOfTheRow) {
  // The three strongest per term, from many counts per row with ties in every position; the
  // stable order of equal counts is the row's iteration order, which pairs() exposes.
  CoOccurrenceExpander e;
  for (int i = 0; i < 40; ++i) feed(e, 1 + (i * 7) % 5, {"q"}, {"c" + std::to_string(i)});
  std::vector<CoOccurrenceExpander::Pair> row;
  for (auto& p : e.pairs()) {
    if (p.query_term == "q") row.push_back(p);
  }
  std::stable_sort(row.begin(), row.end(),
                   [](const auto& a, const auto& b) { return a.count > b.count; });
  const Terms out = e.expand_query({"q"});
  EXPECT_EQ(out,
            (Terms{"q", row[0].capability_term, row[1].capability_term, row[2].capability_term}));
}

TEST(CoOccurrence, DistinctTermBoundAgreesWithANaiveCount) {
  // A kept pair counts occurrences of q times occurrences of c. Small vocabularies make
  // repeats common.
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    const std::size_t bound = round % 2 ? 50 : 1 + rng() % 8;
    Terms lists[2];
    std::map<std::string, std::uint32_t> kept[2];  // occurrences of the first `bound` distinct
    for (int side = 0; side < 2; ++side) {
      const std::size_t vocabulary = 1 + rng() % 70;
      for (std::size_t i = rng() % 120; i > 0; --i) {
        lists[side].push_back("t" + std::to_string(rng() % vocabulary));
        if (kept[side].count(lists[side].back()) || kept[side].size() < bound)
          ++kept[side][lists[side].back()];
      }
    }
    CoOccurrenceExpander e;
    e.record_feedback(lists[0], lists[1], bound);
    ASSERT_EQ(e.size(), kept[0].size() * kept[1].size()) << round;
    for (const auto& [q, m] : kept[0]) {
      for (const auto& [c, n] : kept[1]) ASSERT_EQ(e.count(q, c), m * n) << round;
    }
  }
}

// Fills the matrix with `n` distinct pairs of count `count` under the query term `q`.
void fill(CoOccurrenceExpander& e, const std::string& q, int n, int count) {
  Terms caps;
  for (int i = 0; i < n; ++i) caps.push_back(q + std::to_string(i));
  feed(e, count, {q}, caps);
}

TEST(CoOccurrence, PruningDropsLowCountsUntilUnderTheLimit) {
  CoOccurrenceExpander e;
  fill(e, "three", 10000, 3);
  fill(e, "two", 20000, 2);
  fill(e, "one", 19999, 1);
  EXPECT_EQ(e.size(), 49999u);
  e.record_feedback({"one"}, {"extra"});  // reaches 50000: one pass removes every count of 1
  EXPECT_EQ(e.size(), 30000u);
  EXPECT_EQ(e.count("one", "one0"), 0u);
  EXPECT_EQ(e.count("two", "two0"), 2u);

  // A query that repeats its term gives new pairs a count of 2 at once: at 50000 pairs the
  // first pass (t = 2) removes nothing and the second (t = 3) removes the twos.
  CoOccurrenceExpander f;
  fill(f, "three", 20000, 3);
  Terms caps;
  for (int i = 0; i < 30000; ++i) caps.push_back("two" + std::to_string(i));
  f.record_feedback({"two", "two"}, caps);
  EXPECT_EQ(f.size(), 20000u);
  EXPECT_EQ(f.count("two", "two0"), 0u);
  EXPECT_EQ(f.count("three", "three0"), 3u);
}

TEST(CoOccurrence, PruningSkipsEmptyPassesWhenAllCountsAreHigh) {
  CoOccurrenceExpander e;
  fill(e, "hi", 49999, 40);
  e.record_feedback(Terms(30, "low"), {"low0"});  // 50000 pairs; only the pass t = 31 removes one
  EXPECT_EQ(e.size(), 49999u);
  EXPECT_EQ(e.count("low", "low0"), 0u);
  EXPECT_EQ(e.count("hi", "hi0"), 40u);
}

TEST(CoOccurrence, ReplaceRestoresPairsAndCount) {
  CoOccurrenceExpander e;
  feed(e, 3, {"old"}, {"pair"});
  e.replace({{"a", "b", 5}, {"a", "c", 2}, {"a", "b", 7}}, 42);
  EXPECT_EQ(e.feedback_count(), 42u);
  EXPECT_EQ(e.size(), 2u);
  EXPECT_EQ(e.count("a", "b"), 7u);
  EXPECT_EQ(e.count("old", "pair"), 0u);
  EXPECT_EQ(e.expand_query({"a"}), (Terms{"a", "b", "c"}));
  EXPECT_EQ(e.pairs().size(), 2u);
}

}  // namespace
}  // namespace kova
