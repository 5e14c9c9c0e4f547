#include "network/cooccurrence.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace kova {

namespace {

template <class Map>
auto& row_for(Map& map, std::string_view key) {
  auto it = map.find(key);
  if (it == map.end()) it = map.try_emplace(std::string(key)).first;
  return it->second;
}

struct TermCount {
  std::string_view text;
  std::size_t hash;
  std::uint64_t count;
};

// The first `limit` distinct terms in order of first occurrence, each with its number of
// occurrences in the whole list.
std::vector<TermCount> distinct_terms(const std::vector<std::string>& terms, std::size_t limit) {
  std::vector<TermCount> kept;
  std::unordered_map<std::string_view, std::size_t> position;
  for (const std::string& term : terms) {
    const auto it = position.find(term);
    if (it != position.end()) {
      ++kept[it->second].count;
    } else if (kept.size() < limit) {
      position.emplace(term, kept.size());
      kept.push_back({term, StringHash{}(term), 1});
    }
  }
  return kept;
}

}  // namespace

void CoOccurrenceExpander::record_feedback(const std::vector<std::string>& query_terms,
                                           const std::vector<std::string>& capability_terms,
                                           std::size_t max_distinct) {
  if (!query_terms.empty() && !capability_terms.empty()) {
    // Every occurrence of q with every occurrence of c adds one, so a pair gains the product of
    // the two counts at once. Pairs are first met in the order the nested walk over the plain
    // lists would meet them, so the rows are built alike.
    const std::vector<TermCount> queries = distinct_terms(query_terms, max_distinct);
    const std::vector<TermCount> capabilities = distinct_terms(capability_terms, max_distinct);
    constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
    for (const TermCount& q : queries) {
      auto row_it = matrix_.find(q.text);
      if (row_it == matrix_.end()) row_it = matrix_.try_emplace(std::string(q.text)).first;
      const std::string_view query_term = row_it->first;
      Row& row = row_it->second;
      for (const TermCount& c : capabilities) {
        auto it = row.find(HashedTerm{c.text, c.hash});
        // Saturate rather than wrap: a wrapped count would turn the strongest pair into the
        // weakest.
        const std::uint64_t gain = c.count > kMaxCount / q.count ? kMaxCount : q.count * c.count;
        if (it == row.end()) {
          it = row.try_emplace(std::string(c.text), 0).first;
          ++size_;
          if (gain < kPruneMinCount && new_pairs_complete_) {
            new_pairs_.push_back({query_term, &row, it->first});
          }
        }
        it->second = static_cast<std::uint32_t>(std::min(kMaxCount, it->second + gain));
      }
    }
  }
  // Saturates like the pair counts: a count loaded near the top must not wrap to 0, which
  // would switch expansion off until enough successes came again.
  if (feedback_count_ != std::numeric_limits<std::uint64_t>::max()) ++feedback_count_;

  if (size_ < kMaxEntries) return;
  // Passes with thresholds t = 2, 3, 4, ... each drop the pairs counted below t, until the
  // matrix is under the limit. A pass whose threshold is at most the smallest remaining count
  // drops nothing, so the threshold may jump straight past that count with the same outcome.
  std::uint64_t threshold = kPruneMinCount;
  if (new_pairs_complete_) {
    std::vector<std::string_view> emptied;  // rows stay until every listed pair is seen
    for (const PairRef& pair : new_pairs_) {
      const auto it = pair.row->find(pair.capability_term);
      if (it != pair.row->end() && it->second < kPruneMinCount) {
        pair.row->erase(it);
        --size_;
        if (pair.row->empty()) emptied.push_back(pair.query_term);
      }
    }
    for (const std::string_view query_term : emptied) matrix_.erase(matrix_.find(query_term));
    ++threshold;
  }
  while (size_ >= kMaxEntries) {
    const std::uint64_t smallest_left = prune_pass(threshold);
    threshold = std::max(threshold + 1, smallest_left + 1);
  }
  new_pairs_.clear();
  new_pairs_complete_ = true;
}

