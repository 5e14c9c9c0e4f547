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
  // A kept pair counts occurrences of q times occurrences of c: repeated terms count
  // repeatedly. Small vocabularies make repeats common; some lists are empty.
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
    EXPECT_EQ(e.feedback_count(), 1u);  // every call counts, empty lists too
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

TEST(CoOccurrence, RepeatedPruningAgreesWithANaiveMatrix) {
  // A matrix held near its limit prunes after nearly every success. Loads install counts the
  // expander did not make itself, ones included.
  std::mt19937 rng(11);
  CoOccurrenceExpander e;
  std::map<std::pair<std::string, std::string>, std::uint64_t> naive;
  auto load = [&](bool demote) {
    std::vector<CoOccurrenceExpander::Pair> pairs;
    for (auto& [key, n] : naive) {
      n = demote && n == 2 ? 1 : n;
      pairs.push_back({key.first, key.second, static_cast<std::uint32_t>(n)});
    }
    e.replace(pairs, e.feedback_count());
  };
  for (int i = 0; i < 49'900; ++i)
    naive[{"b" + std::to_string(i % 97), std::to_string(i)}] = 3 + i % 5;
  load(false);
  int prunes = 0;
  auto draw = [&](char side, int vocabulary, int n) {
    Terms terms;
    for (int i = 0; i < n; ++i) terms.push_back(side + std::to_string(rng() % vocabulary));
    return terms;
  };
  for (int call = 0; call < 400; ++call) {
    if (call == 200) load(true);
    const Terms q = draw('q', 200, 1 + rng() % 8), c = draw('c', 200, 1 + rng() % 12);
    e.record_feedback(q, c);
    for (const auto& a : q)
      for (const auto& b : c) ++naive[{a, b}];
    prunes += naive.size() >= CoOccurrenceExpander::kMaxEntries;
    for (std::uint64_t t = 2; naive.size() >= CoOccurrenceExpander::kMaxEntries; ++t)
      std::erase_if(naive, [t](const auto& entry) { return entry.second < t; });
    ASSERT_EQ(e.size(), naive.size()) << call;
  }
  EXPECT_GT(prunes, 150);
  for (const auto& [key, n] : naive) ASSERT_EQ(e.count(key.first, key.second), n);
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
