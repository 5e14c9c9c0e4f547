#include "network/pipeline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/lsh.hpp"
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

  AgentRecord& add(const std::string& name, Metadata metadata = {}) {
    AgentRecord& r = agents.try_emplace(name).first->second;
    r.name_hash = compute_name_hash(name);
    r.last_activity = clock->monotonic_now();
    r.metadata = std::move(metadata);
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
  // Routing adds forwards, which sway the load-balancing kernel; repeated runs that should see
  // the same state clear them first.
  void reset_forwards() {
    for (auto& entry : agents) entry.second.forwards_count = 0;
  }
};

std::vector<std::string> names_of(const PipelineOutput& out) {
  std::vector<std::string> names;
  for (const auto& c : out.results) names.push_back(c.agent_name);
  return names;
}

const ScoredCandidate& result(const PipelineOutput& out, const std::string& name) {
  for (const auto& c : out.results) {
    if (c.agent_name == name) return c;
  }
  throw std::runtime_error("no result " + name);
}

TEST(PipelineThreshold, EqualAndNaNPassAbsentCountsAsZero) {
  PipelineBench b;
  for (const char* n : {"a", "b", "c", "d", "e"}) b.add(n);
  const ScoreMap scores{{"a", 0.1}, {"b", 0.09999999999}, {"c", kNaN}, {"e", 0.5}, {"ghost", 0.9}};
  PipelineOutput out = b.run(scores);
  EXPECT_EQ(names_of(out), (std::vector<std::string>{"e", "a", "c"}));  // NaN sorts last
  EXPECT_FALSE(out.best_below_threshold.has_value());
  EXPECT_TRUE(std::isnan(result(out, "c").final_score));
  EXPECT_EQ(out.evaluation.votes.size(), 4u);
  EXPECT_EQ(out.evaluation.scores.size(), out.results.size());  // blended for candidates only

  b.adapter.config.similarity_threshold = 0.0;
  out = b.run(scores);
  const ScoredCandidate& d = result(out, "d");
  EXPECT_EQ(d.raw_similarity, 0.0);
  EXPECT_EQ(d.final_score, 0.0);
  EXPECT_EQ(out.results.size(), 5u);
}

TEST(PipelineScoring, FinalScoreBlendsSimilarityKernelsAndBand) {
  PipelineBench b;
  AgentRecord& a = b.add("a");
  a.diameter = 1.5;
  b.add("b");
  b.add("c");
  b.add("d");
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

  const ScoredCandidate& cb = result(out, "b");
  EXPECT_EQ(cb.similarity_lower, 1.0);
  EXPECT_EQ(cb.similarity_upper, 1.0);
  const ScoredCandidate& cd = result(out, "d");
  EXPECT_EQ(cd.similarity_lower, 0.0);
  EXPECT_EQ(cd.similarity_upper, 0.0);
  // Just above 1.0 the band's square root is NaN: the bounds fall back to [0, 1].
  const ScoredCandidate& cc = result(out, "c");
  EXPECT_EQ(cc.similarity_lower, 0.0);
  EXPECT_EQ(cc.similarity_upper, 1.0);
}

TEST(PipelineScoring, FeedbackFactorFromRelevantRecordsOnly) {
  const std::string query = "translate legal contract";
  const MinHashSignature sig = compute_signature(query, LshConfig{});
  // Same first half (shares band keys), every other byte different: estimated similarity 0.5.
  MinHashSignature half = sig;
  for (std::size_t i = 32; i < 64; ++i) half[i] ^= 0xFF;
  // Only band 0 shared: estimated similarity 4/64, below the 0.1 threshold.
  MinHashSignature faint = sig;
  for (std::size_t i = 4; i < 64; ++i) faint[i] ^= 0xFF;
  MinHashSignature unrelated = sig;
  for (auto& byte : unrelated) byte ^= 0xFF;

  struct Case {
    std::vector<FeedbackRecord> records;
    double factor;
  };
  const Case cases[] = {
      {{}, 0.0},
      {{{sig, 1.0}}, 1.0},
      {{{sig, -1.0}}, -1.0},
      {{{sig, 1.0}, {sig, 1.0}, {sig, -1.0}}, 1.0 / 3.0},
      {{{half, 1.0}, {sig, -1.0}}, (0.5 - 1.0) / 1.5},
      {{{faint, 1.0}}, 0.0},
      {{{unrelated, -1.0}, {faint, -1.0}, {half, 1.0}}, 1.0},
  };
  for (const Case& c : cases) {
    PipelineBench b;
    AgentRecord& a = b.add("a");
    for (const FeedbackRecord& r : c.records) a.feedback.insert(r);
    const PipelineOutput out = b.run({{"a", 0.6}}, 0.0, nullptr, query);
    ASSERT_EQ(out.results.size(), 1u);
    const ScoredCandidate& r = out.results[0];
    EXPECT_DOUBLE_EQ(r.feedback_factor, c.factor) << c.records.size();
    EXPECT_DOUBLE_EQ(r.final_score,
                     (1.0 + 0.2 * c.factor) * 0.6);  // a lone agent's enzyme score is 1
  }
}

