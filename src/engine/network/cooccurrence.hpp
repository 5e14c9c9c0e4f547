#pragma once
// Learns which capability words follow which query words in successes; widens later queries.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "core/string_hash.hpp"

namespace kova {

class CoOccurrenceExpander {
 public:
  static constexpr std::uint64_t kMinFeedback = 10;
  static constexpr std::uint64_t kMaxExpansions = 3;
  static constexpr std::uint64_t kMaxEntries = 50000;
  static constexpr std::uint32_t kPruneMinCount = 2;
  // Distinct terms the engine counts on each side of one success, as many as a scorer reads
  // of a text.
  static constexpr std::size_t kMaxDistinctTerms = 50;

  struct Pair {
    std::string query_term;
    std::string capability_term;
    std::uint32_t count;
  };

  // Counts every (query term, capability term) pair, repeated terms as often as they occur.
  // Each side is cut to its first `max_distinct` distinct terms (later occurrences of those
  // still count), which bounds the pairs one call adds by max_distinct squared; the cost is
  // linear in the lists besides.
  void record_feedback(const std::vector<std::string>& query_terms,
                       const std::vector<std::string>& capability_terms,
                       std::size_t max_distinct = SIZE_MAX);
  std::vector<std::string> expand_query(const std::vector<std::string>& terms) const;

  std::uint64_t feedback_count() const { return feedback_count_; }
  std::size_t size() const { return size_; }
  std::uint32_t count(std::string_view query_term, std::string_view capability_term) const;
  // Every pair, in no particular order (persistence).
  std::vector<Pair> pairs() const;
  // Replaces the matrix and the feedback count (load). Later duplicates win.
  void replace(const std::vector<Pair>& pairs, std::uint64_t feedback_count);

 private:
  // A term with its hash computed once, for looking it up in many rows.
  struct HashedTerm {
    std::string_view text;
    std::size_t hash;
    friend bool operator==(const HashedTerm& a, const std::string& b) { return a.text == b; }
  };
  struct TermHash : StringHash {
    using StringHash::operator();
    std::size_t operator()(const HashedTerm& term) const noexcept { return term.hash; }
  };
  using Row = std::unordered_map<std::string, std::uint32_t, TermHash, std::equal_to<>>;
  // A pair by where it lives: rows and keys stay in place until erased.
  struct PairRef {
    std::string_view query_term;
    Row* row;
    std::string_view capability_term;
  };
  // Removes the pairs counted below `threshold`; the smallest count left.
  std::uint64_t prune_pass(std::uint64_t threshold);

  // query term -> (capability term -> count)
  StringMap<Row> matrix_;
  std::size_t size_ = 0;  // number of pairs
  std::uint64_t feedback_count_ = 0;
  // Once full, the matrix is pruned after nearly every success, and the first pass of a prune
  // (t = 2) removes just the pairs still counted once. Every pass leaves counts of 2 or more,
  // so those are the pairs made since the last prune: listing them as they are made spares
  // that pass a walk over the whole matrix. `new_pairs_complete_` says the list holds every
  // pair counted once (not so after `replace`, which may install any count).
  std::vector<PairRef> new_pairs_;
  bool new_pairs_complete_ = true;
};

}  // namespace kova
