// One query in, ranked candidates out.
//
// The per-agent work is one pass over the registry's dense kernel inputs, with similarities
// placed by the agents' scorer keys, and the kernels' passes over the eligible agents' inputs.
// Nothing is allocated per agent, and records are touched only for candidates (filters,
// feedback) and for what results copy: names and endpoints, copied only for the
// candidates that pass the threshold.

#include "network/pipeline.hpp"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/lsh.hpp"
#include "log/log.hpp"
#include "text/unicode.hpp"

namespace kova {

std::atomic<std::uint64_t> TIE_BREAK_COUNTER{0};

namespace {

using ScorePair = std::pair<std::string_view, double>;

constexpr double kTieBand = 0.0001;
constexpr double kOverlapScoreGap = 0.05;
constexpr double kInverseSignatureLength = 0.015625;  // 1 / 64
constexpr std::size_t kPrefetchDistance = 8;

// Byte equality, inline for the short texts agent names usually are.
bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) {
    std::uint64_t x0, y0, x1, y1;
    std::memcpy(&x0, a, 8);
    std::memcpy(&y0, b, 8);
    std::memcpy(&x1, a + n - 8, 8);
    std::memcpy(&y1, b + n - 8, 8);
    return x0 == y0 && x1 == y1;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The distinct names of a list of (name, similarity) pairs in which a later pair replaces an
// earlier one of the same name; needed only when nothing passed the threshold and the best
// returned name is reported. Open addressing with linear probing; a slot holds the high half
// of the name's hash and the entry's position plus one (0 marks an empty slot).
class ScoreLookup {
 public:
  explicit ScoreLookup(std::span<const ScorePair> pairs) {
    std::size_t capacity = 16;
    while (capacity < pairs.size() * 2) capacity *= 2;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    entries_.reserve(pairs.size());
    bytes_.reserve(pairs.size() * 16);
    for (const auto& [name, similarity] : pairs) {
      const std::uint64_t h = hash(name);
      std::uint64_t& slot = slots_[probe(name, h)];
      if (slot != 0) {
        entries_[(slot & kIndexMask) - 1].similarity = similarity;
        continue;
      }
      slot = (h & ~kIndexMask) | (entries_.size() + 1);
      entries_.push_back({bytes_.size(), name.size(), similarity});
      bytes_.insert(bytes_.end(), name.begin(), name.end());
    }
  }

  // The entry a stable highest-first sort of the distinct names would put first (NaN after
  // every number). Among equal similarities the first returned name wins.
  std::optional<std::pair<std::string, double>> best() const {
    const Entry* top = nullptr;
    for (const Entry& e : entries_) {
      if (top == nullptr || (!std::isnan(e.similarity) &&
                             (std::isnan(top->similarity) || e.similarity > top->similarity))) {
        top = &e;
      }
    }
    if (top == nullptr) return std::nullopt;
    return std::pair<std::string, double>(std::string(name_of(*top)), top->similarity);
  }

 private:
  static constexpr std::uint64_t kIndexMask = 0xFFFF'FFFFull;
  struct Entry {
    std::size_t offset;
    std::size_t size;
    double similarity;
  };

  static std::uint64_t hash(std::string_view name) { return XXH3_64bits(name.data(), name.size()); }
  std::string_view name_of(const Entry& e) const { return {bytes_.data() + e.offset, e.size}; }

  // Position of the slot holding `name`, or of the empty slot where it would go.
  std::size_t probe(std::string_view name, std::uint64_t h) const {
    const std::uint64_t tag = h & ~kIndexMask;
    for (std::size_t pos = h & mask_;; pos = (pos + 1) & mask_) {
      const std::uint64_t slot = slots_[pos];
      if (slot == 0) return pos;
      if ((slot & ~kIndexMask) != tag) continue;
      const Entry& e = entries_[(slot & kIndexMask) - 1];
      if (e.size == name.size() && same_bytes(bytes_.data() + e.offset, name.data(), e.size))
        return pos;
    }
  }

  std::vector<std::uint64_t> slots_;
  std::vector<Entry> entries_;
  std::vector<char> bytes_;
  std::size_t mask_ = 0;
};

// The pair a stable highest-first sort would put first (NaN after every number), for pairs
// whose names are known to be distinct.
std::optional<std::pair<std::string, double>> best_of_distinct(std::span<const ScorePair> pairs) {
  const ScorePair* top = nullptr;
  for (const ScorePair& p : pairs) {
    if (top == nullptr ||
        (!std::isnan(p.second) && (std::isnan(top->second) || p.second > top->second))) {
      top = &p;
    }
  }
  if (top == nullptr) return std::nullopt;
  return std::pair<std::string, double>(std::string(top->first), top->second);
}

// The best of a scorer's results. Keyed results come from a scorer that lists each agent
// once: nothing to merge.
std::optional<std::pair<std::string, double>> best_returned(std::span<const ScorePair> scores,
                                                            std::span<const std::uint32_t> keys) {
  return keys.size() == scores.size() && !scores.empty() ? best_of_distinct(scores)
                                                         : ScoreLookup(scores).best();
}
std::optional<std::pair<std::string, double>> best_returned(const ScoreList& list) {
  return best_returned(list.pairs, list.keys);
}

// The registered agents by name, for matching names from scorers that report no keys. The
// table's hashes are the first words of the agents' name hashes, which are XXH3-64 of the
// names with seed 0, so indexing the registry costs no hashing; the names are copied into one
// contiguous block so that matching compares against nearby memory.
class NameIndex {
 public:
  // Empties the index and sizes it for `expected` names; the memory stays between uses.
  void reset(std::size_t expected) {
    entries_.clear();
    entries_.reserve(expected);
    bytes_.clear();
    bytes_.reserve(expected * 16);
  }

  // Names are distinct (they come from the registry); `h` is the name's XXH3-64, seed 0.
  void add(std::string_view name, std::uint64_t h) {
    entries_.push_back({bytes_.size(), name.size(), h});
    bytes_.append(name);
  }

  // Builds the table once every name is added.
  void seal() {
    std::size_t capacity = 16;
    while (capacity < entries_.size() * 2) capacity *= 2;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::uint64_t h = entries_[i].hash;
      std::size_t pos = h & mask_;
      while (slots_[pos] != 0) pos = (pos + 1) & mask_;
      slots_[pos] = (h & ~kIndexMask) | (i + 1);
    }
  }

  // Position, in the order of add(), of the agent named `name`; npos when none is.
  std::size_t find(std::string_view name) const {
    const std::uint64_t h = XXH3_64bits(name.data(), name.size());
    const std::uint64_t tag = h & ~kIndexMask;
    for (std::size_t pos = h & mask_;; pos = (pos + 1) & mask_) {
      const std::uint64_t slot = slots_[pos];
      if (slot == 0) return npos;
      if ((slot & ~kIndexMask) != tag) continue;
      const std::size_t index = (slot & kIndexMask) - 1;
      const Entry& e = entries_[index];
      if (e.size == name.size() && same_bytes(bytes_.data() + e.offset, name.data(), e.size))
        return index;
    }
  }

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

 private:
  static constexpr std::uint64_t kIndexMask = 0xFFFF'FFFFull;
  struct Entry {
    std::size_t offset;
    std::size_t size;
    std::uint64_t hash;
  };
  std::vector<std::uint64_t> slots_;
  std::vector<Entry> entries_;
  std::string bytes_;
  std::size_t mask_ = 0;
};

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
// Nothing the pipeline calls while using them can re-enter it.
struct Scratch {
  RegistryOrder order;                  // for callers that keep none
  std::vector<double> similarity;       // by registry position
  std::vector<double> by_key;           // by key, from scorers that write there
  std::vector<KernelInput> inputs;      // gathered when some circuit is open
  std::vector<std::uint32_t> eligible;  // registry position of each gathered input
  std::vector<std::uint32_t> passing;   // input positions at or above the threshold
  std::vector<std::uint32_t> open;      // registry positions of open circuits
  NameIndex names;
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

// Writes each scored agent's similarity at its registry position. Names the scorer returned
// that are not registered are left out; a later pair with the same name replaces an earlier
// one. Pairs carrying a key are placed by it; the others by name.
void place_similarities(const RegistryOrder& order, std::span<const ScorePair> scores,
                        std::span<const std::uint32_t> keys, std::vector<double>& similarity) {
  similarity.assign(order.entries.size(), 0.0);
  const bool keyed = keys.size() == scores.size();
  NameIndex& names = thread_scratch().names;
  bool names_ready = false;
  const std::uint32_t key_limit = static_cast<std::uint32_t>(order.position_of_key.size());
  for (std::size_t i = 0; i < scores.size(); ++i) {
    if (keyed && keys[i] != 0) {
      const std::uint32_t position =
          keys[i] < key_limit ? order.position_of_key[keys[i]] : RegistryOrder::kNoPosition;
      if (position != RegistryOrder::kNoPosition) similarity[position] = scores[i].second;
      continue;
    }
    if (!names_ready) {
      names.reset(order.entries.size());
      for (const auto* entry : order.entries) {
        names.add(entry->first, first_word(entry->second.name_hash));
      }
      names.seal();
      names_ready = true;
    }
    const std::size_t position = names.find(scores[i].first);
    if (position != NameIndex::npos) similarity[position] = scores[i].second;
  }
}

// Ranks the registry for `query` given its similarities: (name, similarity) pairs, with keys
// when the scorer reported them, or else `by_key`, the similarity at each agent's key.
PipelineOutput score_candidates(const PipelineContext& ctx, std::string_view query,
                                std::span<const ScorePair> scores,
                                std::span<const std::uint32_t> keys,
                                const std::vector<double>* by_key, const FilterMap* filters,
                                double epsilon) {
  PipelineOutput output;
  if (ctx.agents.empty()) return output;

  const LshConfig& lsh = ctx.scorer.config;
  // The query's own signature weighs feedback; most queries meet no agent that has any.
  std::optional<MinHashSignature> signature;
  const auto query_signature = [&]() -> const MinHashSignature& {
    if (!signature) signature = compute_signature(query, lsh);
    return *signature;
  };
  const MonoTime now = ctx.clock.monotonic_now();

  Scratch& scratch = thread_scratch();
  RegistryOrder* order = ctx.order;
  if (order == nullptr) {
    scratch.order.rebuild(ctx.agents);
    order = &scratch.order;
  }
  // Similarities by key are read through each row's key; the others are first placed by
  // registry position.
  std::vector<double>& similarity = scratch.similarity;
  if (by_key == nullptr) place_similarities(*order, scores, keys, similarity);

  // One pass over the rows gives the kernels their inputs and finds the agents at or above
  // the threshold; a second picks the candidates among them. The kernels blend scores only
  // for candidates, though every eligible agent takes part in their votes and in each
  // kernel's greatest score. Which agents pass is close to random, so the first pass lists
  // them without a branch.
  const double threshold = lsh.similarity_threshold;
  const bool filtering = filters != nullptr && !filters->empty();
  const std::size_t total = order->entries.size();
  const RoutingFlags* const flags = order->flags.data();
  const double* const sims = by_key != nullptr ? by_key->data() : similarity.data();
  const auto similarity_at = [&](std::size_t p) {
    return by_key != nullptr ? sims[flags[p].key] : sims[p];
  };
  // Buffers written through pointers only grow: a push_back's checks would double the pass.
  if (scratch.passing.size() < total) scratch.passing.resize(total);
  std::uint32_t* const passing = scratch.passing.data();  // input position of each
  std::size_t passing_count = 0;
  // With no circuit open every agent is eligible and the registry's own inputs serve, input
  // positions being registry positions; otherwise the eligible ones are gathered.
  const bool all_eligible = order->open_count == 0;
  std::vector<std::uint32_t>& open = scratch.open;  // left out of all but forward counting
  open.clear();
  std::span<const KernelInput> inputs;
  std::span<const std::uint32_t> eligible;  // registry position of each input, when gathered
  if (all_eligible) {
    KernelInput* const in = order->inputs.data();
    for (std::size_t p = 0; p < total; ++p) {
      const double sim = similarity_at(p);
      in[p].similarity = sim;
      passing[passing_count] = static_cast<std::uint32_t>(p);
      passing_count += threshold > sim ? 0 : 1;  // equal passes, and so does NaN
    }
    inputs = std::span<const KernelInput>(in, total);
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
        open.push_back(static_cast<std::uint32_t>(p));
        continue;
      }
      const double sim = similarity_at(p);
      in[count] = order->inputs[p];
      in[count].similarity = sim;
      positions[count] = static_cast<std::uint32_t>(p);
      passing[passing_count] = count;
      passing_count += threshold > sim ? 0 : 1;
      ++count;
    }
    inputs = std::span<const KernelInput>(in, count);
    eligible = std::span<const std::uint32_t>(positions, count);
  }
  const auto position_of = [&](std::size_t input) -> std::uint32_t {
    return all_eligible ? static_cast<std::uint32_t>(input) : eligible[input];
  };

