#pragma once
// The committee of four reasoning kernels and the enzyme that blends and routes their votes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.hpp"
#include "core/lsh.hpp"
#include "core/name_hash.hpp"
#include "network/agent_record.hpp"

namespace kova {

enum class KernelType : std::uint8_t {
  Capability = 0,
  Novelty = 1,
  LoadBalancing = 2,
  TemporalRecency = 3
};

// "capability_matching", "novelty_seeking", "load_balancing", "temporal_recency"
std::string_view kernel_type_name(KernelType type);

// One eligible agent as the kernels see it: its record and its similarity (0.0 when the
// scorer gave none). Eligible agents come in registry order.
struct EligibleAgent {
  const AgentRecord* record;
  double similarity;
};

// Everything the kernels read of one eligible agent, copied out of its record in one go so
// that the kernels run over contiguous memory instead of chasing records four times.
struct KernelInput {
  double similarity;
  double diameter;
  double tau;
  double sigma;
  std::uint64_t forwards;
  MonoTime last_activity;

  static KernelInput of(const AgentRecord& record, double similarity) {
    return {similarity,   record.diameter,   record.tau,
            record.sigma, record.forwards(), record.last_activity};
  }
};

using Ranking = std::vector<std::pair<NameHash, double>>;

class ReasoningKernel {
 public:
  virtual ~ReasoningKernel() = default;
  virtual KernelType kernel_type() const = 0;
  // Score of one agent; `now` is read once per evaluation.
  virtual double score(const KernelInput& agent, MonoTime now) const = 0;
  double score(const EligibleAgent& agent, MonoTime now) const {
    return score(KernelInput::of(*agent.record, agent.similarity), now);
  }
  // score() of every agent into out[0 .. agents.size()).
  virtual void score_all(std::span<const KernelInput> agents, MonoTime now, double* out) const;
  // Full ranking: every agent, highest first, stable, NaN after every number.
  Ranking evaluate(const MinHashSignature& query, std::span<const EligibleAgent> agents,
                   MonoTime now) const;
};

// sim x diameter x (0.5 + 0.5 x min(tau, 1))
class CapabilityKernel final : public ReasoningKernel {
 public:
  using ReasoningKernel::score;
  KernelType kernel_type() const override { return KernelType::Capability; }
  double score(const KernelInput& agent, MonoTime now) const override;
};
// 1 / (sigma + 1)
class NoveltyKernel final : public ReasoningKernel {
 public:
  using ReasoningKernel::score;
  KernelType kernel_type() const override { return KernelType::Novelty; }
  double score(const KernelInput& agent, MonoTime now) const override;
};
// diameter / (forwards + 1)
class LoadBalancingKernel final : public ReasoningKernel {
 public:
  using ReasoningKernel::score;
  KernelType kernel_type() const override { return KernelType::LoadBalancing; }
  double score(const KernelInput& agent, MonoTime now) const override;
};
// exp(seconds since last activity / -86.6)
class TemporalRecencyKernel final : public ReasoningKernel {
 public:
  using ReasoningKernel::score;
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
  // enzyme_score per eligible agent, aligned with the eligible list given to
  // evaluate_with_scores; empty when no kernel ranked anything.
  std::vector<double> scores;
  std::vector<NameHash> hashes;  // the eligible agents' hashes, aligned with `scores`
  std::vector<std::size_t> vote_positions;  // the eligible position each vote names

  // Score for a name hash (nullopt when absent). A linear search: callers that hold the
  // eligible list index `scores` directly.
  std::optional<double> score_for(const NameHash& hash) const;
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

class Enzyme {
 public:
  virtual ~Enzyme() = default;
  virtual RoutingDecision process(const MinHashSignature& query,
                                  std::span<const EligibleAgent> agents, MonoTime now) = 0;
};

class SLNEnzyme final : public Enzyme {
 public:
  explicit SLNEnzyme(std::size_t max_split = 3, QuorumRule quorum = {});

  KernelEvaluation evaluate_with_scores(const MinHashSignature& query,
                                        std::span<const EligibleAgent> agents, MonoTime now) const;
  // evaluate_with_scores over inputs the caller has already gathered; `hashes` (aligned with
  // `inputs`) become the evaluation's hashes.
  KernelEvaluation evaluate_inputs(std::span<const KernelInput> inputs,
                                   std::vector<NameHash> hashes, MonoTime now) const;
  // The votes of evaluate_inputs for a caller that resolves hashes itself (`hash_of(i)` is
  // the name hash of input i, asked only for the voted agents; `hashes` stay empty), with
  // enzyme scores only for the inputs at the ascending positions `wanted`: `scores` holds one
  // per wanted input, in that order.
  KernelEvaluation evaluate_selected(std::span<const KernelInput> inputs,
                                     const std::function<NameHash(std::size_t)>& hash_of,
                                     std::span<const std::uint32_t> wanted, MonoTime now) const;
  RoutingDecision process(const MinHashSignature& query, std::span<const EligibleAgent> agents,
                          MonoTime now) override;
  // process() for a caller that already holds the kernels' votes for the same agents at the
  // same instant (evaluate_with_scores gives exactly the votes process would collect):
  // counts the call and routes without ranking everything a second time.
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
