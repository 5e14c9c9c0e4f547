#include "network/pipeline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "core/name_hash.hpp"
#include "log/log.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using test_support::ChosenScorer;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct PipelineBench {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  AgentTable agents;
  ChosenScorer* scorer = new ChosenScorer;
  ScorerAdapter adapter{LshConfig{}, std::unique_ptr<Scorer>(scorer)};
  SLNEnzyme enzyme;
  CoOccurrenceExpander expander;
  RegistryCache cache{agents};
  AgentRecord& add(const std::string& name) {
    AgentRecord& r = agents.try_emplace(name).first->second;
    r.name_hash = compute_name_hash(name);
    r.last_activity = clock->monotonic_now();
    return r;
  }
  // Tests change records directly, so every run reads the registry anew.
  PipelineContext ctx() {
    cache.membership_changed();
    return {cache.current(), adapter, enzyme, *clock};
  }
  PipelineOutput run(const ScoreMap& scores, double epsilon = 0.0,
                     const FilterMap* filters = nullptr,
                     std::string_view query = "translate legal contract") {
    return run_pipeline_with_scores(ctx(), query, scores, filters, epsilon);
  }
  std::uint64_t forwards(const std::string& name) const { return agents.at(name).forwards(); }
  // Forwards sway the load-balancing kernel: runs that should see the same state clear them.
  void reset_forwards() {
    for (auto& entry : agents) entry.second.forwards_count = 0;
  }
};

using Names = std::vector<std::string>;

Names names_of(const PipelineOutput& out) {
  Names names;
  for (const auto& c : out.results) names.push_back(c.agent_name);
  return names;
}

const ScoredCandidate& result(const PipelineOutput& out, const std::string& name) {
  const auto at = std::find_if(out.results.begin(), out.results.end(),
                               [&](const auto& c) { return c.agent_name == name; });
  return at != out.results.end() ? *at : throw std::runtime_error("no result " + name);
}

TEST(PipelineThreshold, EqualAndNaNPassAbsentCountsAsZeroAndTheBestBelowIsReported) {
  PipelineBench b;
  PipelineOutput out = b.run({{"x", 0.05}});  // empty registry: not even the best name
  EXPECT_FALSE(out.best_below_threshold.has_value());
  EXPECT_TRUE(out.evaluation.votes.empty());
  EXPECT_EQ(b.enzyme.process_count(), 0u);
  for (const char* n : {"a", "b", "c", "d", "e"}) b.add(n);
  const ScoreMap scores{{"a", 0.1}, {"b", 0.09999999999}, {"c", kNaN}, {"e", 0.5}, {"ghost", 0.9}};
  out = b.run(scores);
  EXPECT_EQ(names_of(out), (Names{"e", "a", "c"}));  // NaN sorts last
  EXPECT_FALSE(out.best_below_threshold.has_value());
  EXPECT_TRUE(std::isnan(result(out, "c").final_score));
  EXPECT_EQ(out.evaluation.votes.size(), 4u);
  EXPECT_EQ(out.evaluation.scores.size(), out.results.size());  // blended for candidates only
  out = b.run({{"x", kNaN}, {"ghost", 0.07}, {"a", 0.05}});
  EXPECT_EQ(out.best_below_threshold.value().first, "ghost");  // unregistered names count here
  EXPECT_EQ(b.run({{"x", kNaN}}).best_below_threshold.value().first, "x");
  EXPECT_FALSE(b.run({}).best_below_threshold.has_value());
  b.adapter.config.similarity_threshold = 0.0;
  out = b.run(scores);
  EXPECT_EQ(result(out, "d").raw_similarity, 0.0);
  EXPECT_EQ(result(out, "d").final_score, 0.0);
  EXPECT_EQ(out.results.size(), 5u);
}

TEST(PipelineScoring, FinalScoreBlendsSimilarityKernelsAndBand) {
  PipelineBench b;
  for (const char* n : {"a", "b", "c", "d"}) b.add(n);
  b.agents.at("a").diameter = 1.5;
  b.adapter.config.similarity_threshold = 0.0;
  const PipelineOutput out = b.run({{"a", 0.5}, {"b", 1.0}, {"c", 1.0000000000000002}, {"d", 0.0}});
  const ScoredCandidate& ca = result(out, "a");
  EXPECT_EQ(ca.similarity, 0.5);
  EXPECT_EQ(ca.raw_similarity, 0.5);
  EXPECT_DOUBLE_EQ(ca.similarity_lower, 0.3775);
  EXPECT_DOUBLE_EQ(ca.similarity_upper, 0.6225);
  EXPECT_EQ(ca.diameter, 1.5);
  EXPECT_EQ(ca.feedback_factor, 0.0);
  EXPECT_EQ(ca.enzyme_score, out.evaluation.scores[0]);  // scores follow registry order
  EXPECT_EQ(ca.final_score, (0.5 + 0.5 * ca.enzyme_score) * 0.5);
  // Just above 1.0 the band's square root is NaN: the bounds fall back to [0, 1].
  const std::tuple<const char*, double, double> bands[] = {{"b", 1, 1}, {"c", 0, 1}, {"d", 0, 0}};
  for (const auto& [name, lower, upper] : bands) {
    EXPECT_EQ(result(out, name).similarity_lower, lower) << name;
    EXPECT_EQ(result(out, name).similarity_upper, upper) << name;
  }
}