  std::vector<Working>& candidates = scratch.candidates;
  std::vector<std::uint32_t>& selected = scratch.selected;  // input position of each candidate
  candidates.clear();
  selected.clear();
  for (std::size_t k = 0; k < passing_count; ++k) {
    const std::uint32_t input = passing[k];
    const std::uint32_t p = position_of(input);
    // Only filters and feedback need the record itself; most agents have neither.
    const AgentTable::value_type& entry = *order->entries[p];
    if (filtering && !passes_filters(filters, entry.second.metadata)) continue;
    Working c;
    c.agent = &entry;
    c.similarity = inputs[input].similarity;
    c.feedback_factor = flags[p].has_feedback
                            ? feedback_factor(entry.second.feedback, query_signature(), threshold)
                            : 0.0;
    candidates.push_back(c);
    selected.push_back(input);
  }
  const auto entry_of = [&](std::size_t input) -> const AgentTable::value_type& {
    return *order->entries[position_of(input)];
  };
  const auto add_forward = [&](std::uint32_t position) {
    // The registry is read-only here except for this counter, which is atomic so that
    // forwards may be counted while other readers are active.
    const AgentRecord& record = order->entries[position]->second;
    const_cast<std::atomic<std::uint64_t>&>(record.forwards_count).fetch_add(1);
    ++order->inputs[position].forwards;
  };

