#pragma once
// The length rule the MinHash and BM25 scorers apply to the texts they index (capabilities
// and remembered texts alike): beyond a number of white-space separated tokens, a text is cut
// to its first tokens joined by single spaces, with one WARN event. Queries are never cut.
// The TF-IDF scorer indexes every text whole, as it always has.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kova {

inline constexpr std::size_t kMaxIndexedTokens = 50;

// nullopt when `text` is indexed unchanged (no limit, or at most `max_tokens` tokens);
// otherwise the cut text, after the warning naming `agent_id`.
std::optional<std::string> truncate_indexed_text(std::optional<std::size_t> max_tokens,
                                                 std::string_view agent_id, std::string_view text);

// `text` itself, or its cut form kept in `storage`.
inline std::string_view indexed_text(std::string_view agent_id, std::string_view text,
                                     std::optional<std::string>& storage) {
  storage = truncate_indexed_text(kMaxIndexedTokens, agent_id, text);
  return storage ? std::string_view(*storage) : text;
}

}  // namespace kova
