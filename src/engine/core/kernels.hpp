#pragma once
// The committee of four reasoning kernels and the enzyme that blends and routes their votes.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.hpp"
#include "core/name_hash.hpp"

namespace kova {

enum class KernelType : std::uint8_t {
  Capability = 0,
  Novelty = 1,
  LoadBalancing = 2,
  TemporalRecency = 3
};

// "capability_matching", "novelty_seeking", "load_balancing", "temporal_recency"
std::string_view kernel_type_name(KernelType type);

// Everything the kernels read of one eligible agent: its similarity to the query (0.0 when the
// scorer gave none) and a copy of its routing state, so that the kernels run over contiguous
// memory instead of chasing records. Eligible agents come in registry order.
struct KernelInput {
  double similarity;
  double diameter;
  double tau;
  double sigma;
  std::uint64_t forwards;
  MonoTime last_activity;
};

class ReasoningKernel {
 public:
  virtual ~ReasoningKernel() = default;
  virtual KernelType kernel_type() const = 0;
  // Score of one agent; `now` is read once per evaluation.
  virtual double score(const KernelInput& agent, MonoTime now) const = 0;
};

// sim x diameter x (0.5 + 0.5 x min(tau, 1))
class CapabilityKernel final : public ReasoningKernel {
 public:
  KernelType kernel_type() const override { return KernelType::Capability; }
  double score(const KernelInput& agent, MonoTime now) const override;
};
// 1 / (sigma + 1)
class NoveltyKernel final : public ReasoningKernel {
 public:
  KernelType kernel_type() const override { return KernelType::Novelty; }
  double score(const KernelInput& agent, MonoTime now) const override;
};
// diameter / (forwards + 1)
class LoadBalancingKernel final : public ReasoningKernel {
 public:
  KernelType kernel_type() const override { return KernelType::LoadBalancing; }
  double score(const KernelInput& agent, MonoTime now) const override;
};
// exp(seconds since last activity / -86.6)
class TemporalRecencyKernel final : public ReasoningKernel {
 public:
  KernelType kernel_type() const override { return KernelType::TemporalRecency; }
  double score(const KernelInput& agent, MonoTime now) const override;
};

struct KernelVote {
  KernelType kernel;
  NameHash agent;
};

// Votes per agent in ascending name-hash order, and the position of the most voted agent
// (among equal counts the greatest hash). Routing and confidence read votes the same way.
struct VoteTally {
  std::vector<std::pair<NameHash, std::size_t>> counts;
  std::size_t top = 0;  // meaningful only when counts is not empty
};
VoteTally tally_votes(std::span<const KernelVote> votes);

struct KernelEvaluation {
  std::vector<KernelVote> votes;  // one per kernel that ranked an agent, in kernel order
  // enzyme_score of each input asked for, in the order asked; empty when there were no inputs.
  std::vector<double> scores;
  std::vector<std::size_t> vote_positions;  // the input position each vote names
};

struct RoutingDecision {
  enum class Kind { Single, Parallel, NoRoute };
  Kind kind = Kind::NoRoute;
  std::vector<NameHash> agents;  // one for Single, several (or none) for Parallel, none for NoRoute
  std::uint64_t process_count = 0;
};

struct QuorumRule {
  enum class Kind { StrictMajority, AllKernels, MinimumFraction };
  Kind kind = Kind::StrictMajority;
  double threshold = 0.0;  // MinimumFraction only
  bool holds(std::size_t top_votes, std::size_t kernel_count) const;
};

// The kernel committee. Each kernel ranks every input (highest first, stable, NaN after every
// number) and votes for its first; an agent's enzyme score is the mean over the kernels of
// its score relative to that kernel's best, when the best is positive. Only each ranking's
// first entry and greatest score are ever used, so no ranking is sorted.
class SLNEnzyme final {
 public:
  explicit SLNEnzyme(std::size_t max_split = 3, QuorumRule quorum = {});

  // The kernels' votes over `inputs` (`hash_of(i)` is the name hash of input i, asked only
  // for the voted agents), with enzyme scores only for the inputs at the ascending positions
  // `wanted`: `scores` holds one per wanted input, in that order.
  KernelEvaluation evaluate_selected(std::span<const KernelInput> inputs,
                                     const std::function<NameHash(std::size_t)>& hash_of,
                                     std::span<const std::uint32_t> wanted, MonoTime now) const;
  // Counts the call and routes by the votes an evaluation collected.
  RoutingDecision process_votes(std::span<const KernelVote> votes);

  const QuorumRule& quorum() const { return quorum_; }
  std::size_t max_split() const { return max_split_; }
  std::uint64_t process_count() const { return process_count_; }
  std::span<const std::unique_ptr<ReasoningKernel>> kernels() const { return kernels_; }

 private:
  QuorumRule quorum_;
  std::size_t max_split_;
  std::vector<std::unique_ptr<ReasoningKernel>> kernels_;  // capability, load, novelty, recency
  std::uint64_t process_count_ = 0;
};

}  // namespace kova