  output.evaluation = ctx.enzyme.evaluate_selected(
      inputs, [&](std::size_t input) { return entry_of(input).second.name_hash; }, selected, now);
  const std::vector<double>& enzyme_scores = output.evaluation.scores;
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

  // The evaluation holds exactly the votes routing would collect for these agents now.
  const RoutingDecision decision = ctx.enzyme.process_votes(output.evaluation.votes);
  // Every agent carrying a routed hash gets the forward, open circuits included. Names are
  // distinct, and so are their 256-bit hashes: among the eligible agents only the one a vote
  // named can carry a routed hash.
  const std::vector<KernelVote>& votes = output.evaluation.votes;
  for (const NameHash& routed : decision.agents) {
    for (std::size_t v = 0; v < votes.size(); ++v) {
      if (votes[v].agent == routed) {
        add_forward(position_of(output.evaluation.vote_positions[v]));
        break;
      }
    }
    for (const std::uint32_t position : open) {
      if (order->entries[position]->second.name_hash == routed) add_forward(position);
    }
  }

  if (output.empty() && by_key == nullptr) {
    output.best_below_threshold = best_returned(scores, keys);
  }
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
  // A scorer that knows every agent by key writes similarities straight where the ranking
  // reads them, without listing names.
  if (ctx.order != nullptr && ctx.order->all_keyed && !ctx.agents.empty()) {
    std::vector<double>& by_key = thread_scratch().by_key;
    by_key.assign(ctx.order->position_of_key.size(), 0.0);
    if (scorer.score_keyed(expanded_text, by_key)) {
      PipelineOutput output = score_candidates(ctx, query, {}, {}, &by_key, filters, epsilon);
      if (output.empty()) {
        // Naming the best agent below the threshold takes the scorer's own listing.
        const ScoreResult scored = scorer.score(expanded_text);
        if (scored) output.best_below_threshold = best_returned(scored.value());
      }
      return output;
    }
  }
  const ScoreResult scored = scorer.score(expanded_text);
  if (!scored) {
    log::event(log::Level::Error, log::kTargetPipeline, "Scorer failed during query evaluation",
               [&] { return std::vector<log::Field>{{"error", scored.error()}}; });
    return {};
  }
  return score_candidates(ctx, query, scored.value().pairs, scored.value().keys, nullptr, filters,
                          epsilon);
}

