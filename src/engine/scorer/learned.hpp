#pragma once
// What each remembered text added to a word-level scorer's document, so that forgetting the
// text needs neither a second analysis nor a trip through the term table.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kova {

class LearnedTexts {
 public:
  // Records that `text` added `ids` (term ids, one per occurrence), newest last.
  void add(std::string_view text, std::span<const std::uint32_t> ids);
  // Takes out the oldest record of `text`, its ids appended to `ids`; false, with nothing
  // changed, when no record has the text's hash.
  bool take(std::string_view text, std::vector<std::uint32_t>& ids);
  void clear() { std::vector<std::uint32_t>().swap(words_); }

 private:
  // Records of the text's XXH3-128 (four words), its number of ids n, then the n ids. Texts
  // are told apart by the hash alone; among an agent's few hundred texts at most, two sharing
  // 128 bits is not a case to plan for.
  std::vector<std::uint32_t> words_;
};

// Calls f(value, count) once for each run of equal adjacent values: a record's ids come grouped
// by term, as do sorted tokens.
template <class Range, class F>
void for_each_run(const Range& values, F&& f) {
  for (auto i = values.begin(); i != values.end();) {
    const auto next = std::find_if(i, values.end(), [&](const auto& v) { return !(v == *i); });
    f(*i, static_cast<std::uint32_t>(next - i));
    i = next;
  }
}

}  // namespace kova
