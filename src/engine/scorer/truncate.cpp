#include "scorer/truncate.hpp"

#include <vector>

#include "log/log.hpp"
#include "text/unicode.hpp"

namespace kova {

std::optional<std::string> truncate_indexed_text(std::optional<std::size_t> max_tokens,
                                                 std::string_view agent_id, std::string_view text) {
  if (!max_tokens) return std::nullopt;
  const std::size_t limit = *max_tokens;
  // More than `limit` tokens take at least 2 · limit + 1 bytes; most texts are shorter.
  if (text.size() <= 2 * limit) return std::nullopt;
  const std::size_t tokens = text::count_whitespace_tokens(text);
  if (tokens <= limit) return std::nullopt;
  log::event(log::Level::Warn, log::kTargetScorer, "truncating long capability string", [&] {
    return std::vector<log::Field>{{"agent_id", std::string(agent_id)},
                                   {"original_tokens", std::to_string(tokens)},
                                   {"max_tokens", std::to_string(limit)}};
  });
  const std::vector<std::string_view> pieces = text::split_whitespace(text);
  std::string out;
  for (std::size_t i = 0; i < limit && i < pieces.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out.append(pieces[i]);
  }
  return out;
}

}  // namespace kova