PipelineOutput run_pipeline_with_scores(const PipelineContext& ctx, std::string_view query,
                                        ScoreMap scores, const FilterMap* filters, double epsilon) {
  std::vector<ScorePair> pairs;
  pairs.reserve(scores.size());
  for (const auto& [name, sim] : scores) pairs.emplace_back(name, sim);
  return score_candidates(ctx, query, pairs, {}, nullptr, filters, epsilon);
}

void RegistryOrder::rebuild(const AgentTable& agents) {
  entries.clear();
  entries.reserve(agents.size());
  std::uint32_t key_limit = 0;
  for (const auto& entry : agents) {
    entries.push_back(&entry);
    key_limit = std::max(key_limit, entry.second.key + 1);
  }
  position_of_key.assign(key_limit, kNoPosition);
  all_keyed = true;
  for (std::size_t p = 0; p < entries.size(); ++p) {
    const std::uint32_t key = entries[p]->second.key;
    if (key != 0) position_of_key[key] = static_cast<std::uint32_t>(p);
    all_keyed = all_keyed && key != 0;
  }
  refresh_rows();
}

void RegistryOrder::refresh_rows() {
  inputs.assign(entries.size(), KernelInput{});
  flags.assign(entries.size(), RoutingFlags{});
  open_count = 0;
  for (std::size_t p = 0; p < entries.size(); ++p) read_row(p);
}

bool RegistryOrder::refresh_row(std::uint32_t key) {
  if (key == 0 || key >= position_of_key.size()) return false;
  const std::uint32_t position = position_of_key[key];
  if (position == kNoPosition) return false;
  read_row(position);
  return true;
}

void RegistryOrder::read_row(std::size_t position) {
  const AgentRecord& record = entries[position]->second;
  open_count -= flags[position].open ? 1 : 0;
  inputs[position] = KernelInput::of(record, 0.0);
  flags[position] = RoutingFlags::of(record);
  open_count += flags[position].open ? 1 : 0;
}

}  // namespace kova
