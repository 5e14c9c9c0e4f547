#include "core/kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/name_hash.hpp"
#include "network/pipeline.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using std::chrono::seconds;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const MonoTime kNow{5'000'000'000'000};
using test_support::by_hash;

// The committee worked out the slow way, as its definition reads: every kernel ranks every
// agent with a stable sort, highest first and NaN last, votes for its first and contributes
// each score relative to its first's when that is positive.
KernelEvaluation reference_evaluation(const SLNEnzyme& enzyme, std::span<const KernelInput> in,
                                      std::span<const NameHash> hashes) {
  KernelEvaluation ev;
  const std::size_t n = in.size();
  if (n == 0) return ev;
  ev.scores.assign(n, 0.0);
  for (const auto& kernel : enzyme.kernels()) {
    std::vector<double> s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = kernel->score(in[i], kNow);
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return !std::isnan(s[a]) && (std::isnan(s[b]) || s[a] > s[b]);
    });
    ev.votes.push_back({kernel->kernel_type(), hashes[order[0]]});
    const double best = s[order[0]];
    if (best > 0.0) {
      for (std::size_t i = 0; i < n; ++i) ev.scores[i] += s[i] / best;
    }
  }
  for (double& x : ev.scores) x /= static_cast<double>(enzyme.kernels().size());
  return ev;
}

