#include "core/lsh.hpp"

#include <cstring>
#include <string>
#include <utility>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace kova {

namespace {

constexpr std::array<std::uint64_t, kSignatureBytes> make_seeds() {
  std::array<std::uint64_t, kSignatureBytes> seeds{};
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    seeds[i] = static_cast<std::uint64_t>(i + 1) * 0x9E3779B97F4A7C15ULL;  // wraps mod 2^64
  }
  return seeds;
}

constexpr std::array<std::uint64_t, kSignatureBytes> kSeeds = make_seeds();

using Minima = std::array<std::uint64_t, kSignatureBytes>;

inline bool is_delimiter(unsigned char c) {
  return c == ' ' || c == '\t' || c == ',' || c == '-' || c == '.' || c == '_';
}

// The hashing loops are written once and compiled twice: for the baseline instruction set
// and, on x86-64, for AVX2, where the compiler vectorises the 64-seed loop over the library's
// inlined short-input path (about three times faster). Both produce the same bytes.
#if defined(__GNUC__)
#define KOVA_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define KOVA_ALWAYS_INLINE inline
#endif

// Lowers `mins` by the hashes of one shingle. The shingle is the outer loop so that the
// work that depends only on the shingle's bytes is done once for all 64 seeds.
KOVA_ALWAYS_INLINE void fold_shingle(const unsigned char* p, std::size_t len, Minima& mins) {
  for (std::size_t i = 0; i < kSignatureBytes; ++i) {
    const std::uint64_t h = XXH3_64bits_withSeed(p, len, kSeeds[i]);
    mins[i] = h < mins[i] ? h : mins[i];
  }
}

// Windows of a width known at compile time: the library's length dispatch folds away and
// its short-input path inlines into the seed loop.
template <std::size_t W>
KOVA_ALWAYS_INLINE void fold_windows_fixed(const unsigned char* s, std::size_t n, Minima& mins) {
  for (std::size_t off = 0; off + W <= n; ++off) {
    const unsigned char* p = s + off;
    for (std::size_t i = 0; i < kSignatureBytes; ++i) {
      const std::uint64_t h = XXH3_64bits_withSeed(p, W, kSeeds[i]);
      mins[i] = h < mins[i] ? h : mins[i];
    }
  }
}

template <std::size_t L>
KOVA_ALWAYS_INLINE void fold_one_fixed(const unsigned char* p, Minima& mins) {
  for (std::size_t i = 0; i < kSignatureBytes; ++i) {
    const std::uint64_t h = XXH3_64bits_withSeed(p, L, kSeeds[i]);
    mins[i] = h < mins[i] ? h : mins[i];
  }
}

// Words are mostly short: giving the library a constant length lets the seed loop vectorise.
template <std::size_t... L>
KOVA_ALWAYS_INLINE void fold_short(const unsigned char* p, std::size_t len, Minima& mins,
                                   std::index_sequence<L...>) {
  const bool done = ((len == L + 1 ? (fold_one_fixed<L + 1>(p, mins), true) : false) || ...);
  if (!done) fold_shingle(p, len, mins);
}

KOVA_ALWAYS_INLINE void fold_piece(const unsigned char* p, std::size_t len, Minima& mins) {
  fold_short(p, len, mins, std::make_index_sequence<16>{});
}

KOVA_ALWAYS_INLINE void fold_characters(const unsigned char* s, std::size_t n, std::size_t width,
                                        Minima& mins) {
  if (n < width) {
    fold_piece(s, n, mins);
    return;
  }
  switch (width) {
    case 1:
      fold_windows_fixed<1>(s, n, mins);
      return;
    case 2:
      fold_windows_fixed<2>(s, n, mins);
      return;
    case 3:
      fold_windows_fixed<3>(s, n, mins);
      return;
    case 4:
      fold_windows_fixed<4>(s, n, mins);
      return;
    case 5:
      fold_windows_fixed<5>(s, n, mins);
      return;
    default:
      break;
  }
  for (std::size_t off = 0; off + width <= n; ++off) fold_shingle(s + off, width, mins);
}

