// One query in, ranked candidates out.
//
// The per-agent work is one pass over the registry's dense kernel inputs, with similarities
// placed by the agents' scorer keys, and the kernels' passes over the eligible agents' inputs.
// Nothing is allocated per agent, and records are touched only for candidates (filters,
// feedback) and for what results copy: names and endpoints, copied only for the
// candidates that pass the threshold.

#include "network/pipeline.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/lsh.hpp"
#include "core/name_table.hpp"
#include "log/log.hpp"
#include "text/unicode.hpp"

namespace kova {

std::atomic<std::uint64_t> TIE_BREAK_COUNTER{0};

namespace {

using ScorePair = std::pair<std::string_view, double>;
using Best = std::optional<std::pair<std::string, double>>;

constexpr double kTieBand = 0.0001;
constexpr double kOverlapScoreGap = 0.05;
constexpr double kInverseSignatureLength = 0.015625;  // 1 / 64
constexpr std::size_t kPrefetchDistance = 8;

// Whether `a` would come before `b` in a stable highest-first sort: NaN after every number.
bool ranks_above(double a, double b) {
  return !std::isnan(a) && (std::isnan(b) || a > b);
}

// A candidate while ranking; name, endpoint and metadata stay in the record.
struct Working {
  const AgentTable::value_type* agent;
  double similarity;
  double lower;
  double upper;
  double enzyme_score;
  double feedback_factor;
  double final_score;
};

// Working memory of the pipeline on this thread, kept between calls: at a few megabytes for a
// large registry, fresh buffers would cost more in page faults than the work they hold.
// Nothing the pipeline calls while using them can re-enter it, except a host scorer (which
// may run another network's discovery on this thread): the one buffer held across the
// scorer's call, `by_key`, is lent out for that call (`ByKeyLoan`).
struct Scratch {
  std::vector<double> similarity;         // by registry position
  std::vector<double> by_key;             // by key, from scorers that write there
  std::vector<KernelInput> inputs;        // gathered when some circuit is open
  std::vector<std::uint32_t> eligible;    // registry position of each gathered input
  std::vector<std::uint32_t> passing;     // input positions at or above the threshold
  std::vector<std::uint32_t> open;        // registry positions of open circuits
  NameTable names;                        // the registry's names, for reports by name
  NameTable listed;                       // the distinct names of a listing
  std::vector<double> listed_similarity;  // by number in `listed`
  std::vector<Working> candidates;
  std::vector<Working> in_rank_order;
  std::vector<std::uint32_t> selected;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  std::vector<std::uint32_t> order_of_candidates;
};
// Reached through a call the optimiser cannot see into: in a shared library every use of a
// thread-local variable may otherwise cost a call to find it.
[[gnu::noinline]] Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Takes the thread's `by_key` buffer for one discovery and gives it back afterwards, so that
// a discovery nested inside a host scorer's call finds none to reuse and makes its own.
class ByKeyLoan {
 public:
  ByKeyLoan() : buffer_(std::exchange(thread_scratch().by_key, {})) {}
  ~ByKeyLoan() {
    std::vector<double>& home = thread_scratch().by_key;
    if (buffer_.capacity() > home.capacity()) home = std::move(buffer_);
  }
  ByKeyLoan(const ByKeyLoan&) = delete;
  ByKeyLoan& operator=(const ByKeyLoan&) = delete;
  std::vector<double>& buffer() { return buffer_; }