TEST(KernelScores, EachKernelFollowsItsFormula) {
  // Similarity, diameter, tau, sigma, forwards, last activity.
  const KernelInput agent{0.5, 2.0, 0.5, 1.0, 1, kNow};
  EXPECT_DOUBLE_EQ(CapabilityKernel().score(agent, kNow), 0.5 * 2.0 * 0.75);
  EXPECT_DOUBLE_EQ(CapabilityKernel().score({0.5, 2.0, 3.0, 1.0, 1, kNow}, kNow), 1.0);  // tau <= 1
  EXPECT_EQ(CapabilityKernel().score({0.0, 2.0, 0.5, 1.0, 1, kNow}, kNow), 0.0);
  EXPECT_EQ(NoveltyKernel().score(agent, kNow), 0.5);
  EXPECT_EQ(NoveltyKernel().score({0.5, 2.0, 0.5, 0.0, 1, kNow}, kNow), 1.0);
  EXPECT_EQ(LoadBalancingKernel().score(agent, kNow), 1.0);  // diameter 2 over 1 + 1 forwards
  EXPECT_EQ(LoadBalancingKernel().score({0.5, 2.0, 0.5, 1.0, 3, kNow}, kNow), 0.5);
  const TemporalRecencyKernel recency;
  EXPECT_EQ(recency.score(agent, kNow), 1.0);
  EXPECT_NEAR(recency.score(agent, kNow + seconds(60)), 0.5, 0.001);
  EXPECT_DOUBLE_EQ(recency.score(agent, kNow + std::chrono::milliseconds(86'600)), std::exp(-1.0));
  EXPECT_LT(recency.score(agent, kNow + seconds(3600)), 1e-15);
  EXPECT_EQ(recency.score(agent, kNow - seconds(10)), 1.0);  // never negative elapsed time
}

// Votes are written one digit per kernel, in kernel order: the voted agent's place among
// four registered agents sorted by ascending name hash.
struct Votes {
  AgentTable table;
  std::vector<std::string> sorted = by_hash({"a", "b", "c", "d"});
  Votes() {
    for (const auto& n : sorted)
      table.try_emplace(n).first->second.name_hash = compute_name_hash(n);
  }
  std::vector<std::string> names(std::string_view digits) const {
    std::vector<std::string> out;
    for (char d : digits) out.push_back(sorted[static_cast<std::size_t>(d - '0')]);
    return out;
  }
  KernelEvaluation of(std::string_view digits) const {
    constexpr KernelType kOrder[] = {KernelType::Capability, KernelType::LoadBalancing,
                                     KernelType::Novelty, KernelType::TemporalRecency};
    KernelEvaluation ev;
    for (const auto& n : names(digits))
      ev.votes.push_back({kOrder[ev.votes.size()], compute_name_hash(n)});
    return ev;
  }
};

TEST(EnzymeProcess, QuorumAndSplitLimitDecideTheRoute) {
  using K = RoutingDecision::Kind;
  using Q = QuorumRule::Kind;
  const QuorumRule majority, all{Q::AllKernels};
  auto fraction = [](double f) { return QuorumRule{Q::MinimumFraction, f}; };
  // A top agent without quorum splits to the voted agents in ascending hash order, at most
  // `split` of them; equal counts make the greater hash the top.
  const std::tuple<const char*, QuorumRule, std::size_t, K, const char*> rows[] = {
      {"", majority, 3, K::NoRoute, ""},
      {"0000", majority, 3, K::Single, "0"},
      {"0000", all, 3, K::Single, "0"},
      {"1110", majority, 3, K::Single, "1"},
      {"1110", fraction(0.75), 3, K::Single, "1"},
      {"1110", all, 3, K::Parallel, "01"},
      {"1110", fraction(0.8), 3, K::Parallel, "01"},
      {"1110", all, 1, K::Single, "0"},
      {"1110", fraction(0.8), 0, K::Parallel, ""},
      {"0110", majority, 3, K::Parallel, "01"},
      {"0110", fraction(0.5), 3, K::Single, "1"},
      {"0110", fraction(0.51), 3, K::Parallel, "01"},
      {"1021", majority, 3, K::Parallel, "012"},
      {"0123", majority, 3, K::Parallel, "012"},
      {"0123", majority, 2, K::Parallel, "01"},
      {"0123", majority, 1, K::Single, "0"},
      {"0123", majority, 10, K::Parallel, "0123"},
  };
  const Votes v;
  for (const auto& [votes, rule, split, kind, routed] : rows) {
    SCOPED_TRACE(std::string(votes) + " split " + std::to_string(split));
    SLNEnzyme enzyme(split, rule);
    enzyme.process_votes(v.of(votes).votes);
    const RoutingDecision d = enzyme.process_votes(v.of(votes).votes);
    EXPECT_EQ(d.kind, kind);
    std::vector<NameHash> want;
    for (const auto& n : v.names(routed)) want.push_back(compute_name_hash(n));
    EXPECT_EQ(d.agents, want);
    EXPECT_EQ(d.process_count, 2u);
    EXPECT_EQ(enzyme.process_count(), 2u);
  }
}

TEST(ConfidenceDerivation, AgreementLevels) {
  using T = KernelType;
  // Fewer than four votes count against the votes cast; on 2-2 the greater hash is the
  // majority agent and the first vote for the other one dissents.
  const std::tuple<const char*, std::size_t, const char*, T, const char*, std::size_t> rows[] = {
      {"0010", 3, "majority", T::Novelty, "", 1},
      {"0110", 3, "majority", T::Capability, "", 1},
      {"1001", 3, "majority", T::LoadBalancing, "", 1},
      {"2010", 3, "majority", T::Capability, "", 1},
      {"01", 3, "majority", T::Capability, "", 1},
      {"0123", 3, "split", T::Capability, "012", 3},
      {"0123", 10, "split", T::Capability, "012", 4},
      {"0123", 0, "split", T::Capability, "012", 0},
  };
  const Votes v;
  for (const auto& [votes, split, kind, dissent, alternatives, parallelism] : rows) {
    SCOPED_TRACE(std::string(votes) + " split " + std::to_string(split));
    const auto [confidence, p] = derive_confidence(v.of(votes), v.table, SLNEnzyme(split));
    EXPECT_STREQ(confidence.text(), kind);
    EXPECT_EQ(confidence.dissenting_kernel, dissent);
    EXPECT_EQ(confidence.alternative_agents, v.names(alternatives));
    EXPECT_EQ(p, parallelism);
  }
  // A voted hash no registered agent carries is left out of the names but still counts.
  Votes partial;
  partial.table.erase(partial.sorted[1]);
  const auto [gap, p] = derive_confidence(partial.of("0123"), partial.table, SLNEnzyme(3));
  EXPECT_EQ(gap.alternative_agents, partial.names("02"));
  EXPECT_EQ(p, 3u);
}

// The routing pass and the pipeline's evaluation skip work the full evaluation does (most
// exponentials, most blends); their votes and scores must still be the full evaluation's.
// Activity times cluster within nanoseconds, and some agents are old enough for their
// recency score to reach zero, where many agents tie.
TEST(KernelShortcuts, AgreeWithTheFullEvaluation) {
  SLNEnzyme enzyme;
  const std::pair<KernelType, const char*> kernels[] = {
      {KernelType::Capability, "capability_matching"},
      {KernelType::LoadBalancing, "load_balancing"},
      {KernelType::Novelty, "novelty_seeking"},
      {KernelType::TemporalRecency, "temporal_recency"}};
  ASSERT_EQ(enzyme.kernels().size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(enzyme.kernels()[k]->kernel_type(), kernels[k].first);
    EXPECT_EQ(kernel_type_name(kernels[k].first), kernels[k].second);
  }
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> real(0.0, 2.5);
  auto draw = [&](unsigned n) { return static_cast<std::int64_t>(rng() % n); };
  std::vector<NameHash> hashes;
  for (int i = 0; i < 40; ++i) hashes.push_back(compute_name_hash("agent" + std::to_string(i)));
  for (int round = 0; round < 400; ++round) {
    // Coarse values make ties; fine ones, with NaN and huge counts, test the arithmetic.
    const bool ancient = round % 3 == 0, fine = round % 2 == 1;
    std::vector<KernelInput> inputs(rng() % 41);
    std::vector<std::uint32_t> wanted;
    for (KernelInput& in : inputs) {
      const MonoTime at =
          kNow - std::chrono::nanoseconds(ancient ? 70'000'000'000'000 + draw(1000) * 1'000'000'000
                                                  : draw(4) * 1'000 + draw(3) * 1'000'000'000);
      const double similarity = draw(7) ? draw(5) * 0.25 : kNaN;
      if (fine) {
        const double diameter = real(rng), tau = draw(6) ? real(rng) : kNaN, sigma = real(rng);
        in = {similarity, diameter, tau, sigma, draw(4) ? rng() % 1000 : rng(), at};
      } else {
        in = {similarity, draw(4) * 0.5, draw(5) * 0.5, draw(3) * 1.0, rng() % 3, at};
      }
      if (draw(2) == 0) wanted.push_back(static_cast<std::uint32_t>(&in - inputs.data()));
    }
    const KernelEvaluation full = reference_evaluation(enzyme, inputs, hashes);
    const auto hash_of = [&](std::size_t i) { return hashes[i]; };
    const KernelEvaluation part = enzyme.evaluate_selected(inputs, hash_of, wanted, kNow);
    SCOPED_TRACE(round);
    ASSERT_EQ(part.votes.size(), full.votes.size());
    for (std::size_t v = 0; v < full.votes.size(); ++v) {
      EXPECT_EQ(part.votes[v].kernel, full.votes[v].kernel);
      EXPECT_EQ(part.votes[v].agent, full.votes[v].agent) << "vote " << v;
      EXPECT_EQ(hashes[part.vote_positions[v]], full.votes[v].agent);
    }
    ASSERT_EQ(part.scores.size(), wanted.size());
    for (std::size_t k = 0; k < wanted.size(); ++k) {
      const double expected = full.scores[wanted[k]];
      EXPECT_TRUE(part.scores[k] == expected ||
                  (std::isnan(part.scores[k]) && std::isnan(expected)));
    }
  }
}

}  // namespace
}  // namespace kova