TEST(PipelineScoring, FeedbackFactorFromRelevantRecordsOnly) {
  const std::string query = "translate legal contract";
  const MinHashSignature sig = compute_signature(query, LshConfig{});
  // Flips bytes from `from` on: from 32 keeps the first half (band keys shared, estimated
  // similarity 0.5), from 4 only band 0 (4/64, below the 0.1 threshold), from 0 nothing.
  const auto flipped = [&](std::size_t from) {
    MinHashSignature s = sig;
    for (std::size_t i = from; i < 64; ++i) s[i] ^= 0xFF;
    return s;
  };
  const MinHashSignature half = flipped(32), faint = flipped(4), unrelated = flipped(0);
  const std::pair<std::vector<FeedbackRecord>, double> cases[] = {
      {{}, 0.0},
      {{{sig, 1.0}}, 1.0},
      {{{sig, -1.0}}, -1.0},
      {{{sig, 1.0}, {sig, 1.0}, {sig, -1.0}}, 1.0 / 3.0},
      {{{half, 1.0}, {sig, -1.0}}, (0.5 - 1.0) / 1.5},
      {{{faint, 1.0}}, 0.0},
      {{{unrelated, -1.0}, {faint, -1.0}, {half, 1.0}}, 1.0},
  };
  for (const auto& [records, factor] : cases) {
    PipelineBench b;
    AgentRecord& a = b.add("a");
    for (const FeedbackRecord& r : records) a.feedback.insert(r);
    const PipelineOutput out = b.run({{"a", 0.6}}, 0.0, nullptr, query);
    ASSERT_EQ(out.results.size(), 1u);
    EXPECT_DOUBLE_EQ(out.results[0].feedback_factor, factor) << records.size();
    // A lone agent's enzyme score is 1.
    EXPECT_DOUBLE_EQ(out.results[0].final_score, (1.0 + 0.2 * factor) * 0.6);
  }
}

// Exact ties shuffle only the top group, drawing once; a near tie is drawn only with
// exploration, which always wins the draw at 1.
TEST(PipelineTies, ExactTiesShuffleOnlyTheTopGroupAndOverlapWidensOnlyWithExploration) {
  PipelineBench b;
  for (const char* n : {"l1", "l2", "l3", "t1", "t2", "hi", "lo", "far"}) b.add(n);
  const ScoreMap tied{{"t1", 0.9}, {"t2", 0.9}, {"l1", 0.5}, {"l2", 0.5}, {"l3", 0.5}};
  const ScoreMap near{{"hi", 0.51}, {"lo", 0.5}, {"far", 0.2}};
  std::set<Names> tops;
  std::set<std::string> firsts;
  const auto draws = [&](const ScoreMap& scores, double epsilon, Names& names) {
    b.reset_forwards();
    const std::uint64_t before = TIE_BREAK_COUNTER.load();
    names = names_of(b.run(scores, epsilon));
    return TIE_BREAK_COUNTER.load() - before;
  };
  for (int i = 0; i < 64; ++i) {
    Names names;
    EXPECT_EQ(draws(tied, 0.8, names), 1u);
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(Names(names.begin() + 2, names.end()), (Names{"l1", "l2", "l3"}));
    tops.insert(Names(names.begin(), names.begin() + 2));
    EXPECT_EQ(draws(near, 0.0, names), 0u);  // one exact tie, nothing to draw
    EXPECT_EQ(names, (Names{"hi", "lo", "far"}));
    EXPECT_EQ(draws(near, 1.0, names), 2u);
    EXPECT_EQ(names.back(), "far");
    firsts.insert(names[0]);
  }
  EXPECT_EQ(tops.size(), 2u);
  EXPECT_EQ(firsts, (std::set<std::string>{"hi", "lo"}));
}

TEST(PipelineTies, ShuffleUsesTheCounterAndQueryBytes) {
  PipelineBench b;
  for (const char* n : {"a", "b", "c"}) b.add(n);
  // Orders drawn from the counter and the query's bytes; any other shuffle differs somewhere.
  const std::pair<std::uint64_t, Names> cases[] = {
      {0, {"a", "b", "c"}}, {1, {"b", "a", "c"}},  {2, {"c", "a", "b"}},
      {6, {"a", "c", "b"}}, {41, {"c", "b", "a"}}, {0xFFFFFFFFFFFFFFFFull, {"a", "b", "c"}}};
  for (const auto& [start, expected] : cases) {
    b.reset_forwards();
    TIE_BREAK_COUNTER.store(start);
    const PipelineOutput out =
        b.run({{"a", 0.7}, {"b", 0.7}, {"c", 0.7}}, 0.0, nullptr, "find a translator");
    EXPECT_EQ(names_of(out), expected) << start;
    EXPECT_EQ(TIE_BREAK_COUNTER.load(), start + 1);
  }
}

