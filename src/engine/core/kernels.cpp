#include "core/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <tuple>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace kova {

namespace {

double capability_score(const KernelInput& a) {
  const double tau = a.tau < 1.0 ? a.tau : 1.0;  // a NaN tau counts as 1.0, as fmin has it
  return a.similarity * a.diameter * (0.5 + 0.5 * tau);
}

double novelty_score(const KernelInput& a) {
  return 1.0 / (a.sigma + 1.0);
}

double load_score(const KernelInput& a) {
  return a.diameter / (static_cast<double>(a.forwards) + 1.0);
}

double elapsed_seconds(const KernelInput& a, MonoTime now) {
  const std::int64_t ns = std::max<std::int64_t>((now - a.last_activity).count(), 0);
  // Whole seconds plus the nanosecond fraction, each converted on its own.
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

double recency_of(double elapsed) {
  return std::exp(elapsed / -86.6);
}

double recency_score(const KernelInput& a, MonoTime now) {
  return recency_of(elapsed_seconds(a, now));
}

// The recency kernel's greatest score and the first position holding it, computing the
// exponential only near the newest activity. The score falls strictly with elapsed time: a
// microsecond more lowers it by a factor of about 1 - 1.2e-8, far more than the rounding of
// two results, so no agent two microseconds older than the newest can equal or beat the
// best. Where the best score is no longer a comfortably normal number, rounding is coarser
// and every score is computed. `inputs` is not empty.
std::pair<std::size_t, double> recency_favourite(std::span<const KernelInput> inputs,
                                                 MonoTime now) {
  constexpr std::int64_t kWindowNs = 2'000;
  constexpr double kSmallest = 1e-290;
  MonoTime newest = inputs.front().last_activity;
  for (const KernelInput& a : inputs) newest = a.last_activity > newest ? a.last_activity : newest;
  KernelInput probe = inputs.front();
  probe.last_activity = newest;
  const std::int64_t least_ns = std::max<std::int64_t>((now - newest).count(), 0);
  const bool narrow = recency_score(probe, now) > kSmallest;
  std::size_t top = 0;
  double best = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::int64_t ns = std::max<std::int64_t>((now - inputs[i].last_activity).count(), 0);
    if (narrow && ns - least_ns > kWindowNs) continue;
    const double score = recency_score(inputs[i], now);
    if (score > best) {
      best = score;
      top = i;
    }
  }
  return {top, best};
}

// The three kernels without an exponential, for every agent, into their columns. The two
// divisions per agent dominate; with AVX2 they go four at a time. Vector and scalar
// arithmetic round alike, so the scores are the same either way.
void cheap_scores_baseline(std::span<const KernelInput> inputs, double* capability, double* novelty,
                           double* load) {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    capability[i] = capability_score(inputs[i]);
    novelty[i] = novelty_score(inputs[i]);
    load[i] = load_score(inputs[i]);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void cheap_scores_avx2(std::span<const KernelInput> inputs,
                                                       double* capability, double* novelty,
                                                       double* load) {
  const std::size_t n = inputs.size();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d half = _mm256_set1_pd(0.5);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const KernelInput* a = inputs.data() + i;
    const __m256d similarity =
        _mm256_set_pd(a[3].similarity, a[2].similarity, a[1].similarity, a[0].similarity);
    const __m256d diameter =
        _mm256_set_pd(a[3].diameter, a[2].diameter, a[1].diameter, a[0].diameter);
    const __m256d tau = _mm256_set_pd(a[3].tau, a[2].tau, a[1].tau, a[0].tau);
    const __m256d sigma = _mm256_set_pd(a[3].sigma, a[2].sigma, a[1].sigma, a[0].sigma);
    // The counts are converted one by one: no AVX2 instruction takes unsigned 64-bit numbers.
    const __m256d forwards =
        _mm256_set_pd(static_cast<double>(a[3].forwards), static_cast<double>(a[2].forwards),
                      static_cast<double>(a[1].forwards), static_cast<double>(a[0].forwards));
    // tau < 1 ? tau : 1, so that a NaN tau counts as 1.
    const __m256d capped = _mm256_blendv_pd(one, tau, _mm256_cmp_pd(tau, one, _CMP_LT_OQ));
    const __m256d factor = _mm256_add_pd(half, _mm256_mul_pd(half, capped));
    _mm256_storeu_pd(capability + i, _mm256_mul_pd(_mm256_mul_pd(similarity, diameter), factor));
    _mm256_storeu_pd(novelty + i, _mm256_div_pd(one, _mm256_add_pd(sigma, one)));
    _mm256_storeu_pd(load + i, _mm256_div_pd(diameter, _mm256_add_pd(forwards, one)));
  }
  cheap_scores_baseline(inputs.subspan(i), capability + i, novelty + i, load + i);
}
#endif

void score_cheap_kernels(std::span<const KernelInput> inputs, double* capability, double* novelty,
                         double* load) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    cheap_scores_avx2(inputs, capability, novelty, load);
    return;
  }
#endif
  cheap_scores_baseline(inputs, capability, novelty, load);
}

constexpr std::size_t kKernelTypes = 4;
// Kernel types 0 to 2 score without an exponential; type 3 is the recency kernel.
constexpr std::size_t kCheapKernels = 3;
constexpr std::size_t kRecency = static_cast<std::size_t>(KernelType::TemporalRecency);

