#include "core/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace kova {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Ranking order: higher first, NaN after every number. A strict weak order, unlike a bare
// `a > b` once NaN is about.
bool ranks_before(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a > b); }

// Position a stable highest-first ranking would put first: the earliest of the greatest
// numbers, or the first entry when every score is NaN.
std::size_t top_index(const double* scores, std::size_t n) {
  std::size_t top = kNone;
  double best = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = scores[i];
    if (top == kNone ? !std::isnan(s) : s > best) {
      top = i;
      best = s;
    }
  }
  return top == kNone ? 0 : top;
}

double capability_score(const EligibleAgent& agent) {
  const AgentRecord& r = *agent.record;
  return agent.similarity * r.diameter * (0.5 + 0.5 * std::fmin(r.tau, 1.0));
}

double novelty_score(const EligibleAgent& agent) { return 1.0 / (agent.record->sigma + 1.0); }

double load_score(const EligibleAgent& agent) {
  const AgentRecord& r = *agent.record;
  return r.diameter / (static_cast<double>(r.forwards()) + 1.0);
}

double recency_score(const EligibleAgent& agent, MonoTime now) {
  const std::int64_t ns = std::max<std::int64_t>((now - agent.record->last_activity).count(), 0);
  // Whole seconds plus the nanosecond fraction, each converted on its own.
  const double elapsed = static_cast<double>(ns / 1'000'000'000) +
                         static_cast<double>(ns % 1'000'000'000) / 1e9;
  return std::exp(elapsed / -86.6);
}

template <class F>
void fill_scores(std::span<const EligibleAgent> agents, double* out, F f) {
  for (std::size_t i = 0; i < agents.size(); ++i) out[i] = f(agents[i]);
}

}  // namespace

std::string_view kernel_type_name(KernelType type) {
  switch (type) {
    case KernelType::Capability:
      return "capability_matching";
    case KernelType::Novelty:
      return "novelty_seeking";
    case KernelType::LoadBalancing:
      return "load_balancing";
    case KernelType::TemporalRecency:
      return "temporal_recency";
  }
  return "capability_matching";
}

void ReasoningKernel::score_all(std::span<const EligibleAgent> agents, MonoTime now,
                                double* out) const {
  for (std::size_t i = 0; i < agents.size(); ++i) out[i] = score(agents[i], now);
}

Ranking ReasoningKernel::evaluate(const MinHashSignature& /*query*/,
                                  std::span<const EligibleAgent> agents, MonoTime now) const {
  std::vector<double> scores(agents.size());
  score_all(agents, now, scores.data());
  std::vector<std::size_t> order(agents.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return ranks_before(scores[a], scores[b]);
  });
  Ranking ranking;
  ranking.reserve(order.size());
  for (std::size_t i : order) ranking.emplace_back(agents[i].record->name_hash, scores[i]);
  return ranking;
}

double CapabilityKernel::score(const EligibleAgent& agent, MonoTime) const {
  return capability_score(agent);
}
void CapabilityKernel::score_all(std::span<const EligibleAgent> agents, MonoTime,
                                 double* out) const {
  fill_scores(agents, out, capability_score);
}

double NoveltyKernel::score(const EligibleAgent& agent, MonoTime) const {
  return novelty_score(agent);
}
void NoveltyKernel::score_all(std::span<const EligibleAgent> agents, MonoTime, double* out) const {
  fill_scores(agents, out, novelty_score);
}

double LoadBalancingKernel::score(const EligibleAgent& agent, MonoTime) const {
  return load_score(agent);
}
void LoadBalancingKernel::score_all(std::span<const EligibleAgent> agents, MonoTime,
                                    double* out) const {
  fill_scores(agents, out, load_score);
}

double TemporalRecencyKernel::score(const EligibleAgent& agent, MonoTime now) const {
  return recency_score(agent, now);
}
void TemporalRecencyKernel::score_all(std::span<const EligibleAgent> agents, MonoTime now,
                                      double* out) const {
  fill_scores(agents, out, [now](const EligibleAgent& a) { return recency_score(a, now); });
}

std::optional<double> KernelEvaluation::score_for(const NameHash& hash) const {
  for (std::size_t i = 0; i < hashes.size() && i < scores.size(); ++i) {
    if (hashes[i] == hash) return scores[i];
  }
  return std::nullopt;
}

