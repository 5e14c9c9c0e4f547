#include "core/lsh.hpp"

#include <cstring>
#include <string>

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

// Lowers `mins` by the hashes of one shingle. The shingle is the outer loop so that the
// work that depends only on the shingle's bytes is done once for all 64 seeds.
inline void fold_shingle(const unsigned char* p, std::size_t len, Minima& mins) {
  for (std::size_t i = 0; i < kSignatureBytes; ++i) {
    const std::uint64_t h = XXH3_64bits_withSeed(p, len, kSeeds[i]);
    mins[i] = h < mins[i] ? h : mins[i];
  }
}

// Windows of a width known at compile time: the library's length dispatch folds away and
// its short-input path inlines into the seed loop.
template <std::size_t W>
void fold_windows_fixed(const unsigned char* s, std::size_t n, Minima& mins) {
  for (std::size_t off = 0; off + W <= n; ++off) {
    const unsigned char* p = s + off;
    for (std::size_t i = 0; i < kSignatureBytes; ++i) {
      const std::uint64_t h = XXH3_64bits_withSeed(p, W, kSeeds[i]);
      mins[i] = h < mins[i] ? h : mins[i];
    }
  }
}

void fold_characters(const unsigned char* s, std::size_t n, std::size_t width, Minima& mins) {
  if (n < width) {
    fold_shingle(s, n, mins);
    return;
  }
  switch (width) {
    case 1: fold_windows_fixed<1>(s, n, mins); return;
    case 2: fold_windows_fixed<2>(s, n, mins); return;
    case 3: fold_windows_fixed<3>(s, n, mins); return;
    case 4: fold_windows_fixed<4>(s, n, mins); return;
    case 5: fold_windows_fixed<5>(s, n, mins); return;
    default: break;
  }
  for (std::size_t off = 0; off + width <= n; ++off) fold_shingle(s + off, width, mins);
}

void fold_words(const unsigned char* s, std::size_t n, Minima& mins) {
  bool any = false;
  std::size_t i = 0;
  while (i < n) {
    while (i < n && is_delimiter(s[i])) ++i;
    const std::size_t start = i;
    while (i < n && !is_delimiter(s[i])) ++i;
    if (i > start) {
      fold_shingle(s + start, i - start, mins);
      any = true;
    }
  }
  if (!any) fold_shingle(s, n, mins);
}

}  // namespace

std::uint64_t xxhash_with_seed(std::string_view bytes, std::uint64_t seed) {
  return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

MinHashSignature compute_signature(std::string_view text, const LshConfig& config) {
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
  const ShingleMode& mode = config.shingle_mode;
  if (mode.kind != ShingleMode::Kind::Words) fold_characters(s, n, mode.width, mins);
  if (mode.kind != ShingleMode::Kind::Characters) fold_words(s, n, mins);

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

MinHashSignature signature_union(std::span<const MinHashSignature> signatures) {
  MinHashSignature out;
  out.fill(0xFF);
  for (const MinHashSignature& s : signatures) {
    for (std::size_t i = 0; i < kSignatureBytes; ++i) out[i] = s[i] < out[i] ? s[i] : out[i];
  }
  return out;
}

}  // namespace kova
