#pragma once
// An agent's 256-bit identity: XXH3-64 of its name with seeds 0..3, each little-endian.
// Ordering is lexicographic over the 32 unsigned bytes.

#include <array>
#include <cstdint>
#include <string_view>

namespace kova {

using NameHash = std::array<std::uint8_t, 32>;

NameHash compute_name_hash(std::string_view name);

struct NameHashHasher {
  std::size_t operator()(const NameHash& h) const noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | h[static_cast<std::size_t>(i)];
    return static_cast<std::size_t>(v);
  }
};

}  // namespace kova
