#include "query/query.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

#include "test_support.hpp"

namespace kova {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Query T(const char* t) {
  return Query::text(t);
}

class QueryEval : public ::testing::Test {
 protected:
  QueryEval() {
    scorer.answer("x", {{"a", 0.8}, {"b", 0.4}, {"c", 0.0}, {"d", -0.3}});
    scorer.answer("y", {{"a", 0.5}, {"c", 0.9}, {"e", 0.6}});
    scorer.answer("half", {{"a", 0.5}, {"b", 1.0}, {"z", 0.7}});
    scorer.answer("nan", {{"a", kNaN}, {"b", 0.2}});
    scorer.answer("dup", {{"a", 0.9}, {"a", 0.1}});
  }
  test_support::ChosenScorer scorer;
};

TEST_F(QueryEval, EachCombinatorFollowsItsRule) {
  const std::pair<Query, ScoreMap> rows[] = {
      // Text keeps every pair; of a name listed twice the later value counts.
      {T("x"), {{"a", 0.8}, {"b", 0.4}, {"c", 0.0}, {"d", -0.3}}},
      {T("dup"), {{"a", 0.1}}},
      // All: the positive minimum over the first part's agents, a missing one counting 0;
      // the minimum ignores NaN, and a NaN with nothing to compare is dropped.
      {Query::all({}), {}},
      {Query::all({T("x"), T("y")}), {{"a", 0.5}}},
      {Query::all({T("nan"), T("half")}), {{"a", 0.5}, {"b", 0.2}}},
      {Query::all({T("nan")}), {{"b", 0.2}}},
      // Any: the maximum, floor zero.
      {Query::any({T("x"), T("y")}), {{"a", 0.8}, {"b", 0.4}, {"c", 0.9}, {"d", 0.0}, {"e", 0.6}}},
      {Query::any({T("nan")}), {{"a", 0.0}, {"b", 0.2}}},
      // Exclusion scales by the remainder; what an inner exclusion drops stays dropped.
      {Query::exclude(T("x"), T("half")), {{"a", 0.4}}},
      {Query::exclude(Query::exclude(T("y"), T("x")), T("half")),
       {{"a", 0.5 * (1 - 0.8) * (1 - 0.5)}, {"c", 0.9}, {"e", 0.6}}},
      {Query::exclude(Query::exclude(T("x"), T("half")), T("y")), {{"a", 0.8 * 0.5 * 0.5}}},
      // Weighted averages over all weights: a negative one subtracts, a NaN one drops every
      // value.
      {Query::weighted({{T("x"), 2.0}, {T("y"), 1.0}}),
       {{"a", 2.1 / 3}, {"b", 0.8 / 3}, {"c", 0.3}, {"e", 0.2}}},
      {Query::weighted({{T("y"), 2.0}, {T("x"), -1.0}}),
       {{"a", 0.2}, {"c", 1.8}, {"d", 0.3}, {"e", 1.2}}},
      {Query::weighted({{T("x"), kNaN}, {T("y"), 1.0}}), {}},
      // Weights whose sum overflows average as their ratios say.
      {Query::weighted({{T("x"), 1e308}, {T("y"), 1e308}}),
       {{"a", 0.65}, {"b", 0.2}, {"c", 0.45}, {"e", 0.3}}},
  };
  for (const auto& [query, want] : rows) {
    SCOPED_TRACE(query.debug());
    const auto result = query.evaluate(scorer);
    ASSERT_TRUE(result);
    const ScoreMap& got = result.value();
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [name, sim] : want) EXPECT_NEAR(got.at(name), sim, 1e-15) << name;
  }
}

TEST(QueryShape, RenderingAndCopies) {
  const std::pair<Query, const char*> rendered[] = {
      {Query::all({T("a"), T("b")}), "All([Text(\"a\"), Text(\"b\")])"},
      {Query::any({}), "Any([])"},
      {Query::exclude(T("a"), T("b")), "Exclude { base: Text(\"a\"), exclusion: Text(\"b\") }"},
      {Query::weighted({{T("a"), 2.0}, {T("c"), 1e-5}, {T("d"), kNaN}}),
       "Weighted([(Text(\"a\"), 2.0), (Text(\"c\"), 1e-5), (Text(\"d\"), NaN)])"},
      {T("say \"hi\"\\\n"), "Text(\"say \\\"hi\\\"\\\\\\n\")"},
  };
  for (const auto& [query, text] : rendered) EXPECT_EQ(query.debug(), text);
  Query original = Query::all({Query::exclude(T("a"), T("b")), Query::weighted({{T("c"), 1.5}})});
  const std::string text = original.debug();
  Query copy = original;
  original = T("replaced");
  EXPECT_EQ(copy.debug(), text);
  // Assigning a part of itself keeps the part intact.
  copy = std::get<Query::All>(copy.node()).parts[0];
  EXPECT_EQ(copy.debug(), "Exclude { base: Text(\"a\"), exclusion: Text(\"b\") }");
}

}  // namespace
}  // namespace kova
