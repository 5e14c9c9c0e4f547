#include "core/kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/name_hash.hpp"
#include "network/agent_record.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using std::chrono::seconds;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const MonoTime kNow{5'000'000'000'000};
using test_support::by_hash;

AgentRecord& add_agent(AgentTable& table, const std::string& name) {
  AgentRecord& r = table.try_emplace(name).first->second;
  r.name_hash = compute_name_hash(name);
  r.last_activity = kNow;
  return r;
}

std::vector<NameHash> hashes(const std::vector<std::string>& names) {
  std::vector<NameHash> out;
  for (const auto& n : names) out.push_back(compute_name_hash(n));
  return out;
}

// An eligible agent as these tests arrange them: its record and its similarity.
struct Eligible {
  const AgentRecord* record;
  double similarity;
};

KernelInput input_of(const Eligible& e) {
  const AgentRecord& r = *e.record;
  return {e.similarity, r.diameter, r.tau, r.sigma, r.forwards(), r.last_activity};
}

KernelEvaluation evaluate(const SLNEnzyme& enzyme, std::span<const Eligible> agents) {
  std::vector<KernelInput> inputs;
  std::vector<std::uint32_t> wanted;
  for (const Eligible& a : agents) {
    wanted.push_back(static_cast<std::uint32_t>(inputs.size()));
    inputs.push_back(input_of(a));
  }
  const auto hash_of = [&](std::size_t i) { return agents[i].record->name_hash; };
  return enzyme.evaluate_selected(inputs, hash_of, wanted, kNow);
}

RoutingDecision route(SLNEnzyme& enzyme, std::span<const Eligible> agents) {
  return enzyme.process_votes(evaluate(enzyme, agents).votes);
}
RoutingDecision route(SLNEnzyme&& enzyme, std::span<const Eligible> agents) {
  return route(enzyme, agents);
}

// The committee worked out the slow way, as its definition reads: every kernel ranks every
// agent with a stable sort, highest first and NaN last, votes for its first and contributes
// each score relative to its first's when that is positive.
KernelEvaluation reference_evaluation(const SLNEnzyme& enzyme, std::span<const Eligible> agents) {
  KernelEvaluation ev;
  const std::size_t n = agents.size();
  if (n == 0) return ev;
  ev.scores.assign(n, 0.0);
  for (const auto& kernel : enzyme.kernels()) {
    std::vector<double> s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = kernel->score(input_of(agents[i]), kNow);
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return !std::isnan(s[a]) && (std::isnan(s[b]) || s[a] > s[b]);
    });
    ev.votes.push_back({kernel->kernel_type(), agents[order[0]].record->name_hash});
    const double best = s[order[0]];
    if (best > 0.0) {
      for (std::size_t i = 0; i < n; ++i) ev.scores[i] += s[i] / best;
    }
  }
  for (double& x : ev.scores) x /= static_cast<double>(enzyme.kernels().size());
  return ev;
}

// Agents arranged so that each kernel's favourite is the named agent: capability via the
// similarity, load balancing via the forwards, novelty via sigma, recency via last activity.
struct Committee {
  AgentTable table;
  std::vector<Eligible> eligible;

  Committee(const std::vector<std::string>& names, const std::string& capability,
            const std::string& load, const std::string& novelty, const std::string& recency) {
    for (const auto& name : names) {
      AgentRecord& r = add_agent(table, name);
      r.forwards_count = name == load ? 0 : 1;
      r.sigma = name == novelty ? 0.0 : 1.0;
      r.last_activity = name == recency ? kNow : kNow - seconds(100);
    }
    for (const auto& [name, record] : table)
      eligible.push_back({&record, name == capability ? 1.0 : 0.1});
  }
};

