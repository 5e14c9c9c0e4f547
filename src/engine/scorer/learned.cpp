#include "scorer/learned.hpp"

#include <algorithm>
#include <array>

#include "core/lsh.hpp"

namespace kova {

namespace {

constexpr std::size_t kHeader = 5;  // four words of hash, then the count

std::array<std::uint32_t, 4> text_hash(std::string_view text) {
  const auto [low, high] = xxhash128(text);
  return {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32),
          static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(high >> 32)};
}

}  // namespace

void LearnedTexts::add(std::string_view text, std::span<const std::uint32_t> ids) {
  const auto hash = text_hash(text);
  words_.insert(words_.end(), hash.begin(), hash.end());
  words_.push_back(static_cast<std::uint32_t>(ids.size()));
  words_.insert(words_.end(), ids.begin(), ids.end());
}

bool LearnedTexts::take(std::string_view text, std::vector<std::uint32_t>& ids) {
  const auto hash = text_hash(text);
  std::size_t at = 0;
  while (at < words_.size() && !std::equal(hash.begin(), hash.end(), words_.begin() + at)) {
    at += kHeader + words_[at + 4];
  }
  if (at == words_.size()) return false;
  const auto first = words_.begin() + static_cast<std::ptrdiff_t>(at);
  const auto last = first + static_cast<std::ptrdiff_t>(kHeader + words_[at + 4]);
  ids.insert(ids.end(), first + kHeader, last);
  words_.erase(first, last);
  return true;
}

}  // namespace kova
