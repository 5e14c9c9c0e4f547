#pragma once
// MinHash signatures: 64 seeded XXH3-64 minima over a text's shingles, each folded to a byte.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/config.hpp"

namespace kova {

inline constexpr std::size_t kSignatureBytes = 64;
using MinHashSignature = std::array<std::uint8_t, kSignatureBytes>;

// XXH3-64 of the bytes with the seed and the default secret (bit-exact with xxHash).
std::uint64_t xxhash_with_seed(std::string_view bytes, std::uint64_t seed);

// Signature of a UTF-8 (or any byte) text; ASCII letters are folded to lower case first.
MinHashSignature compute_signature(std::string_view text, const LshConfig& config);

// Equal positions / 64.
double signature_similarity(const MinHashSignature& a, const MinHashSignature& b);
// Number of equal positions (0..64).
unsigned signature_matches(const MinHashSignature& a, const MinHashSignature& b);

// Position-wise unsigned minimum, starting from all 0xFF.
MinHashSignature signature_union(std::span<const MinHashSignature> signatures);

}  // namespace kova