 private:
  std::vector<double> buffer_;
};

double feedback_factor(const FeedbackIndex& index, const MinHashSignature& query,
                       double threshold) {
  if (index.empty()) return 0.0;
  double weight = 0.0;
  double weighted = 0.0;
  for (const std::size_t position : index.candidates(query)) {
    const FeedbackRecord& record = index[position];
    const double est = static_cast<double>(signature_matches(record.query_signature, query)) *
                       kInverseSignatureLength;
    if (est >= threshold) {
      weight += est;
      weighted += est * record.outcome;
    }
  }
  if (!(weight > 0.0)) return 0.0;
  return std::fmin(std::fmax(weighted / weight, -1.0), 1.0);
}

// Ascending key = the ranking order: higher score first, NaN after every number, -0.0 level
// with 0.0. Sorting (key, position) gives exactly what a stable sort on the score gives.
std::uint64_t rank_key(double score) {
  if (std::isnan(score)) return std::numeric_limits<std::uint64_t>::max();
  if (score == 0.0) score = 0.0;
  const auto bits = std::bit_cast<std::uint64_t>(score);
  const std::uint64_t ascending = (bits >> 63) != 0 ? ~bits : bits | (1ull << 63);
  return ~ascending;
}

std::uint64_t tie_break_draw(std::string_view query) {
  const std::uint64_t seed = TIE_BREAK_COUNTER.fetch_add(1, std::memory_order_seq_cst);
  return xxhash_with_seed(query, seed);
}

// The leading runs tie breaking looks at, over a ranked prefix: candidates level with the
// first, and candidates whose similarity band overlaps the first's at a nearby score. Each run
// stops at its first failing candidate, so a run shorter than the prefix is the same as over
// the whole ranking.
struct TieRuns {
  std::size_t exact = 0;
  std::size_t overlap = 0;
};

TieRuns tie_runs(std::span<const std::uint32_t> order, const std::vector<Working>& candidates) {
  TieRuns runs;
  if (order.empty()) return runs;
  const Working& first = candidates[order[0]];
  const double top = first.final_score;
  while (runs.exact < order.size() &&
         std::fabs(candidates[order[runs.exact]].final_score - top) < kTieBand)
    ++runs.exact;
  while (runs.overlap < order.size()) {
    const Working& c = candidates[order[runs.overlap]];
    if (!(first.upper >= c.lower && c.upper >= first.lower &&
          top - c.final_score < kOverlapScoreGap))
      break;
    ++runs.overlap;
  }
  return runs;
}

// Shuffles near-ties at the top in place; `order` holds candidate positions, best first, at
// least as many as either run covers.
void break_ties(std::span<std::uint32_t> order, TieRuns runs, std::string_view query,
                double epsilon) {
  if (order.empty()) return;
  std::size_t group = runs.exact;
  if (epsilon > 0.0 && runs.overlap > runs.exact) {
    const double r = static_cast<double>(tie_break_draw(query) % 1000) / 1000.0;
    if (epsilon > r) group = runs.overlap;
  }
  if (group < 2) return;
  std::uint64_t state = tie_break_draw(query);
  for (std::size_t i = group; i >= 2; --i) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::swap(order[i - 1], order[z % i]);
  }
}

// Puts candidates in ranking order into `ranked` (positions, best first) and returns how many
// are in order. Under a limit only a prefix is ordered: the best `limit` and one more, grown
// while a tie run reaches its end, so that tie breaking shuffles exactly the group it would
// over the full ranking. Sorting (key, position) pairs is a total order, so the prefix is the
// full sort's prefix.
std::size_t rank_candidates(std::vector<std::pair<std::uint64_t, std::uint32_t>>& keyed,
                            std::size_t limit, const std::vector<Working>& candidates,
                            std::vector<std::uint32_t>& ranked, TieRuns& runs) {
  const std::size_t n = keyed.size();
  ranked.resize(n);
  std::size_t sorted = 0;
  std::size_t want = limit < n ? limit + 1 : n;
  for (;;) {
    if (want < n) std::nth_element(keyed.begin() + sorted, keyed.begin() + want, keyed.end());
    std::sort(keyed.begin() + sorted, keyed.begin() + want);
    for (std::size_t i = sorted; i < want; ++i) ranked[i] = keyed[i].second;
    sorted = want;
    runs = tie_runs(std::span<const std::uint32_t>(ranked.data(), sorted), candidates);
    if (sorted == n || (runs.exact < sorted && runs.overlap < sorted)) return sorted;
    want = std::min(n, sorted * 4);
  }
}

// The name hash's first word, XXH3-64 of the name with seed 0, stored little-endian.
std::uint64_t first_word(const NameHash& hash) {
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | hash[static_cast<std::size_t>(i)];
  return word;
}

// What both forms of a result copy from the record.
template <class Result>
void fill_agent(Result& out, const Working& c) {
  const auto& [name, record] = *c.agent;
  out.agent_name = name;
  out.endpoint = record.endpoint;
  out.metadata = record.metadata;
}

void fill(ScoredCandidate& out, const Working& c) {
  fill_agent(out, c);
  out.raw_similarity = c.similarity;
  out.similarity = c.similarity;
  out.similarity_lower = c.lower;
  out.similarity_upper = c.upper;
  out.diameter = c.agent->second.diameter;
  out.enzyme_score = c.enzyme_score;
  out.feedback_factor = c.feedback_factor;
  out.final_score = c.final_score;
}

void fill(DiscoveryResult& out, const Working& c) {
  fill_agent(out, c);
  out.similarity = c.similarity;
  out.score = c.final_score;
}

// Copies ranked candidates out of their records. The records are scattered over the heap and
// visited in sequence, so each is asked for well ahead of use.
template <class Result>
void copy_out(const std::vector<Working>& ranked, std::vector<Result>& out) {
  out.reserve(ranked.size());
  for (std::size_t r = 0; r < ranked.size(); ++r) {
    if (r + kPrefetchDistance < ranked.size()) {
      const AgentTable::value_type* ahead = ranked[r + kPrefetchDistance].agent;
      __builtin_prefetch(&ahead->first);
      __builtin_prefetch(&ahead->second.diameter);
      __builtin_prefetch(&ahead->second.endpoint);
      __builtin_prefetch(&ahead->second.metadata);
    }
    fill(out.emplace_back(), ranked[r]);
  }
}

// The listed agent a stable highest-first sort of the listing would put first, where a later
// report of a name replaces the earlier one: the best agent the scorer returned, reported
// when nothing passes the threshold. It may be one that is not registered.
Best best_listed(const ScoreList& scores) {
  if (!scores.may_repeat) {
    const ScorePair* top = nullptr;
    for (const ScorePair& p : scores.pairs) {
      if (top == nullptr || ranks_above(p.second, top->second)) top = &p;
    }
    if (top == nullptr) return std::nullopt;
    return std::pair<std::string, double>(std::string(top->first), top->second);
  }
  Scratch& scratch = thread_scratch();
  NameTable& names = scratch.listed;
  std::vector<double>& similarity = scratch.listed_similarity;
  names.reset(scores.pairs.size());
  similarity.clear();
  for (const auto& [name, value] : scores.pairs) {
    const auto [number, added] = names.insert(name, NameTable::hash(name));
    if (added) {
      similarity.push_back(value);
    } else {
      similarity[number] = value;
    }
  }
  std::size_t top = NameTable::npos;
  for (std::size_t i = 0; i < similarity.size(); ++i) {
    if (top == NameTable::npos || ranks_above(similarity[i], similarity[top])) top = i;
  }
  if (top == NameTable::npos) return std::nullopt;
  return std::pair<std::string, double>(std::string(names.name(top)), similarity[top]);
}

// Where the ranking reads each row's similarity: through the row's key, straight from what
// the scorer wrote by key, or at the row's position where reports by name had to be placed.
struct SimilarityColumn {
  const double* values;
  bool by_key;

