#include "query/query.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace kova {
namespace {

using test_support::ChosenScorer;
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
    scorer.fail_on("bad");
  }
  ScoreMap eval(const Query& q) {
    auto r = q.evaluate(scorer);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
    return r ? r.value() : ScoreMap{};
  }
  ChosenScorer scorer;
};

TEST_F(QueryEval, TextKeepsEveryPairLaterDuplicatesWin) {
  EXPECT_EQ(eval(T("x")), (ScoreMap{{"a", 0.8}, {"b", 0.4}, {"c", 0.0}, {"d", -0.3}}));
  EXPECT_EQ(eval(T("dup")), (ScoreMap{{"a", 0.1}}));
  eval(T("  Un Changed "));
  EXPECT_EQ(scorer.calls.back(), "  Un Changed ");
}

TEST_F(QueryEval, AllTakesThePositiveMinimumOverTheFirstPartsAgents) {
  EXPECT_EQ(eval(Query::all({})), ScoreMap{});
  EXPECT_TRUE(scorer.calls.empty());
  EXPECT_EQ(eval(Query::all({T("x")})), (ScoreMap{{"a", 0.8}, {"b", 0.4}}));
  // b is missing from y (counts 0.0); e is only in y.
  EXPECT_EQ(eval(Query::all({T("x"), T("y")})), (ScoreMap{{"a", 0.5}}));
  // NaN is ignored by the minimum; a NaN with nothing else to compare is dropped.
  EXPECT_EQ(eval(Query::all({T("nan"), T("half")})), (ScoreMap{{"a", 0.5}, {"b", 0.2}}));
  EXPECT_EQ(eval(Query::all({T("nan")})), (ScoreMap{{"b", 0.2}}));
}

TEST_F(QueryEval, AnyTakesTheMaximumFloorZero) {
  EXPECT_EQ(eval(Query::any({})), ScoreMap{});
  EXPECT_EQ(eval(Query::any({T("x"), T("y")})),
            (ScoreMap{{"a", 0.8}, {"b", 0.4}, {"c", 0.9}, {"d", 0.0}, {"e", 0.6}}));
  EXPECT_EQ(eval(Query::any({T("nan")})), (ScoreMap{{"a", 0.0}, {"b", 0.2}}));
  EXPECT_EQ(eval(Query::any({T("nan"), T("half")})),
            (ScoreMap{{"a", 0.5}, {"b", 1.0}, {"z", 0.7}}));
}

TEST_F(QueryEval, ExclusionScalesByTheRemainder) {
  // a: 0.8 x (1 - 0.5); b: 0.4 x (1 - 1.0) drops; z only excluded; c, d not positive.
  EXPECT_EQ(eval(Query::exclude(T("x"), T("half"))), (ScoreMap{{"a", 0.4}}));
  const ScoreMap partial = eval(Query::exclude(T("y"), T("dup")));
  EXPECT_EQ(partial.size(), 3u);
  EXPECT_DOUBLE_EQ(partial.at("a"), 0.45);
  EXPECT_EQ(partial.at("c"), 0.9);  // absent from the exclusion: unchanged

  // Chained: the first exclusion nests inside the base.
  const Query chained = Query::exclude(Query::exclude(T("y"), T("x")), T("half"));
  const auto& outer = std::get<Query::Exclude>(chained.node());
  EXPECT_EQ(outer.exclusion->debug(), "Text(\"half\")");
  EXPECT_EQ(outer.base->debug(), "Exclude { base: Text(\"y\"), exclusion: Text(\"x\") }");
  // a: 0.5 x 0.2 x 0.5; c: x gives 0.0, stays 0.9; e untouched; z never enters.
  const ScoreMap m = eval(chained);
  EXPECT_EQ(m.size(), 3u);
  EXPECT_DOUBLE_EQ(m.at("a"), 0.5 * (1 - 0.8) * (1 - 0.5));
  EXPECT_EQ(m.at("c"), 0.9);
  EXPECT_EQ(m.at("e"), 0.6);
  // b is dropped at the inner step and stays dropped although y lacks it.
  const ScoreMap dropped = eval(Query::exclude(Query::exclude(T("x"), T("half")), T("y")));
  EXPECT_EQ(dropped.size(), 1u);
  EXPECT_DOUBLE_EQ(dropped.at("a"), 0.8 * 0.5 * 0.5);
}