TEST(PipelineTies, ExactTiesShuffleOnlyTheTopGroup) {
  PipelineBench b;
  for (const char* n : {"l1", "l2", "l3", "t1", "t2"}) b.add(n);
  const ScoreMap scores{{"t1", 0.9}, {"t2", 0.9}, {"l1", 0.5}, {"l2", 0.5}, {"l3", 0.5}};
  std::set<std::vector<std::string>> seen;
  for (int i = 0; i < 64; ++i) {
    b.reset_forwards();
    const std::uint64_t before = TIE_BREAK_COUNTER.load();
    const PipelineOutput out = b.run(scores, 0.8);
    EXPECT_EQ(TIE_BREAK_COUNTER.load() - before, 1u);  // only the shuffle draws
    const auto names = names_of(out);
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(names.begin() + 2, names.end()),
              (std::vector<std::string>{"l1", "l2", "l3"}));
    seen.insert(std::vector<std::string>(names.begin(), names.begin() + 2));
  }
  EXPECT_EQ(seen.size(), 2u);
}

TEST(PipelineTies, ShuffleUsesTheCounterAndQueryBytes) {
  PipelineBench b;
  for (const char* n : {"a", "b", "c"}) b.add(n);
  // Orders drawn from the counter and the query's bytes; any other shuffle differs somewhere.
  const std::pair<std::uint64_t, std::vector<std::string>> cases[] = {
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

TEST(PipelineTies, OverlapWidensOnlyWithExploration) {
  PipelineBench b;
  b.add("hi");
  b.add("lo");
  b.add("far");
  const ScoreMap scores{{"hi", 0.51}, {"lo", 0.5}, {"far", 0.2}};
  std::set<std::string> firsts;
  for (int i = 0; i < 64; ++i) {
    b.reset_forwards();
    const std::uint64_t before = TIE_BREAK_COUNTER.load();
    const PipelineOutput calm = b.run(scores, 0.0);
    EXPECT_EQ(TIE_BREAK_COUNTER.load(), before);  // one exact tie, nothing to draw
    EXPECT_EQ(names_of(calm), (std::vector<std::string>{"hi", "lo", "far"}));

    b.reset_forwards();
    const std::uint64_t again = TIE_BREAK_COUNTER.load();
    const PipelineOutput eager = b.run(scores, 1.0);  // exploration always wins the draw
    EXPECT_EQ(TIE_BREAK_COUNTER.load() - again, 2u);
    EXPECT_EQ(eager.results.back().agent_name, "far");
    firsts.insert(eager.results[0].agent_name);
  }
  EXPECT_EQ(firsts, (std::set<std::string>{"hi", "lo"}));
}

TEST(PipelineRouting, OpenCircuitsAndFiltersNarrowOnlyTheCandidates) {
  PipelineBench b;
  AgentRecord& open = b.add("a-open");
  open.circuit.kind = CircuitState::Kind::Open;
  b.add("b");
  b.add("c");
  const ScoreMap scores{{"a-open", 0.9}, {"b", 0.05}, {"c", 0.01}};

  PipelineOutput out = b.run(scores);
  EXPECT_TRUE(out.results.empty());
  ASSERT_TRUE(out.best_below_threshold.has_value());
  EXPECT_EQ(out.best_below_threshold->first, "a-open");
  EXPECT_EQ(out.best_below_threshold->second, 0.9);
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

  // An empty filter map is no filter.
  const FilterMap none;
  EXPECT_EQ(b.run({{"b", 0.9}, {"c", 0.8}}, 0.0, &none).results.size(), 2u);
}

TEST(PipelineRouting, SplitVoteForwardsEveryRoutedAgent) {
  PipelineBench b;
  b.add("a");
  AgentRecord& busy = b.add("b");
  busy.forwards_count = 5;                        // load balancing prefers a ...
  busy.last_activity += std::chrono::seconds(1);  // ... recency prefers b
  b.clock->advance(std::chrono::seconds(1));
  AgentRecord& a = b.agents.at("a");
  a.sigma = 1.0;  // novelty prefers b
  // capability prefers a: 2-2, routed in parallel to both.
  const PipelineOutput out = b.run({{"a", 0.9}, {"b", 0.2}});
  EXPECT_EQ(b.forwards("a"), 1u);
  EXPECT_EQ(b.forwards("b"), 6u);
  EXPECT_EQ(out.results.size(), 2u);
}

TEST(PipelineBestBelow, HighestReturnedNameWhenNothingSurvives) {
  PipelineBench b;
  // Empty registry: nothing at all, not even the best name.
  PipelineOutput out = b.run({{"x", 0.05}});
  EXPECT_FALSE(out.best_below_threshold.has_value());
  EXPECT_TRUE(out.evaluation.votes.empty());
  EXPECT_EQ(b.enzyme.process_count(), 0u);

  b.add("a");
  out = b.run({{"x", kNaN}, {"ghost", 0.07}, {"a", 0.05}});
  ASSERT_TRUE(out.best_below_threshold.has_value());
  EXPECT_EQ(out.best_below_threshold->first, "ghost");  // unregistered names count here
  out = b.run({{"x", kNaN}});
  EXPECT_EQ(out.best_below_threshold->first, "x");
  out = b.run({});
  EXPECT_FALSE(out.best_below_threshold.has_value());
}

TEST(PipelineText, SplitsLowerCasesExpandsAndScoresTheOriginalText) {
  PipelineBench b;
  AgentRecord& a = b.add("a");
  const std::string query =
      "  Translate\xE2\x80\x83LEGAL\t\xC3\x9C"
      "BER ";  // EM SPACE, U+00DC
  a.feedback.insert({compute_signature(query, LshConfig{}), 1.0});
  b.scorer->set_fallback({{"a", 0.9}, {"a", 0.3}});  // the later pair wins

  PipelineOutput out = run_pipeline(b.ctx(), query, nullptr, b.expander, 0.0);
  EXPECT_EQ(b.scorer->calls.back(),
            "translate legal \xC3\xBC"
            "ber");
  ASSERT_EQ(out.results.size(), 1u);
  EXPECT_EQ(out.results[0].similarity, 0.3);
  EXPECT_EQ(out.results[0].feedback_factor, 1.0);  // feedback looked up under the text as given

  b.expander.replace({{"translate", "german", 5}, {"translate", "legal", 3}, {"other", "x", 9}},
                     10);
  run_pipeline(b.ctx(), query, nullptr, b.expander, 0.0);
  EXPECT_EQ(b.scorer->calls.back(),
            "translate legal \xC3\xBC"
            "ber german legal");
}

TEST(PipelineText, ScorerFailureEndsInAnEmptyOutput) {
  PipelineBench b;
  b.add("a");
  b.scorer->fail_on("boom");
  auto sink = std::make_shared<log::CapturingSink>();
  log::ScopedSink scoped(sink);
  const std::uint64_t before = TIE_BREAK_COUNTER.load();
  const PipelineOutput out = run_pipeline(b.ctx(), "BOOM", nullptr, b.expander, 1.0);
  EXPECT_TRUE(out.results.empty());
  EXPECT_TRUE(out.evaluation.votes.empty());
  EXPECT_FALSE(out.best_below_threshold.has_value());
  EXPECT_EQ(b.enzyme.process_count(), 0u);
  EXPECT_EQ(b.forwards("a"), 0u);
  EXPECT_EQ(TIE_BREAK_COUNTER.load(), before);
  const auto events = sink->events_with("Scorer failed during query evaluation");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, log::Level::Error);
  EXPECT_EQ(events[0].target, "kova_discovery_native::network::pipeline");
  ASSERT_NE(events[0].field("error"), nullptr);
  EXPECT_EQ(*events[0].field("error"), "no answer for boom");
}

}  // namespace
}  // namespace kova
