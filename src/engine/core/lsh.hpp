#pragma once
// MinHash signatures: 64 seeded XXH3-64 minima over a text's shingles, each folded to a byte.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/config.hpp"

namespace kova {

inline constexpr std::size_t kSignatureBytes = 64;
using MinHashSignature = std::array<std::uint8_t, kSignatureBytes>;

// XXH3-64 of the bytes with the seed and the default secret (bit-exact with xxHash).
std::uint64_t xxhash_with_seed(std::string_view bytes, std::uint64_t seed);
// XXH3-128 of the bytes (seed 0) as {low, high} 64-bit halves.
std::array<std::uint64_t, 2> xxhash128(std::string_view bytes);

// Signature of a UTF-8 (or any byte) text; ASCII letters are folded to lower case first.
// Always 64 positions: `config.num_hashes` is 64 in every configuration the system builds.
MinHashSignature compute_signature(std::string_view text, const LshConfig& config);

namespace detail {
// compute_signature without the vectorised paths, and with AVX2 at most (where the CPU has
// it), so that tests can hold every path to the same bytes.
MinHashSignature compute_signature_baseline(std::string_view text, const LshConfig& config);
MinHashSignature compute_signature_avx2(std::string_view text, const LshConfig& config);
}  // namespace detail

// Number of equal positions (0..64). Inline: the scorer calls it once per capability of
// every agent on each query.
inline unsigned signature_matches(const MinHashSignature& a, const MinHashSignature& b) {
#if defined(__SSE2__)
  // Each equal byte compares to 0xFF (-1); subtracting accumulates up to 4 per lane, and
  // the sum of absolute differences against zero adds the lanes up.
  __m128i acc = _mm_setzero_si128();
  for (std::size_t k = 0; k < kSignatureBytes; k += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.data() + k));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.data() + k));
    acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(x, y));
  }
  const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
  return static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
#else
  unsigned n = 0;
  for (std::size_t i = 0; i < kSignatureBytes; ++i) n += a[i] == b[i] ? 1u : 0u;
  return n;
#endif
}

// Equal positions / 64.
inline double signature_similarity(const MinHashSignature& a, const MinHashSignature& b) {
  return static_cast<double>(signature_matches(a, b)) / 64.0;
}

// Position-wise unsigned minimum, starting from all 0xFF.
MinHashSignature signature_union(std::span<const MinHashSignature> signatures);

}  // namespace kova
