#pragma once
// Learns which capability words follow which query words in successes; widens later queries.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

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
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
    std::size_t operator()(const HashedTerm& term) const noexcept { return term.hash; }
  };
  using Row = std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>>;
  // query term -> (capability term -> count)
  std::unordered_map<std::string, Row, StringHash, std::equal_to<>> matrix_;
  std::size_t size_ = 0;  // number of pairs
  std::uint64_t feedback_count_ = 0;
};

}  // namespace kova
