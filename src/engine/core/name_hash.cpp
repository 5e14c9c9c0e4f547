#include "core/name_hash.hpp"

#include "core/lsh.hpp"

namespace kova {

NameHash compute_name_hash(std::string_view name) {
  NameHash out{};
  for (std::size_t k = 0; k < 4; ++k) {
    const std::uint64_t h = xxhash_with_seed(name, k);
    for (std::size_t b = 0; b < 8; ++b) out[8 * k + b] = static_cast<std::uint8_t>(h >> (8 * b));
  }
  return out;
}

}  // namespace kova
