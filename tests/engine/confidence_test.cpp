#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/name_hash.hpp"
#include "network/pipeline.hpp"
#include "test_support.hpp"

namespace kova {
namespace {

using Kind = DiscoveryConfidence::Kind;
using test_support::by_hash;
constexpr KernelType kOrder[] = {KernelType::Capability, KernelType::LoadBalancing,
                                 KernelType::Novelty, KernelType::TemporalRecency};

struct Votes {
  AgentTable table;
  // `voted[k]` is the agent the k-th kernel (in kernel order) voted for.
  KernelEvaluation evaluation(const std::vector<std::string>& voted) const {
    KernelEvaluation ev;
    for (std::size_t k = 0; k < voted.size(); ++k)
      ev.votes.push_back({kOrder[k], compute_name_hash(voted[k])});
    return ev;
  }
  explicit Votes(std::vector<std::string> names) {
    for (const auto& n : names) table.try_emplace(n).first->second.name_hash = compute_name_hash(n);
  }
};

TEST(ConfidenceDerivation, AgreementLevels) {
  const Votes v({"a", "b", "c", "d"});
  const SLNEnzyme enzyme(3);

  auto [unanimous, p1] = derive_confidence(v.evaluation({"a", "a", "a", "a"}), v.table, enzyme);
  EXPECT_EQ(unanimous.kind, Kind::Unanimous);
  EXPECT_STREQ(unanimous.text(), "unanimous");
  EXPECT_EQ(p1, 1u);

  auto [three_one, p2] = derive_confidence(v.evaluation({"a", "a", "b", "a"}), v.table, enzyme);
  EXPECT_EQ(three_one.kind, Kind::Majority);
  EXPECT_EQ(three_one.dissenting_kernel, KernelType::Novelty);
  EXPECT_STREQ(three_one.text(), "majority");
  EXPECT_EQ(p2, 1u);

  // 2-2: the greater hash is the majority agent; the first vote for the other one dissents.
  const auto ab = by_hash({"a", "b"});
  auto [two_two, p3] =
      derive_confidence(v.evaluation({ab[0], ab[1], ab[1], ab[0]}), v.table, enzyme);
  EXPECT_EQ(two_two.kind, Kind::Majority);
  EXPECT_EQ(two_two.dissenting_kernel, KernelType::Capability);
  EXPECT_EQ(p3, 1u);
  auto [two_two_swapped, p4] =
      derive_confidence(v.evaluation({ab[1], ab[0], ab[0], ab[1]}), v.table, enzyme);
  EXPECT_EQ(two_two_swapped.dissenting_kernel, KernelType::LoadBalancing);
  EXPECT_EQ(p4, 1u);

  auto [two_one_one, p5] = derive_confidence(v.evaluation({"c", "a", "b", "a"}), v.table, enzyme);
  EXPECT_EQ(two_one_one.kind, Kind::Majority);
  EXPECT_EQ(two_one_one.dissenting_kernel, KernelType::Capability);
  EXPECT_EQ(p5, 1u);
}

TEST(ConfidenceDerivation, SplitNamesTheOtherAgentsInHashOrder) {
  const Votes v({"a", "b", "c", "d"});
  const auto sorted = by_hash({"a", "b", "c", "d"});
  const KernelEvaluation spread = v.evaluation({"a", "b", "c", "d"});

  auto [split, parallelism] = derive_confidence(spread, v.table, SLNEnzyme(3));
  EXPECT_EQ(split.kind, Kind::Split);
  EXPECT_STREQ(split.text(), "split");
  EXPECT_EQ(split.alternative_agents, (std::vector<std::string>{sorted[0], sorted[1], sorted[2]}));
  EXPECT_EQ(parallelism, 3u);
  EXPECT_EQ(derive_confidence(spread, v.table, SLNEnzyme(10)).second, 4u);
  EXPECT_EQ(derive_confidence(spread, v.table, SLNEnzyme(0)).second, 0u);

  // A voted hash no registered agent carries is left out of the names but still counts.
  const Votes partial({"a", "b", "c"});
  auto [gap, p] =
      derive_confidence(partial.evaluation({"a", "b", "c", "zzz"}), partial.table, SLNEnzyme(3));
  std::vector<std::string> expected;
  for (const auto& n : by_hash({"a", "b", "c", "zzz"})) expected.push_back(n);
  expected.pop_back();  // the greatest hash is the top
  std::erase(expected, "zzz");
  EXPECT_EQ(gap.alternative_agents, expected);
  EXPECT_EQ(p, 3u);
}

TEST(ConfidenceDerivation, NoVotesMeansNoViableAgents) {
  const Votes v({"a"});
  auto [none, parallelism] = derive_confidence(KernelEvaluation{}, v.table, SLNEnzyme());
  EXPECT_EQ(none.kind, Kind::NoViableAgents);
  EXPECT_STREQ(none.text(), "no_viable_agents");
  EXPECT_EQ(parallelism, 0u);

  // Fewer than four votes count against the votes cast: 1-1 is a majority of two.
  auto [pair, p] = derive_confidence(v.evaluation({"a", "b"}), v.table, SLNEnzyme());
  EXPECT_EQ(pair.kind, Kind::Majority);
  EXPECT_EQ(p, 1u);
}

}  // namespace
}  // namespace kova