bool QuorumRule::holds(std::size_t top_votes, std::size_t kernel_count) const {
  switch (kind) {
    case Kind::StrictMajority:
      return 2 * top_votes > kernel_count;
    case Kind::AllKernels:
      return top_votes == kernel_count;
    case Kind::MinimumFraction:
      return static_cast<double>(top_votes) / static_cast<double>(kernel_count) >= threshold;
  }
  return false;
}

SLNEnzyme::SLNEnzyme(std::size_t max_split, QuorumRule quorum)
    : quorum_(quorum), max_split_(max_split) {
  kernels_.reserve(4);
  kernels_.push_back(std::make_unique<CapabilityKernel>());
  kernels_.push_back(std::make_unique<LoadBalancingKernel>());
  kernels_.push_back(std::make_unique<NoveltyKernel>());
  kernels_.push_back(std::make_unique<TemporalRecencyKernel>());
}

// Each kernel's ranking is described as a sorted list, but only its first entry and its
// greatest score are ever used, so one pass per kernel gives the same votes and scores.
KernelEvaluation SLNEnzyme::evaluate_with_scores(const MinHashSignature& /*query*/,
                                                 std::span<const EligibleAgent> agents,
                                                 MonoTime now) const {
  KernelEvaluation evaluation;
  const std::size_t n = agents.size();
  if (n == 0) return evaluation;  // every ranking is empty: no votes, no scores
  evaluation.votes.reserve(kernels_.size());
  evaluation.scores.assign(n, 0.0);
  evaluation.hashes.resize(n);
  for (std::size_t i = 0; i < n; ++i) evaluation.hashes[i] = agents[i].record->name_hash;

  std::vector<double> buffer(n);
  double* blended = evaluation.scores.data();
  for (const auto& kernel : kernels_) {
    kernel->score_all(agents, now, buffer.data());
    double m = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      if (buffer[i] > m) m = buffer[i];
    }
    const std::size_t top = top_index(buffer.data(), n);
    evaluation.votes.push_back({kernel->kernel_type(), evaluation.hashes[top]});
    // Sums start at +0.0 and can never become -0.0, so adding 0.0 would change nothing.
    if (m > 0.0) {
      for (std::size_t i = 0; i < n; ++i) blended[i] += buffer[i] / m;
    }
  }
  const double k = static_cast<double>(kernels_.size());
  for (std::size_t i = 0; i < n; ++i) blended[i] /= k;
  return evaluation;
}

RoutingDecision SLNEnzyme::process(const MinHashSignature& /*query*/,
                                   std::span<const EligibleAgent> agents, MonoTime now) {
  std::vector<KernelVote> votes;
  if (!agents.empty()) {
    votes.reserve(kernels_.size());
    std::vector<double> buffer(agents.size());
    for (const auto& kernel : kernels_) {
      kernel->score_all(agents, now, buffer.data());
      const std::size_t top = top_index(buffer.data(), agents.size());
      votes.push_back({kernel->kernel_type(), agents[top].record->name_hash});
    }
  }
  return process_votes(votes);
}

RoutingDecision SLNEnzyme::process_votes(std::span<const KernelVote> votes) {
  RoutingDecision decision;
  decision.process_count = ++process_count_;
  if (votes.empty()) return decision;

  // Tally in ascending name-hash order; at most one entry per kernel.
  std::vector<std::pair<NameHash, std::size_t>> tally;
  tally.reserve(votes.size());
  for (const KernelVote& vote : votes) {
    auto it = std::lower_bound(tally.begin(), tally.end(), vote.agent,
                               [](const auto& entry, const NameHash& h) { return entry.first < h; });
    if (it != tally.end() && it->first == vote.agent) {
      ++it->second;
    } else {
      tally.insert(it, {vote.agent, 1});
    }
  }
  // Most votes; among equal counts the greatest hash, i.e. the last in ascending order.
  std::size_t top = 0;
  for (std::size_t i = 1; i < tally.size(); ++i) {
    if (tally[i].second >= tally[top].second) top = i;
  }
  if (quorum_.holds(tally[top].second, kernels_.size())) {
    decision.kind = RoutingDecision::Kind::Single;
    decision.agents.push_back(tally[top].first);
    return decision;
  }
  const std::size_t kept = std::min(max_split_, tally.size());
  for (std::size_t i = 0; i < kept; ++i) decision.agents.push_back(tally[i].first);
  decision.kind =
      kept == 1 ? RoutingDecision::Kind::Single : RoutingDecision::Kind::Parallel;
  return decision;
}

}  // namespace kova