// Greatest number among the scores (NaN ignored), -inf when there is none. Four running
// maxima keep the comparisons independent of each other.
double greatest(const double* s, std::size_t n) {
  constexpr double kLow = -std::numeric_limits<double>::infinity();
  double b0 = kLow, b1 = kLow, b2 = kLow, b3 = kLow;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    b0 = s[i] > b0 ? s[i] : b0;
    b1 = s[i + 1] > b1 ? s[i + 1] : b1;
    b2 = s[i + 2] > b2 ? s[i + 2] : b2;
    b3 = s[i + 3] > b3 ? s[i + 3] : b3;
  }
  for (; i < n; ++i) b0 = s[i] > b0 ? s[i] : b0;
  b0 = b1 > b0 ? b1 : b0;
  b2 = b3 > b2 ? b3 : b2;
  return b2 > b0 ? b2 : b0;
}

// Position a stable highest-first ranking would put first, given the greatest number.
std::size_t first_of(const double* s, std::size_t n, double best) {
  for (std::size_t i = 0; i < n; ++i) {
    if (s[i] == best) return i;
  }
  return 0;  // every score is NaN: the ranking keeps registry order
}

// Working memory of the evaluations on this thread, kept between calls: buffers of this size
// would otherwise come fresh from the system, page faults included, on every query.
struct Scratch {
  std::vector<double> columns;
};
// Reached through a call the optimiser cannot see into: in a shared library every use of a
// thread-local variable may otherwise cost a call to find it.
[[gnu::noinline]] Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
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

double CapabilityKernel::score(const KernelInput& agent, MonoTime) const {
  return capability_score(agent);
}
double NoveltyKernel::score(const KernelInput& agent, MonoTime) const {
  return novelty_score(agent);
}
double LoadBalancingKernel::score(const KernelInput& agent, MonoTime) const {
  return load_score(agent);
}
double TemporalRecencyKernel::score(const KernelInput& agent, MonoTime now) const {
  return recency_score(agent, now);
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

KernelEvaluation SLNEnzyme::evaluate_selected(std::span<const KernelInput> inputs,
                                              const std::function<NameHash(std::size_t)>& hash_of,
                                              std::span<const std::uint32_t> wanted,
                                              MonoTime now) const {
  KernelEvaluation evaluation;
  const std::size_t n = inputs.size();
  if (n == 0) return evaluation;
  // The three kernels without an exponential are scored in full: their greatest scores need
  // every agent. The recency kernel's is found without scoring everyone.
  std::vector<double>& columns = thread_scratch().columns;
  columns.resize(n * kCheapKernels);
  double* capability = columns.data() + n * static_cast<std::size_t>(KernelType::Capability);
  double* novelty = columns.data() + n * static_cast<std::size_t>(KernelType::Novelty);
  double* load = columns.data() + n * static_cast<std::size_t>(KernelType::LoadBalancing);
  score_cheap_kernels(inputs, capability, novelty, load);
  std::array<std::size_t, kKernelTypes> top{};
  std::array<double, kKernelTypes> best{};
  for (std::size_t t = 0; t < kCheapKernels; ++t) {
    best[t] = greatest(columns.data() + n * t, n);
    top[t] = first_of(columns.data() + n * t, n, best[t]);
  }
  std::tie(top[kRecency], best[kRecency]) = recency_favourite(inputs, now);

  evaluation.votes.reserve(kernels_.size());
  evaluation.vote_positions.reserve(kernels_.size());
  for (const auto& kernel : kernels_) {
    const std::size_t t = static_cast<std::size_t>(kernel->kernel_type());
    evaluation.votes.push_back({kernel->kernel_type(), hash_of(top[t])});
    evaluation.vote_positions.push_back(top[t]);
  }
  // The same sums, in the same order, as the full evaluation makes for these agents.
  std::array<std::size_t, kKernelTypes> types{};
  std::size_t blending = 0;  // kernels whose greatest score is positive, in kernel order
  for (const auto& kernel : kernels_) {
    const auto t = static_cast<std::size_t>(kernel->kernel_type());
    if (best[t] > 0.0) types[blending++] = t;
  }
  const double k = static_cast<double>(kernels_.size());
  const double* cheap = columns.data();
  evaluation.scores.reserve(wanted.size());
  for (const std::uint32_t i : wanted) {
    double blended = 0.0;
    for (std::size_t b = 0; b < blending; ++b) {
      const std::size_t t = types[b];
      const double score = t == kRecency ? recency_score(inputs[i], now) : cheap[n * t + i];
      blended += score / best[t];
    }
    evaluation.scores.push_back(blended / k);
  }
  return evaluation;
}

VoteTally tally_votes(std::span<const KernelVote> votes) {
  VoteTally tally;
  tally.counts.reserve(votes.size());
  for (const KernelVote& vote : votes) {
    auto it =
        std::lower_bound(tally.counts.begin(), tally.counts.end(), vote.agent,
                         [](const auto& entry, const NameHash& h) { return entry.first < h; });
    if (it != tally.counts.end() && it->first == vote.agent) {
      ++it->second;
    } else {
      tally.counts.insert(it, {vote.agent, 1});
    }
  }
  for (std::size_t i = 1; i < tally.counts.size(); ++i) {
    if (tally.counts[i].second >= tally.counts[tally.top].second) tally.top = i;
  }
  return tally;
}

RoutingDecision SLNEnzyme::process_votes(std::span<const KernelVote> votes) {
  RoutingDecision decision;
  decision.process_count = ++process_count_;
  if (votes.empty()) return decision;

  const auto [tally, top] = tally_votes(votes);
  if (quorum_.holds(tally[top].second, kernels_.size())) {
    decision.kind = RoutingDecision::Kind::Single;
    decision.agents.push_back(tally[top].first);
    return decision;
  }
  const std::size_t kept = std::min(max_split_, tally.size());
  for (std::size_t i = 0; i < kept; ++i) decision.agents.push_back(tally[i].first);
  decision.kind = kept == 1 ? RoutingDecision::Kind::Single : RoutingDecision::Kind::Parallel;
  return decision;
}

}  // namespace kova