TEST(PipelineRouting, OpenCircuitsAndFiltersNarrowOnlyTheCandidates) {
  PipelineBench b;
  AgentRecord& open = b.add("a-open");
  open.circuit.kind = CircuitState::Kind::Open;
  b.add("b");
  b.add("c");
  PipelineOutput out = b.run({{"a-open", 0.9}, {"b", 0.05}, {"c", 0.01}});
  EXPECT_TRUE(out.results.empty());
  EXPECT_EQ(out.best_below_threshold, std::make_pair(std::string("a-open"), 0.9));
  for (const KernelVote& vote : out.evaluation.votes) EXPECT_NE(vote.agent, open.name_hash);
  EXPECT_EQ(out.evaluation.votes.size(), 4u);
  // Fresh agents: every kernel prefers b (higher similarity, or first on ties).
  EXPECT_EQ(b.forwards("b"), 1u);
  EXPECT_EQ(b.forwards("c"), 0u);
  EXPECT_EQ(b.forwards("a-open"), 0u);
  EXPECT_EQ(b.enzyme.process_count(), 1u);
  // A filter nobody passes: no results, yet the kernels still route to b.
  FilterMap filters{{"protocol", FilterValue{FilterValue::Exact{"mcp"}}}};
  out = b.run({{"b", 0.9}, {"c", 0.8}}, 0.0, &filters);
  EXPECT_TRUE(out.results.empty());
  EXPECT_EQ(out.best_below_threshold->first, "b");
  EXPECT_EQ(b.forwards("b"), 2u);
  const FilterMap none;  // an empty filter map is no filter
  EXPECT_EQ(b.run({{"b", 0.9}, {"c", 0.8}}, 0.0, &none).results.size(), 2u);
}

TEST(PipelineRouting, SplitVoteForwardsEveryRoutedAgent) {
  PipelineBench b;
  b.add("a").sigma = 1.0;  // novelty prefers b
  AgentRecord& busy = b.add("b");
  busy.forwards_count = 5;                        // load balancing prefers a ...
  busy.last_activity += std::chrono::seconds(1);  // ... recency prefers b
  b.clock->advance(std::chrono::seconds(1));
  // capability prefers a: 2-2, routed in parallel to both.
  EXPECT_EQ(b.run({{"a", 0.9}, {"b", 0.2}}).results.size(), 2u);
  EXPECT_EQ(b.forwards("a"), 1u);
  EXPECT_EQ(b.forwards("b"), 6u);
}

TEST(PipelineText, SplitsLowerCasesExpandsScoresTheOriginalTextAndSurvivesAFailure) {
  PipelineBench b;
  AgentRecord& a = b.add("a");
  const std::string query = "  Translate\u2003LEGAL\t\u00dcBER ";
  a.feedback.insert({compute_signature(query, LshConfig{}), 1.0});
  b.scorer->set_fallback({{"a", 0.9}, {"a", 0.3}});  // the later pair wins
  PipelineOutput out = run_pipeline(b.ctx(), query, nullptr, b.expander, 0.0);
  EXPECT_EQ(b.scorer->calls.back(), "translate legal \u00fcber");
  ASSERT_EQ(out.results.size(), 1u);
  EXPECT_EQ(out.results[0].similarity, 0.3);
  EXPECT_EQ(out.results[0].feedback_factor, 1.0);  // feedback looked up under the text as given
  b.expander.replace({{"translate", "german", 5}, {"translate", "legal", 3}, {"other", "x", 9}},
                     10);
  run_pipeline(b.ctx(), query, nullptr, b.expander, 0.0);
  EXPECT_EQ(b.scorer->calls.back(), "translate legal \u00fcber german legal");
  b.scorer->fail_on("boom");
  auto sink = std::make_shared<log::CapturingSink>();
  log::ScopedSink scoped(sink);
  const std::uint64_t before = TIE_BREAK_COUNTER.load();
  const std::uint64_t forwards = b.forwards("a");
  out = run_pipeline(b.ctx(), "BOOM", nullptr, b.expander, 1.0);
  EXPECT_TRUE(out.results.empty());
  EXPECT_TRUE(out.evaluation.votes.empty());
  EXPECT_FALSE(out.best_below_threshold.has_value());
  EXPECT_EQ(b.enzyme.process_count(), 2u);
  EXPECT_EQ(b.forwards("a"), forwards);
  EXPECT_EQ(TIE_BREAK_COUNTER.load(), before);
  const auto events = sink->events_with("Scorer failed during query evaluation");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Error);
  EXPECT_EQ(events[0].target, "kova_discovery_native::network::pipeline");
  EXPECT_EQ(events[0].callsite, "event src/network/pipeline.rs:292");
  EXPECT_EQ(*events[0].field("error"), "no answer for boom");
}

}  // namespace
}  // namespace kova