TEST_F(QueryEval, WeightedAveragesOverAllWeights) {
  // a: (0.8 x 2 + 0.5 x 1) / 3; b: 0.4 x 2 / 3; c: 0.9 / 3; e: 0.6 / 3; d negative drops.
  const ScoreMap m = eval(Query::weighted({{T("x"), 2.0}, {T("y"), 1.0}}));
  EXPECT_EQ(m.size(), 4u);
  EXPECT_DOUBLE_EQ(m.at("a"), 2.1 / 3.0);
  EXPECT_DOUBLE_EQ(m.at("b"), 0.8 / 3.0);
  EXPECT_DOUBLE_EQ(m.at("e"), 0.2);
  const ScoreMap single = eval(Query::weighted({{T("half"), 5.0}}));
  EXPECT_EQ(single.size(), 3u);
  EXPECT_DOUBLE_EQ(single.at("a"), 0.5);
  EXPECT_DOUBLE_EQ(single.at("b"), 1.0);
  EXPECT_DOUBLE_EQ(single.at("z"), 0.7);

  // Zero or negative totals and empty lists score nothing, without a scorer call.
  scorer.calls.clear();
  EXPECT_EQ(eval(Query::weighted({})), ScoreMap{});
  EXPECT_EQ(eval(Query::weighted({{T("x"), 1.0}, {T("y"), -1.0}})), ScoreMap{});
  EXPECT_EQ(eval(Query::weighted({{T("x"), -2.0}})), ScoreMap{});
  EXPECT_EQ(eval(Query::weighted({{T("x"), 0.0}, {T("y"), -0.0}})), ScoreMap{});
  EXPECT_TRUE(scorer.calls.empty());

  // A NaN weight is not caught up front: the children run and every value drops.
  EXPECT_EQ(eval(Query::weighted({{T("x"), kNaN}, {T("y"), 1.0}})), ScoreMap{});
  EXPECT_EQ(scorer.calls, (std::vector<std::string>{"x", "y"}));
  // A zero weight dilutes without contributing; a negative one subtracts.
  EXPECT_EQ(eval(Query::weighted({{T("y"), 1.0}, {T("x"), 0.0}})),
            (ScoreMap{{"a", 0.5}, {"c", 0.9}, {"e", 0.6}}));
  const ScoreMap neg = eval(Query::weighted({{T("y"), 2.0}, {T("x"), -1.0}}));
  EXPECT_DOUBLE_EQ(neg.at("c"), 1.8);
  EXPECT_DOUBLE_EQ(neg.at("a"), 0.2);
  EXPECT_EQ(neg.count("b"), 0u);
}

TEST_F(QueryEval, FirstErrorStopsEvaluation) {
  auto r = Query::all({T("x"), T("bad"), T("y")}).evaluate(scorer);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "no answer for bad");
  EXPECT_EQ(scorer.calls, (std::vector<std::string>{"x", "bad"}));

  EXPECT_FALSE(Query::exclude(T("x"), Query::any({T("bad")})).evaluate(scorer).has_value());
  EXPECT_FALSE(Query::weighted({{T("bad"), 1.0}}).evaluate(scorer).has_value());
  // A zero total never reaches the failing child.
  EXPECT_TRUE(Query::weighted({{T("bad"), 0.0}}).evaluate(scorer).has_value());
}

TEST(QueryShape, PrimaryTextSkipsExclusions) {
  EXPECT_EQ(T("t").primary_text(), "t");
  EXPECT_EQ(Query::all({Query::exclude(T("x"), T("y")), T("z")}).primary_text(), "x");
  EXPECT_EQ(Query::exclude(Query::all({}), T("y")).primary_text(), std::nullopt);
  EXPECT_EQ(Query::any({}).primary_text(), std::nullopt);
  EXPECT_EQ(Query::all({Query::any({}), Query::weighted({{T("w"), 0.0}}), T("z")}).primary_text(),
            "w");
  EXPECT_EQ(Query::exclude(Query::exclude(T("q"), T("a")), T("b")).primary_text(), "q");
}

TEST(QueryShape, DebugRendering) {
  EXPECT_EQ(Query::all({T("a"), T("b")}).debug(), "All([Text(\"a\"), Text(\"b\")])");
  EXPECT_EQ(Query::all({}).debug(), "All([])");
  EXPECT_EQ(Query::any({T("a")}).debug(), "Any([Text(\"a\")])");
  EXPECT_EQ(Query::exclude(T("a"), T("b")).debug(),
            "Exclude { base: Text(\"a\"), exclusion: Text(\"b\") }");
  EXPECT_EQ(Query::weighted({{T("a"), 2.0}, {T("b"), 0.5}, {T("c"), 1e-5}, {T("d"), kNaN}}).debug(),
            "Weighted([(Text(\"a\"), 2.0), (Text(\"b\"), 0.5), (Text(\"c\"), 1e-5), (Text(\"d\"), "
            "NaN)])");
  EXPECT_EQ(T("say \"hi\"\\\n").debug(), "Text(\"say \\\"hi\\\"\\\\\\n\")");
}

TEST(QueryShape, CopiesAreDeepAndIndependent) {
  Query original = Query::all({Query::exclude(T("a"), T("b")), Query::weighted({{T("c"), 1.5}})});
  const std::string rendered = original.debug();
  Query copy = original;
  original = T("replaced");
  EXPECT_EQ(copy.debug(), rendered);
  Query assigned = T("x");
  assigned = copy;
  EXPECT_EQ(assigned.debug(), rendered);
  Query moved = std::move(copy);
  EXPECT_EQ(moved.debug(), rendered);
  // Assigning a part of itself keeps the part intact.
  moved = std::get<Query::All>(moved.node()).parts[0];
  EXPECT_EQ(moved.debug(), "Exclude { base: Text(\"a\"), exclusion: Text(\"b\") }");
}

}  // namespace
}  // namespace kova