  double at(std::size_t position, const RoutingFlags* flags) const {
    return by_key ? values[flags[position].key] : values[position];
  }
};

// The column of a scorer's reports. Reports listed rather than written by key are placed at
// their agents' positions: by key, else by name; names that are not registered are left out,
// and a later report of a name replaces an earlier one.
SimilarityColumn similarity_column(const RegistryOrder& order, const ScoreList& scores) {
  if (!scores.by_key.empty() && scores.pairs.empty()) return {scores.by_key.data(), true};
  Scratch& scratch = thread_scratch();
  std::vector<double>& similarity = scratch.similarity;
  const std::size_t total = order.entries.size();
  similarity.assign(total, 0.0);
  if (!scores.by_key.empty()) {
    for (std::size_t p = 0; p < total; ++p) similarity[p] = scores.by_key[order.flags[p].key];
  }
  NameTable& names = scratch.names;
  bool names_ready = false;
  for (std::size_t i = 0; i < scores.pairs.size(); ++i) {
    if (scores.keys[i] != 0) {
      const std::uint32_t position = order.position_of(scores.keys[i]);
      if (position != RegistryOrder::kNoPosition) similarity[position] = scores.pairs[i].second;
      continue;
    }
    if (!names_ready) {
      // The registry's names hash to the first words of their name hashes: no hashing here.
      names.reset(total);
      for (const auto* entry : order.entries) {
        names.insert(entry->first, first_word(entry->second.name_hash));
      }
      names_ready = true;
    }
    const std::size_t position = names.find(scores.pairs[i].first);
    if (position != NameTable::npos) similarity[position] = scores.pairs[i].second;
  }
  return {similarity.data(), false};
}

// The agents the kernels see (every one whose circuit is not open) with their similarities,
// and among them those at or above the threshold.
struct Eligible {
  std::span<const KernelInput> inputs;
  // The registry position of each input; empty when every agent is eligible, input positions
  // then being registry positions.
  std::span<const std::uint32_t> positions;
  std::span<const std::uint32_t> passing;  // input positions at or above the threshold

