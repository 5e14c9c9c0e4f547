#include "scorer/minhash.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/string_hash.hpp"
#include "scorer/truncate.hpp"
#include "text/unicode.hpp"

namespace kova {

namespace {

// Per-thread buffers of a query, kept between queries: for a large registry fresh ones would
// cost page faults on every query.
struct Scratch {
  std::vector<std::uint8_t> best;   // by store entry
  std::vector<std::uint32_t> hits;  // entries reaching the floor
};

Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Compaction runs once at least this many stored signatures are unreferenced and they make
// up half of the store.
constexpr std::size_t kCompactAfter = 1024;

}  // namespace

// All capability signatures live in one contiguous vector and every agent is a range of it,
// so a query walks memory linearly and compares 64-byte blocks without touching the map.
// Names are the map's keys: nodes never move, so the views in `entries` and in a ScoreList
// stay valid until the agent is removed.
struct MinHashScorer::Store {
  struct Entry {
    std::string_view name;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint32_t key = 0;
    std::uint32_t remembered = 0;  // the last of the `count` signatures are remembered texts
  };

  StringMap<std::uint32_t> slots;  // name -> entry
  std::vector<Entry> entries;
  std::vector<MinHashSignature> signatures;
  std::size_t unreferenced = 0;

  void set(std::string_view name, const std::vector<MinHashSignature>& sigs, std::uint32_t key) {
    auto it = slots.find(name);
    if (it == slots.end()) {
      it = slots.emplace(std::string(name), static_cast<std::uint32_t>(entries.size())).first;
      entries.push_back({it->first, 0, 0, 0});
    }
    Entry& e = entries[it->second];
    e.key = key;
    e.remembered = 0;
    if (sigs.size() <= e.count) {
      std::copy(sigs.begin(), sigs.end(), signatures.begin() + e.first);
      unreferenced += e.count - sigs.size();
    } else {
      unreferenced += e.count;
      e.first = static_cast<std::uint32_t>(signatures.size());
      signatures.insert(signatures.end(), sigs.begin(), sigs.end());
    }
    e.count = static_cast<std::uint32_t>(sigs.size());
    maybe_compact();
  }

  // One more signature for an indexed agent. Its range moves to the end of the store unless
  // it is there already; what it leaves behind is compacted away in time.
  void append(std::uint32_t slot, const MinHashSignature& sig) {
    Entry& e = entries[slot];
    if (e.first + e.count != signatures.size()) {
      // Reserved first, so that copying the agent's own signatures never reallocates; grown
      // geometrically, as a reserve of the exact size would move the whole store every time.
      const std::size_t needed = signatures.size() + e.count + 1;
      if (needed > signatures.capacity()) {
        signatures.reserve(std::max(needed, 2 * signatures.capacity()));
      }
      const auto first = static_cast<std::uint32_t>(signatures.size());
      for (std::uint32_t k = 0; k < e.count; ++k) signatures.push_back(signatures[e.first + k]);
      unreferenced += e.count;
      e.first = first;
    }
    signatures.push_back(sig);
    ++e.count;
    ++e.remembered;
    maybe_compact();
  }

  // Drops one remembered signature equal to `sig`; false when there is none. Order among
  // remembered signatures does not matter: an agent scores its best one.
  bool remove_one(std::uint32_t slot, const MinHashSignature& sig) {
    Entry& e = entries[slot];
    for (std::uint32_t k = e.count; k-- > e.count - e.remembered;) {
      if (signatures[e.first + k] != sig) continue;
      signatures[e.first + k] = signatures[e.first + e.count - 1];
      --e.count;
      --e.remembered;
      ++unreferenced;
      maybe_compact();
      return true;
    }
    return false;
  }

  void remove(std::string_view name) {
    const auto it = slots.find(name);
    if (it == slots.end()) return;
    const std::uint32_t slot = it->second;
    unreferenced += entries[slot].count;
    if (slot + 1 != entries.size()) {
      entries[slot] = entries.back();
      slots.find(entries[slot].name)->second = slot;
    }
    entries.pop_back();
    slots.erase(it);
    maybe_compact();
  }