std::uint64_t CoOccurrenceExpander::prune_pass(std::uint64_t threshold) {
  std::uint64_t smallest_left = std::numeric_limits<std::uint64_t>::max();
  for (auto row_it = matrix_.begin(); row_it != matrix_.end();) {
    Row& row = row_it->second;
    for (auto it = row.begin(); it != row.end();) {
      if (it->second < threshold) {
        it = row.erase(it);
        --size_;
      } else {
        smallest_left = std::min<std::uint64_t>(smallest_left, it->second);
        ++it;
      }
    }
    row_it = row.empty() ? matrix_.erase(row_it) : std::next(row_it);
  }
  return smallest_left;
}

std::vector<std::string> CoOccurrenceExpander::expand_query(
    const std::vector<std::string>& terms) const {
  std::vector<std::string> result(terms);
  if (feedback_count_ < kMinFeedback) return result;

  // A repeated term expands as it did the first time: picking from its row again made a long
  // query cost its length times the row's. Where each term's picks went is kept on the stack
  // for a short query (found by looking back), in a map beyond.
  using Placed = std::pair<std::size_t, std::size_t>;  // (first index in result, count)
  constexpr std::size_t kLookBack = 32;
  std::array<Placed, kLookBack> placed_short;
  std::unordered_map<std::string_view, Placed> placed_long;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const std::string& term = terms[i];
    Placed* placed;
    bool repeat;
    if (terms.size() <= kLookBack) {
      std::size_t first = 0;
      while (first < i && terms[first] != term) ++first;
      placed = &placed_short[first];
      repeat = first < i;
    } else {
      const auto [it, added] = placed_long.try_emplace(term);
      placed = &it->second;
      repeat = !added;
    }
    if (repeat) {
      const auto [from, count] = *placed;
      for (std::size_t k = from; k < from + count; ++k) {
        std::string copy = result[k];
        result.push_back(std::move(copy));
      }
      continue;
    }
    *placed = {result.size(), 0};
    const auto row_it = matrix_.find(term);
    if (row_it == matrix_.end()) continue;
    // The first kMaxExpansions by count, highest first, in one pass. Equal counts go by term:
    // the row's own order depends on the order its pairs were inserted, which a loaded network
    // does not repeat, and it must expand a query as the network it was saved from did.
    const auto before = [](const Row::value_type& a, const Row::value_type& b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;
    };
    std::array<const Row::value_type*, kMaxExpansions> top{};
    std::size_t filled = 0;
    for (const auto& entry : row_it->second) {
      std::size_t pos = filled;
      while (pos > 0 && before(entry, *top[pos - 1])) --pos;
      if (pos >= kMaxExpansions) continue;
      const std::size_t last = std::min<std::size_t>(filled, kMaxExpansions - 1);
      for (std::size_t k = last; k > pos; --k) top[k] = top[k - 1];
      top[pos] = &entry;
      filled = std::min<std::size_t>(filled + 1, kMaxExpansions);
    }
    for (std::size_t k = 0; k < filled; ++k) result.push_back(top[k]->first);
    placed->second = filled;
  }
  return result;
}

std::uint32_t CoOccurrenceExpander::count(std::string_view query_term,
                                          std::string_view capability_term) const {
  const auto row_it = matrix_.find(query_term);
  if (row_it == matrix_.end()) return 0;
  const auto it = row_it->second.find(capability_term);
  return it == row_it->second.end() ? 0 : it->second;
}

std::vector<CoOccurrenceExpander::Pair> CoOccurrenceExpander::pairs() const {
  std::vector<Pair> out;
  out.reserve(size_);
  for (const auto& [query_term, row] : matrix_) {
    for (const auto& [capability_term, n] : row)
      out.push_back(Pair{query_term, capability_term, n});
  }
  return out;
}

void CoOccurrenceExpander::replace(const std::vector<Pair>& pairs, std::uint64_t feedback_count) {
  matrix_.clear();
  size_ = 0;
  new_pairs_.clear();
  new_pairs_complete_ = false;
  for (const Pair& pair : pairs) {
    Row& row = row_for(matrix_, pair.query_term);
    const auto [it, inserted] = row.insert_or_assign(pair.capability_term, pair.count);
    if (inserted) ++size_;
  }
  feedback_count_ = feedback_count;
}

}  // namespace kova