  std::uint32_t position_of(std::size_t input) const {
    return positions.empty() ? static_cast<std::uint32_t>(input) : positions[input];
  }
};

// One pass over the rows. With no circuit open every agent is eligible and the registry's own
// inputs serve; otherwise the eligible ones are gathered and the open ones listed in `open`.
// Which agents pass is close to random, so they are listed without a branch.
Eligible gather_eligible(RegistryOrder& order, SimilarityColumn column, double threshold,
                         Scratch& scratch) {
  const std::size_t total = order.entries.size();
  const RoutingFlags* const flags = order.flags.data();
  // Buffers written through pointers only grow: a push_back's checks would double the pass.
  if (scratch.passing.size() < total) scratch.passing.resize(total);
  std::uint32_t* const passing = scratch.passing.data();
  std::size_t passing_count = 0;
  scratch.open.clear();
  Eligible eligible;
  if (order.open_count == 0) {
    KernelInput* const in = order.inputs.data();
    for (std::size_t p = 0; p < total; ++p) {
      const double sim = column.at(p, flags);
      in[p].similarity = sim;
      passing[passing_count] = static_cast<std::uint32_t>(p);
      passing_count += threshold > sim ? 0 : 1;  // equal passes, and so does NaN
    }
    eligible.inputs = std::span<const KernelInput>(in, total);
  } else {
    if (scratch.inputs.size() < total) {
      scratch.inputs.resize(total);
      scratch.eligible.resize(total);
    }
    KernelInput* const in = scratch.inputs.data();
    std::uint32_t* const positions = scratch.eligible.data();
    std::uint32_t count = 0;
    for (std::size_t p = 0; p < total; ++p) {
      if (flags[p].open) {
        scratch.open.push_back(static_cast<std::uint32_t>(p));
        continue;
      }
      const double sim = column.at(p, flags);
      in[count] = order.inputs[p];
      in[count].similarity = sim;
      positions[count] = static_cast<std::uint32_t>(p);
      passing[passing_count] = count;
      passing_count += threshold > sim ? 0 : 1;
      ++count;
    }
    eligible.inputs = std::span<const KernelInput>(in, count);
    eligible.positions = std::span<const std::uint32_t>(positions, count);
  }
  eligible.passing = std::span<const std::uint32_t>(passing, passing_count);
  return eligible;
}

// The query's own signature, which weighs feedback: signed on first use, since most queries
// meet no agent that has any.
class QuerySignature {
 public:
  QuerySignature(std::string_view query, const LshConfig& config)
      : query_(query), config_(config) {}
  const MinHashSignature& get() {
    if (!signature_) signature_ = compute_signature(query_, config_);
    return *signature_;
  }