  void maybe_compact() {
    if (unreferenced < kCompactAfter || 2 * unreferenced < signatures.size()) return;
    std::vector<MinHashSignature> packed;
    packed.reserve(signatures.size() - unreferenced);
    for (Entry& e : entries) {
      const std::uint32_t first = static_cast<std::uint32_t>(packed.size());
      packed.insert(packed.end(), signatures.begin() + e.first,
                    signatures.begin() + e.first + e.count);
      e.first = first;
    }
    signatures = std::move(packed);
    unreferenced = 0;
  }
};

MinHashScorer::MinHashScorer(const LshConfig& config, std::optional<std::size_t> max_tokens)
    : max_tokens_(max_tokens), config_(config), store_(std::make_unique<Store>()) {}

MinHashScorer::~MinHashScorer() = default;

std::optional<std::string> MinHashScorer::truncate_capability(std::string_view agent_id,
                                                              std::string_view capability) const {
  return truncate_indexed_text(max_tokens_, agent_id, capability);
}

void MinHashScorer::index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) {
  std::vector<MinHashSignature> sigs;
  sigs.reserve(texts.texts.size());
  for (std::size_t i = 0; i < texts.texts.size(); ++i) {
    const std::optional<std::string> truncated = truncate_capability(agent_id, texts.texts[i]);
    sigs.push_back(truncated ? compute_signature(*truncated, config_)
                             : texts.signature(i, config_));
  }
  store_->set(agent_id, sigs, key);
  epoch_ = fresh_capability_epoch();
}

// A remembered text is a query, so it is signed as discovery hands queries to the scorer:
// lower-cased with single spaces. Signed as written, the same query asked again (capitals
// beyond ASCII, a line break) would not match its own remembered text in full. It follows
// the capabilities' length rule first, so a query past max_tokens matches only in part.
MinHashSignature MinHashScorer::remembered_signature(std::string_view agent_id,
                                                     std::string_view text) const {
  const std::optional<std::string> truncated = truncate_capability(agent_id, text);
  std::string normalised;
  for (const std::string& word : text::split_whitespace_lower(truncated ? *truncated : text)) {
    if (!normalised.empty()) normalised += ' ';
    normalised += word;
  }
  return compute_signature(normalised, config_);
}

bool MinHashScorer::learn(std::string_view agent_id, std::string_view text) {
  const auto it = store_->slots.find(agent_id);
  if (it == store_->slots.end()) return true;
  store_->append(it->second, remembered_signature(agent_id, text));
  return true;
}

bool MinHashScorer::forget(std::string_view agent_id, std::string_view text) {
  const auto it = store_->slots.find(agent_id);
  if (it == store_->slots.end()) return true;
  return store_->remove_one(it->second, remembered_signature(agent_id, text));
}

void MinHashScorer::remove_agent(std::string_view agent_id) {
  store_->remove(agent_id);
  epoch_ = fresh_capability_epoch();
}

namespace {

// A remembered text's matches count five eighths. Taking the best of a hundred short texts
// finds chance matches far above a single description's, so unweighed they pushed agents
// without a history down by half in a large registry; at 5/8 those keep their ranking (within
// 0.01 R@1) while agents with a history still gain most of what full weight gives them.
inline unsigned weigh_remembered(unsigned m) {
  return m * 5 / 8;
}

// The most positions any of `count` signatures from `sigs` shares with `q`, the last
// `remembered` of them weighed down.
inline unsigned best_matches(const MinHashSignature& q, const MinHashSignature* sigs,
                             std::uint32_t count, std::uint32_t remembered, bool with_remembered) {
  if (!with_remembered) {
    count -= remembered;
    remembered = 0;
  }
  unsigned best = 0;
  unsigned recalled = 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    const unsigned m = signature_matches(q, sigs[k]);
    unsigned& into = k < count - remembered ? best : recalled;
    into = m > into ? m : into;
  }
  const unsigned weighed = weigh_remembered(recalled);
  return weighed > best ? weighed : best;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same counts with the query held in two 32-byte registers: equal bytes become mask bits.
// `best[i]` gets the count of entry i, whose signatures are `count` from `first` on.
template <class Entry>
__attribute__((target("avx2,popcnt"))) void best_matches_avx2(const MinHashSignature& q,
                                                              const MinHashSignature* sigs,
                                                              std::span<const Entry> entries,
                                                              bool with_remembered,
                                                              std::uint8_t* best) {
  const __m256i q0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.data()));
  const __m256i q1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.data() + 32));
  const auto matches =
      [ q0, q1 ](const MinHashSignature& sig) __attribute__((target("avx2,popcnt"))) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sig.data()));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sig.data() + 32));
    const auto lo = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, q0)));
    const auto hi = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, q1)));
    return static_cast<unsigned>(_mm_popcnt_u32(lo) + _mm_popcnt_u32(hi));
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    unsigned most = 0;
    const MinHashSignature* s = sigs + entries[i].first;
    const std::uint32_t own = entries[i].count - entries[i].remembered;
    const std::uint32_t count = with_remembered ? entries[i].count : own;
    for (std::uint32_t k = 0; k < own; ++k) {
      const unsigned m = matches(s[k]);
      most = m > most ? m : most;
    }
    if (own != count) {
      unsigned recalled = 0;
      for (std::uint32_t k = own; k < count; ++k) {
        const unsigned m = matches(s[k]);
        recalled = m > recalled ? m : recalled;
      }
      recalled = weigh_remembered(recalled);
      most = recalled > most ? recalled : most;
    }
    best[i] = static_cast<std::uint8_t>(most);
  }
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return has;
}
#endif

}  // namespace