KOVA_ALWAYS_INLINE void fold_words(const unsigned char* s, std::size_t n, Minima& mins) {
  bool any = false;
  std::size_t i = 0;
  while (i < n) {
    while (i < n && is_delimiter(s[i])) ++i;
    const std::size_t start = i;
    while (i < n && !is_delimiter(s[i])) ++i;
    if (i > start) {
      fold_piece(s + start, i - start, mins);
      any = true;
    }
  }
  if (!any) fold_piece(s, n, mins);
}

KOVA_ALWAYS_INLINE void fold_all(const unsigned char* s, std::size_t n, const ShingleMode& mode,
                                 Minima& mins) {
  if (mode.kind != ShingleMode::Kind::Words) fold_characters(s, n, mode.width, mins);
  if (mode.kind != ShingleMode::Kind::Characters) fold_words(s, n, mins);
}

void fold_baseline(const unsigned char* s, std::size_t n, const ShingleMode& mode, Minima& mins) {
  fold_all(s, n, mode, mins);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define KOVA_HAVE_AVX2_PATH 1
__attribute__((target("avx2"))) void fold_avx2(const unsigned char* s, std::size_t n,
                                               const ShingleMode& mode, Minima& mins) {
  fold_all(s, n, mode, mins);
}

// 64-bit lanes multiply natively here (AVX2 builds each product from three 32-bit ones), and
// twice as many fit in a register.
__attribute__((target("avx512f,avx512dq,avx512vl,avx512bw"))) void fold_avx512(
    const unsigned char* s, std::size_t n, const ShingleMode& mode, Minima& mins) {
  fold_all(s, n, mode, mins);
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
bool cpu_has_avx512() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                          __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
  return has;
}
#endif

// The widest vector path the CPU has, up to `widest` (0 none, 1 AVX2, 2 AVX-512).
MinHashSignature signature_with(std::string_view text, const LshConfig& config, int widest) {
  // Scratch copy of the text with ASCII upper case folded; short texts stay on the stack.
  unsigned char local[512];
  std::basic_string<unsigned char> heap;
  unsigned char* s = local;
  const std::size_t n = text.size();
  if (n > sizeof local) {
    heap.resize(n);
    s = heap.data();
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    s[i] = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
  }

  Minima mins;
  mins.fill(~std::uint64_t{0});
#if KOVA_HAVE_AVX2_PATH
  if (widest >= 2 && cpu_has_avx512()) {
    fold_avx512(s, n, config.shingle_mode, mins);
  } else if (widest >= 1 && cpu_has_avx2()) {
    fold_avx2(s, n, config.shingle_mode, mins);
  } else {
    fold_baseline(s, n, config.shingle_mode, mins);
  }
#else
  (void)widest;
  fold_baseline(s, n, config.shingle_mode, mins);
#endif

  MinHashSignature sig;
  for (std::size_t i = 0; i < kSignatureBytes; ++i) {
    std::uint64_t m = mins[i];
    m ^= m >> 32;
    m ^= m >> 16;
    m ^= m >> 8;
    sig[i] = static_cast<std::uint8_t>(m);
  }
  return sig;
}

}  // namespace

std::array<std::uint64_t, 2> xxhash128(std::string_view bytes) {
  const XXH128_hash_t h = XXH3_128bits(bytes.data(), bytes.size());
  return {h.low64, h.high64};
}

std::uint64_t xxhash_with_seed(std::string_view bytes, std::uint64_t seed) {
  return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

MinHashSignature compute_signature(std::string_view text, const LshConfig& config) {
  return signature_with(text, config, 2);
}

namespace detail {
MinHashSignature compute_signature_baseline(std::string_view text, const LshConfig& config) {
  return signature_with(text, config, 0);
}
MinHashSignature compute_signature_avx2(std::string_view text, const LshConfig& config) {
  return signature_with(text, config, 1);
}
}  // namespace detail

MinHashSignature signature_union(std::span<const MinHashSignature> signatures) {
  MinHashSignature out;
  out.fill(0xFF);
  for (const MinHashSignature& s : signatures) {
    for (std::size_t i = 0; i < kSignatureBytes; ++i) out[i] = s[i] < out[i] ? s[i] : out[i];
  }
  return out;
}

}  // namespace kova
