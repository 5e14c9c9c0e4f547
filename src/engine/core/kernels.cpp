#include "core/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <tuple>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace kova {

namespace {

// Ranking order: higher first, NaN after every number. A strict weak order, unlike a bare
// `a > b` once NaN is about.
bool ranks_before(double a, double b) {
  return !std::isnan(a) && (std::isnan(b) || a > b);
}

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
constexpr std::size_t kNoAgent = static_cast<std::size_t>(-1);

// Every built-in kernel's score of every agent in one pass over the inputs: column t (the
// KernelType value) holds the scores of that kernel.
void score_columns(std::span<const KernelInput> inputs, MonoTime now,
                   std::vector<double>& columns) {
  const std::size_t n = inputs.size();
  columns.resize(n * kKernelTypes);
  double* capability = columns.data() + n * static_cast<std::size_t>(KernelType::Capability);
  double* novelty = columns.data() + n * static_cast<std::size_t>(KernelType::Novelty);
  double* load = columns.data() + n * static_cast<std::size_t>(KernelType::LoadBalancing);
  double* recency = columns.data() + n * static_cast<std::size_t>(KernelType::TemporalRecency);
  // The exponentials apart, so that the rest of the pass can be vectorised.
  for (std::size_t i = 0; i < n; ++i) {
    const KernelInput& a = inputs[i];
    capability[i] = capability_score(a);
    novelty[i] = novelty_score(a);
    load[i] = load_score(a);
    recency[i] = elapsed_seconds(a, now);
  }
  for (std::size_t i = 0; i < n; ++i) recency[i] = recency_of(recency[i]);
}

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

std::vector<KernelInput> inputs_of(std::span<const EligibleAgent> agents) {
  std::vector<KernelInput> inputs;
  inputs.reserve(agents.size());
  for (const EligibleAgent& a : agents) inputs.push_back(KernelInput::of(*a.record, a.similarity));
  return inputs;
}

// Working memory of the evaluations on this thread, kept between calls: buffers of this size
// would otherwise come fresh from the system, page faults included, on every query.
struct Scratch {
  std::vector<KernelInput> inputs;
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

void ReasoningKernel::score_all(std::span<const KernelInput> agents, MonoTime now,
                                double* out) const {
  for (std::size_t i = 0; i < agents.size(); ++i) out[i] = score(agents[i], now);
}

Ranking ReasoningKernel::evaluate(const MinHashSignature& /*query*/,
                                  std::span<const EligibleAgent> agents, MonoTime now) const {
  const std::vector<KernelInput> inputs = inputs_of(agents);
  std::vector<double> scores(agents.size());
  score_all(inputs, now, scores.data());
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
// greatest score are ever used, so a pass or two per kernel gives the same votes and scores.
// The kernel list is fixed (the four built-in kernels), so their scores are computed together
// in one pass over the inputs.
KernelEvaluation SLNEnzyme::evaluate_with_scores(const MinHashSignature& /*query*/,
                                                 std::span<const EligibleAgent> agents,
                                                 MonoTime now) const {
  std::vector<NameHash> hashes;
  hashes.reserve(agents.size());
  std::vector<KernelInput>& inputs = thread_scratch().inputs;
  inputs.clear();
  for (const EligibleAgent& a : agents) {
    hashes.push_back(a.record->name_hash);
    inputs.push_back(KernelInput::of(*a.record, a.similarity));
  }
  return evaluate_inputs(inputs, std::move(hashes), now);
}

KernelEvaluation SLNEnzyme::evaluate_inputs(std::span<const KernelInput> inputs,
                                            std::vector<NameHash> hashes, MonoTime now) const {
  KernelEvaluation evaluation;
  const std::size_t n = inputs.size();
  if (n == 0) return evaluation;  // every ranking is empty: no votes, no scores
  evaluation.hashes = std::move(hashes);
  evaluation.votes.reserve(kernels_.size());
  evaluation.vote_positions.reserve(kernels_.size());
  evaluation.scores.assign(n, 0.0);
  std::vector<double>& columns = thread_scratch().columns;
  score_columns(inputs, now, columns);
  double* blended = evaluation.scores.data();
  for (const auto& kernel : kernels_) {
    const double* s = columns.data() + n * static_cast<std::size_t>(kernel->kernel_type());
    const double best = greatest(s, n);
    const std::size_t top = first_of(s, n, best);
    evaluation.votes.push_back({kernel->kernel_type(), evaluation.hashes[top]});
    evaluation.vote_positions.push_back(top);
    // Sums start at +0.0 and can never become -0.0, so adding 0.0 would change nothing.
    if (best > 0.0) {
      for (std::size_t i = 0; i < n; ++i) blended[i] += s[i] / best;
    }
  }
  const double k = static_cast<double>(kernels_.size());
  for (std::size_t i = 0; i < n; ++i) blended[i] /= k;
  return evaluation;
}

RoutingDecision SLNEnzyme::process(const MinHashSignature& /*query*/,
                                   std::span<const EligibleAgent> agents, MonoTime now) {
  // Routing needs each kernel's favourite only: one pass keeps a running best per kernel,
  // and the recency kernel's favourite needs its exponential only near the newest agents.
  std::array<std::size_t, kKernelTypes> top;
  std::array<double, kKernelTypes> best{};
  top.fill(kNoAgent);
  std::vector<KernelInput>& inputs = thread_scratch().inputs;
  inputs.clear();
  for (std::size_t i = 0; i < agents.size(); ++i) {
    const KernelInput& a =
        inputs.emplace_back(KernelInput::of(*agents[i].record, agents[i].similarity));
    const double scores[kCheapKernels] = {capability_score(a), novelty_score(a), load_score(a)};
    for (std::size_t t = 0; t < kCheapKernels; ++t) {
      if (top[t] == kNoAgent ? !std::isnan(scores[t]) : scores[t] > best[t]) {
        top[t] = i;
        best[t] = scores[t];
      }
    }
  }
  std::vector<KernelVote> votes;
  if (!agents.empty()) {
    top[kRecency] = recency_favourite(inputs, now).first;
    votes.reserve(kernels_.size());
    for (const auto& kernel : kernels_) {
      const std::size_t t = top[static_cast<std::size_t>(kernel->kernel_type())];
      votes.push_back({kernel->kernel_type(), agents[t == kNoAgent ? 0 : t].record->name_hash});
    }
  }
  return process_votes(votes);
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