void MinHashScorer::best_matches_of_all(const MinHashSignature& signature, bool remembered,
                                        std::vector<std::uint8_t>& best) const {
  const Store& st = *store_;
  best.resize(st.entries.size());
  const MinHashSignature* sigs = st.signatures.data();
#if defined(__x86_64__) && defined(__GNUC__)
  if (cpu_has_avx2()) {
    best_matches_avx2(signature, sigs, std::span<const Store::Entry>(st.entries), remembered,
                      best.data());
    return;
  }
#endif
  for (std::size_t i = 0; i < best.size(); ++i) {
    const Store::Entry& e = st.entries[i];
    best[i] = static_cast<std::uint8_t>(
        best_matches(signature, sigs + e.first, e.count, e.remembered, remembered));
  }
}

std::optional<std::string> MinHashScorer::score_into(const ScoreRequest& request,
                                                     ScoreList& out) const {
  std::vector<std::uint8_t>& best = thread_scratch().best;
  best_matches_of_all(request.signature(config_), !request.capabilities_only, best);
  report(best, request.min_similarity, out);
  return std::nullopt;
}

void MinHashScorer::report(const std::vector<std::uint8_t>& best, double min_similarity,
                           ScoreList& out) const {
  // The fewest equal positions whose similarity reaches the floor, found with the same
  // division the results report, so a floor of 0 keeps exactly the agents with any match.
  unsigned min_matches = 1;
  while (min_matches <= kSignatureBytes &&
         !(static_cast<double>(min_matches) / 64.0 >= min_similarity)) {
    ++min_matches;
  }
  const Store& st = *store_;
  if (!out.by_key.empty() && min_matches == 1) {
    // Everything goes to the dense array in one pass; writing a 0 there changes nothing.
    const std::span<double> by_key = out.by_key;
    bool wrote = false;
    for (std::size_t i = 0; i < best.size(); ++i) {
      const Store::Entry& e = st.entries[i];
      if (e.key != 0 && e.key < by_key.size()) {
        by_key[e.key] = static_cast<double>(best[i]) / 64.0;
        wrote = wrote || best[i] != 0;
      } else if (best[i] != 0) {
        out.add(e.key, e.name, static_cast<double>(best[i]) / 64.0);
      }
    }
    out.wrote_by_key = out.wrote_by_key || wrote;
    return;
  }
  // Which agents reach the floor is close to random, so they are picked without a branch.
  std::vector<std::uint32_t>& hits = thread_scratch().hits;
  hits.resize(best.size());
  std::size_t n = 0;
  for (std::size_t i = 0; i < best.size(); ++i) {
    hits[n] = static_cast<std::uint32_t>(i);
    n += best[i] >= min_matches ? 1 : 0;
  }
  out.reserve(n);
  for (std::size_t h = 0; h < n; ++h) {
    const Store::Entry& e = st.entries[hits[h]];
    out.add(e.key, e.name, static_cast<double>(best[hits[h]]) / 64.0);
  }
}

}  // namespace kova