 private:
  std::string_view query_;
  const LshConfig& config_;
  std::optional<MinHashSignature> signature_;
};

// The passing agents that the filters keep, with their feedback factors; `selected` gets the
// input position of each. Only filters and feedback need the record itself, and most agents
// have neither.
void pick_candidates(const RegistryOrder& order, const Eligible& eligible, const FilterMap* filters,
                     QuerySignature& signature, double threshold, Scratch& scratch) {
  const bool filtering = filters != nullptr && !filters->empty();
  scratch.candidates.clear();
  scratch.selected.clear();
  for (const std::uint32_t input : eligible.passing) {
    const std::uint32_t p = eligible.position_of(input);
    const AgentTable::value_type& entry = *order.entries[p];
    if (filtering && !passes_filters(filters, entry.second.metadata)) continue;
    Working c;
    c.agent = &entry;
    c.similarity = eligible.inputs[input].similarity;
    c.feedback_factor = order.flags[p].has_feedback
                            ? feedback_factor(entry.second.feedback, signature.get(), threshold)
                            : 0.0;
    scratch.candidates.push_back(c);
    scratch.selected.push_back(input);
  }
}

// Each candidate's enzyme score, similarity band and final score.
void blend(std::vector<Working>& candidates, const std::vector<double>& enzyme_scores) {
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    Working& c = candidates[k];
    const double sim = c.similarity;
    c.enzyme_score = enzyme_scores[k];
    const double half = 1.96 * std::sqrt((1.0 - sim) * sim * kInverseSignatureLength);
    // NaN bounds fall back to the other operand, as fmax and fmin have it.
    const double lower = sim - half;
    const double upper = sim + half;
    c.lower = lower > 0.0 ? lower : 0.0;
    c.upper = upper < 1.0 ? upper : 1.0;
    c.final_score = (1.0 + 0.2 * c.feedback_factor) * ((0.5 + 0.5 * c.enzyme_score) * sim);
  }
}

// Ranks the candidates, breaks near-ties and copies out the best `limit` of them, in the form
// the caller asked for.
void rank_into(const PipelineContext& ctx, std::string_view query, double epsilon, Scratch& scratch,
               PipelineOutput& output) {
  const std::vector<Working>& candidates = scratch.candidates;
  std::vector<std::uint32_t>& ranked = scratch.order_of_candidates;
  std::vector<std::pair<std::uint64_t, std::uint32_t>>& keyed = scratch.keyed;
  keyed.resize(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    keyed[i] = {rank_key(candidates[i].final_score), static_cast<std::uint32_t>(i)};
  }
  TieRuns runs;
  const std::size_t in_order = rank_candidates(keyed, ctx.limit, candidates, ranked, runs);
  break_ties(std::span<std::uint32_t>(ranked.data(), in_order), runs, query, epsilon);

  // Candidates in rank order, so that copying out walks them in sequence; only those
  // returned are copied.
  const std::size_t returned = std::min(ctx.limit, in_order);
  std::vector<Working>& in_rank_order = scratch.in_rank_order;
  in_rank_order.clear();
  in_rank_order.reserve(returned);
  for (std::size_t r = 0; r < returned; ++r) in_rank_order.push_back(candidates[ranked[r]]);
  if (ctx.brief) {
    copy_out(in_rank_order, output.brief);
  } else {
    copy_out(in_rank_order, output.results);
  }
}

// Routes by the evaluation's votes and counts a forward for every agent carrying a routed
// hash, open circuits included. Names are distinct, and so are their 256-bit hashes: among
// the eligible agents only the one a vote named can carry a routed hash.
void count_forwards(RegistryOrder& order, const Eligible& eligible, SLNEnzyme& enzyme,
                    const KernelEvaluation& evaluation, std::span<const std::uint32_t> open) {
  const auto add_forward = [&](std::uint32_t position) {
    // Atomic, so that forwards may be counted while other readers are active.
    order.entries[position]->second.forwards_count.fetch_add(1);
    ++order.inputs[position].forwards;
  };
  // The evaluation holds exactly the votes routing would collect for these agents now.
  const RoutingDecision decision = enzyme.process_votes(evaluation.votes);
  const std::vector<KernelVote>& votes = evaluation.votes;
  for (const NameHash& routed : decision.agents) {
    for (std::size_t v = 0; v < votes.size(); ++v) {
      if (votes[v].agent == routed) {
        add_forward(eligible.position_of(evaluation.vote_positions[v]));
        break;
      }
    }
    for (const std::uint32_t position : open) {
      if (order.entries[position]->second.name_hash == routed) add_forward(position);
    }
  }
}