TEST(KernelScores, EachKernelFollowsItsFormula) {
  AgentTable table;
  AgentRecord& r = add_agent(table, "a");
  r.diameter = 2.0;
  r.tau = 0.5;
  r.sigma = 1.0;
  r.forwards_count = 1;
  Eligible eligible{&r, 0.5};
  const auto agent = [&] { return input_of(eligible); };

  EXPECT_DOUBLE_EQ(CapabilityKernel().score(agent(), kNow), 0.5 * 2.0 * 0.75);
  r.tau = 3.0;  // tau counts at most 1
  EXPECT_DOUBLE_EQ(CapabilityKernel().score(agent(), kNow), 1.0);
  EXPECT_EQ(CapabilityKernel().score(input_of({&r, 0.0}), kNow), 0.0);

  EXPECT_EQ(NoveltyKernel().score(agent(), kNow), 0.5);
  r.sigma = 0.0;
  EXPECT_EQ(NoveltyKernel().score(agent(), kNow), 1.0);

  EXPECT_EQ(LoadBalancingKernel().score(agent(), kNow), 1.0);  // diameter 2 over 1 + 1 forwards
  r.forwards_count = 3;
  EXPECT_EQ(LoadBalancingKernel().score(agent(), kNow), 0.5);

  const TemporalRecencyKernel recency;
  EXPECT_EQ(recency.score(agent(), kNow), 1.0);
  EXPECT_NEAR(recency.score(agent(), kNow + seconds(60)), 0.5, 0.001);
  EXPECT_DOUBLE_EQ(recency.score(agent(), kNow + std::chrono::milliseconds(86'600)),
                   std::exp(-1.0));
  EXPECT_LT(recency.score(agent(), kNow + seconds(3600)), 1e-15);
  EXPECT_EQ(recency.score(agent(), kNow - seconds(10)), 1.0);  // never negative elapsed time
}

TEST(EnzymeProcess, UnanimousVoteRoutesToOneAgentUnderEveryRule) {
  Committee c({"a", "b"}, "a", "a", "a", "a");
  const QuorumRule rules[] = {
      {}, {QuorumRule::Kind::AllKernels}, {QuorumRule::Kind::MinimumFraction, 1.0}};
  for (const QuorumRule& rule : rules) {
    SLNEnzyme enzyme(3, rule);
    const RoutingDecision d = route(enzyme, c.eligible);
    EXPECT_EQ(d.kind, RoutingDecision::Kind::Single);
    EXPECT_EQ(d.agents, hashes({"a"}));
    EXPECT_EQ(d.process_count, 1u);
  }
}

TEST(EnzymeProcess, SplitVotesUnderEachQuorumAndSplitLimit) {
  using K = RoutingDecision::Kind;
  const auto ab = by_hash({"a", "b"});
  // 3-1: a strict majority routes to the top agent alone; all-kernels does not.
  Committee three_one({"a", "b"}, "a", "a", "a", "b");
  EXPECT_EQ(route(SLNEnzyme(3), three_one.eligible).agents, hashes({"a"}));
  EXPECT_EQ(
      route(SLNEnzyme(3, {QuorumRule::Kind::MinimumFraction, 0.75}), three_one.eligible).agents,
      hashes({"a"}));
  for (const QuorumRule rule : {QuorumRule{QuorumRule::Kind::AllKernels},
                                QuorumRule{QuorumRule::Kind::MinimumFraction, 0.8}}) {
    SLNEnzyme split3(3, rule), split1(1, rule), split0(0, rule);
    RoutingDecision d = route(split3, three_one.eligible);
    EXPECT_EQ(d.kind, K::Parallel);
    EXPECT_EQ(d.agents, hashes(ab));
    d = route(split1, three_one.eligible);
    EXPECT_EQ(d.kind, K::Single);
    EXPECT_EQ(d.agents, hashes({ab[0]}));
    d = route(split0, three_one.eligible);
    EXPECT_EQ(d.kind, K::Parallel);
    EXPECT_TRUE(d.agents.empty());
  }

  // 2-2 is not a strict majority of four kernels: both in ascending hash order.
  Committee two_two({"a", "b"}, "a", "b", "a", "b");
  const RoutingDecision tied = route(SLNEnzyme(3), two_two.eligible);
  EXPECT_EQ(tied.kind, K::Parallel);
  EXPECT_EQ(tied.agents, hashes(ab));
  EXPECT_EQ(route(SLNEnzyme(3, {QuorumRule::Kind::MinimumFraction, 0.5}), two_two.eligible).agents,
            hashes({ab[1]}));  // equal counts: the greater hash is the top

  // 1-1-1-1: the three smallest hashes; two with max_split 2; one with max_split 1.
  const auto abcd = by_hash({"a", "b", "c", "d"});
  Committee spread({"a", "b", "c", "d"}, "a", "b", "c", "d");
  EXPECT_EQ(route(SLNEnzyme(3), spread.eligible).agents, hashes({abcd[0], abcd[1], abcd[2]}));
  EXPECT_EQ(route(SLNEnzyme(2), spread.eligible).agents, hashes({abcd[0], abcd[1]}));
  const RoutingDecision single = route(SLNEnzyme(1), spread.eligible);
  EXPECT_EQ(single.kind, K::Single);
  EXPECT_EQ(single.agents, hashes({abcd[0]}));
  EXPECT_EQ(route(SLNEnzyme(10), spread.eligible).agents, hashes(abcd));
}

TEST(EnzymeProcess, CountsEveryCallAndAgreesWithEvaluationVotes) {
  SLNEnzyme enzyme;
  RoutingDecision d = route(enzyme, {});
  EXPECT_EQ(d.kind, RoutingDecision::Kind::NoRoute);
  EXPECT_EQ(d.process_count, 1u);

  Committee c({"a", "b", "c"}, "b", "c", "b", "a");
  const RoutingDecision full = route(enzyme, c.eligible);
  const RoutingDecision from_votes = enzyme.process_votes(evaluate(enzyme, c.eligible).votes);
  EXPECT_EQ(full.process_count, 2u);
  EXPECT_EQ(from_votes.process_count, 3u);
  EXPECT_EQ(enzyme.process_count(), 3u);
  EXPECT_EQ(full.kind, from_votes.kind);
  EXPECT_EQ(full.agents, from_votes.agents);
  EXPECT_EQ(full.agents, hashes(by_hash({"a", "b", "c"})));  // 2-1-1 splits three ways
}

TEST(QuorumRules, Thresholds) {
  EXPECT_FALSE(QuorumRule{}.holds(2, 4));
  EXPECT_TRUE(QuorumRule{}.holds(3, 4));
  EXPECT_FALSE(QuorumRule{QuorumRule::Kind::AllKernels}.holds(3, 4));
  EXPECT_TRUE(QuorumRule{QuorumRule::Kind::AllKernels}.holds(4, 4));
  EXPECT_TRUE((QuorumRule{QuorumRule::Kind::MinimumFraction, 0.5}.holds(2, 4)));
  EXPECT_FALSE((QuorumRule{QuorumRule::Kind::MinimumFraction, 0.51}.holds(2, 4)));
  EXPECT_EQ(kernel_type_name(KernelType::Capability), "capability_matching");
  EXPECT_EQ(kernel_type_name(KernelType::Novelty), "novelty_seeking");
  EXPECT_EQ(kernel_type_name(KernelType::LoadBalancing), "load_balancing");
  EXPECT_EQ(kernel_type_name(KernelType::TemporalRecency), "temporal_recency");
}

// The routing pass and the pipeline's evaluation skip work the full evaluation does (most
// exponentials, most blends); their votes and scores must still be the full evaluation's.
// Activity times cluster within nanoseconds, and some agents are old enough for their
// recency score to reach zero, where many agents tie.
TEST(KernelShortcuts, AgreeWithTheFullEvaluation) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 300; ++round) {
    AgentTable table;
    const int n = static_cast<int>(rng() % 41);
    const bool ancient = round % 3 == 0;
    // Coarse values make ties; fine ones, with NaN and huge counts, test the arithmetic.
    const bool fine = round % 2 == 1;
    std::uniform_real_distribution<double> real(0.0, 2.5);
    for (int i = 0; i < n; ++i) {
      AgentRecord& r = add_agent(table, "agent" + std::to_string(i));
      if (fine) {
        r.diameter = real(rng);
        r.tau = rng() % 6 == 0 ? kNaN : real(rng);
        r.sigma = real(rng);
        r.forwards_count = rng() % 4 == 0 ? rng() : rng() % 1000;
      } else {
        r.diameter = static_cast<double>(rng() % 4) / 2.0;
        r.tau = static_cast<double>(rng() % 5) / 2.0;
        r.sigma = static_cast<double>(rng() % 3);
        r.forwards_count = rng() % 3;
      }
      const std::int64_t age_ns =
          ancient ? 70'000'000'000'000 + static_cast<std::int64_t>(rng() % 1000) * 1'000'000'000
                  : static_cast<std::int64_t>(rng() % 4) * 1'000 +
                        static_cast<std::int64_t>(rng() % 3) * 1'000'000'000;
      r.last_activity = kNow - std::chrono::nanoseconds(age_ns);
    }
    std::vector<Eligible> eligible;
    std::vector<KernelInput> inputs;
    std::vector<std::uint32_t> wanted;
    for (const auto& [name, record] : table) {
      const double sim = rng() % 7 == 0 ? kNaN : static_cast<double>(rng() % 5) / 4.0;
      eligible.push_back({&record, sim});
      inputs.push_back(input_of(eligible.back()));
      if (rng() % 2 == 0) wanted.push_back(static_cast<std::uint32_t>(inputs.size() - 1));
    }
    SLNEnzyme enzyme;
    std::vector<KernelType> kinds;
    for (const auto& kernel : enzyme.kernels()) kinds.push_back(kernel->kernel_type());
    ASSERT_EQ(kinds, (std::vector<KernelType>{KernelType::Capability, KernelType::LoadBalancing,
                                              KernelType::Novelty, KernelType::TemporalRecency}));
    const KernelEvaluation full = reference_evaluation(enzyme, eligible);
    const auto hash_of = [&](std::size_t i) { return eligible[i].record->name_hash; };
    const KernelEvaluation part = enzyme.evaluate_selected(inputs, hash_of, wanted, kNow);
    ASSERT_EQ(part.votes.size(), full.votes.size());
    for (std::size_t v = 0; v < full.votes.size(); ++v) {
      EXPECT_EQ(part.votes[v].kernel, full.votes[v].kernel);
      EXPECT_EQ(part.votes[v].agent, full.votes[v].agent) << "round " << round << " vote " << v;
      EXPECT_EQ(hash_of(part.vote_positions[v]), full.votes[v].agent);
    }
    ASSERT_EQ(part.scores.size(), wanted.size());
    for (std::size_t k = 0; k < wanted.size(); ++k) {
      const double expected = full.scores[wanted[k]];
      const bool both_nan = std::isnan(part.scores[k]) && std::isnan(expected);
      EXPECT_TRUE(part.scores[k] == expected || both_nan) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace kova