// Ranks the registry for `query` given the scorer's reports. The kernels blend scores only
// for candidates, though every eligible agent takes part in their votes and in each kernel's
// greatest score.
PipelineOutput score_candidates(const PipelineContext& ctx, std::string_view query,
                                const ScoreList& scores, const FilterMap* filters, double epsilon) {
  PipelineOutput output;
  RegistryOrder& order = ctx.order;
  if (order.entries.empty()) return output;

  const LshConfig& lsh = ctx.scorer.config;
  QuerySignature signature(query, lsh);
  const MonoTime now = ctx.clock.monotonic_now();
  Scratch& scratch = thread_scratch();
  const double threshold = lsh.similarity_threshold;
  const Eligible eligible =
      gather_eligible(order, similarity_column(order, scores), threshold, scratch);
  pick_candidates(order, eligible, filters, signature, threshold, scratch);

  output.evaluation = ctx.enzyme.evaluate_selected(
      eligible.inputs,
      [&](std::size_t input) {
        return order.entries[eligible.position_of(input)]->second.name_hash;
      },
      scratch.selected, now);
  blend(scratch.candidates, output.evaluation.scores);
  rank_into(ctx, query, epsilon, scratch, output);
  count_forwards(order, eligible, ctx.enzyme, output.evaluation, scratch.open);

  if (output.empty() && !scores.wrote_by_key) output.best_below_threshold = best_listed(scores);
  return output;
}

}  // namespace

PipelineOutput run_pipeline(const PipelineContext& ctx, std::string_view query,
                            const FilterMap* filters, const CoOccurrenceExpander& expander,
                            double epsilon) {
  // Scorers always see the query lower-cased with single spaces, widened or not.
  std::vector<std::string> expanded = text::split_whitespace_lower(query);
  if (ctx.expand_query) expanded = expander.expand_query(expanded);
  std::string expanded_text;
  for (std::size_t i = 0; i < expanded.size(); ++i) {
    if (i > 0) expanded_text += ' ';
    expanded_text += expanded[i];
  }
  const Scorer& scorer = *ctx.scorer.scorer;
  // Where every agent has a key, scorers write similarities straight where the ranking reads
  // them, without listing names.
  ScoreList scores;
  ByKeyLoan loan;
  if (ctx.order.all_keyed && !ctx.order.entries.empty()) {
    std::vector<double>& by_key = loan.buffer();
    by_key.assign(ctx.order.position_of_key.size(), 0.0);
    scores.by_key = by_key;
  }
  if (auto error = scorer.score_into({expanded_text}, scores)) {
    log::event_at(log::Level::Error, log::kTargetPipeline, "event src/network/pipeline.rs:292",
                  "Scorer failed during query evaluation", [&] {
                    return std::vector<log::Field>{{"error", *error}};
                  });
    return {};
  }
  PipelineOutput output = score_candidates(ctx, query, scores, filters, epsilon);
  if (output.empty() && scores.wrote_by_key) {
    // Naming the best agent below the threshold takes the scorer's own listing.
    const ScoreResult listed = scorer.score(expanded_text);
    if (listed) output.best_below_threshold = best_listed(listed.value());
  }
  return output;
}

PipelineOutput run_pipeline_with_scores(const PipelineContext& ctx, std::string_view query,
                                        ScoreMap scores, const FilterMap* filters, double epsilon) {
  ScoreList listed;
  listed.reserve(scores.size());
  for (const auto& [name, sim] : scores) listed.add(0, name, sim);
  return score_candidates(ctx, query, listed, filters, epsilon);
}

}  // namespace kova
