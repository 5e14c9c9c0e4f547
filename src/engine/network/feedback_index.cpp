#include "network/feedback_index.hpp"

#include <array>
#include <bit>
#include <cassert>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace kova {

namespace {

constexpr std::size_t kSlots = 256;  // per band; at most 100 keys keeps probe chains short
constexpr std::uint8_t kNone = 0xFF;
static_assert(FeedbackIndex::kCapacity < kNone, "positions must fit below the empty marker");

inline std::uint64_t band_key_of(const MinHashSignature& s, std::size_t band) {
  return XXH3_64bits_withSeed(s.data() + 4 * band, 4, band);
}

inline std::size_t home_slot(std::uint64_t key) {
  return static_cast<std::size_t>(key >> 56);
}

}  // namespace

// Each band table is an open-addressing hash table from band key to the first position of a
// chain; `next` links the other positions with the same key. Keys are not stored: a slot's key
// is recomputed from its first record's bytes, which keeps a full index near 13 KiB.
struct FeedbackIndex::Impl {
  std::array<FeedbackRecord, kCapacity> records;
  std::size_t count = 0;
  std::uint8_t heads[kBands][kSlots];
  std::uint8_t next[kBands][kCapacity];

  Impl() { std::memset(heads, kNone, sizeof heads); }

  // The slot holding `key` in band b, or the empty slot where it would go.
  template <class KeyOf>
  std::size_t find(std::size_t b, std::uint64_t key, KeyOf&& key_of) const {
    std::size_t s = home_slot(key);
    while (true) {
      const std::uint8_t h = heads[b][s];
      if (h == kNone || key_of(h) == key) return s;
      s = (s + 1) & (kSlots - 1);
    }
  }

  template <class KeyOf>
  void link(std::size_t b, std::size_t p, std::uint64_t key, KeyOf&& key_of) {
    const std::size_t s = find(b, key, key_of);
    next[b][p] = heads[b][s];
    heads[b][s] = static_cast<std::uint8_t>(p);
  }

  void link_record(std::size_t p) {
    for (std::size_t b = 0; b < kBands; ++b) {
      link(b, p, band_key_of(records[p].query_signature, b),
           [&](std::uint8_t h) { return band_key_of(records[h].query_signature, b); });
    }
  }

  void rebuild() {
    std::memset(heads, kNone, sizeof heads);
    std::uint64_t keys[kCapacity][kBands];
    for (std::size_t p = 0; p < count; ++p) {
      for (std::size_t b = 0; b < kBands; ++b)
        keys[p][b] = band_key_of(records[p].query_signature, b);
    }
    for (std::size_t b = 0; b < kBands; ++b) {
      for (std::size_t p = 0; p < count; ++p) {
        link(b, p, keys[p][b], [&](std::uint8_t h) { return keys[h][b]; });
      }
    }
  }
};

FeedbackIndex::FeedbackIndex() = default;
FeedbackIndex::~FeedbackIndex() = default;
FeedbackIndex::FeedbackIndex(FeedbackIndex&&) noexcept = default;
FeedbackIndex& FeedbackIndex::operator=(FeedbackIndex&&) noexcept = default;

FeedbackIndex::FeedbackIndex(const FeedbackIndex& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(*other.impl_) : nullptr) {}

FeedbackIndex& FeedbackIndex::operator=(const FeedbackIndex& other) {
  if (this != &other) impl_ = other.impl_ ? std::make_unique<Impl>(*other.impl_) : nullptr;
  return *this;
}

void FeedbackIndex::insert(const FeedbackRecord& record) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  Impl& m = *impl_;
  if (m.count < kCapacity) {
    m.records[m.count] = record;
    m.link_record(m.count);
    ++m.count;
    return;
  }
  // Full: the oldest record goes, every position moves one towards the front, and the band
  // tables are rebuilt from the remaining records in queue order.
  std::memmove(&m.records[0], &m.records[1], (kCapacity - 1) * sizeof(FeedbackRecord));
  m.records[kCapacity - 1] = record;
  m.rebuild();
}

std::vector<std::size_t> FeedbackIndex::candidates(const MinHashSignature& signature) const {
  std::vector<std::size_t> out;
  if (!impl_ || impl_->count == 0) return out;
  const Impl& m = *impl_;
  std::uint64_t seen[2] = {0, 0};
  for (std::size_t b = 0; b < kBands; ++b) {
    const std::uint64_t key = band_key_of(signature, b);
    const std::size_t s = m.find(
        b, key, [&](std::uint8_t h) { return band_key_of(m.records[h].query_signature, b); });
    for (std::uint8_t p = m.heads[b][s]; p != kNone; p = m.next[b][p]) {
      seen[p >> 6] |= std::uint64_t{1} << (p & 63);
    }
  }
  out.reserve(static_cast<std::size_t>(std::popcount(seen[0]) + std::popcount(seen[1])));
  for (std::size_t w = 0; w < 2; ++w) {
    for (std::uint64_t bits = seen[w]; bits != 0; bits &= bits - 1) {
      const std::size_t p = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
      if (p < m.count) out.push_back(p);
    }
  }
  return out;
}

std::size_t FeedbackIndex::size() const {
  return impl_ ? impl_->count : 0;
}

const FeedbackRecord& FeedbackIndex::operator[](std::size_t position) const {
  assert(impl_ && position < impl_->count);
  return impl_->records[position];
}

std::uint64_t FeedbackIndex::band_key(const MinHashSignature& signature, std::size_t band) {
  return band_key_of(signature, band);
}

std::size_t FeedbackIndex::heap_bytes() const {
  return impl_ ? sizeof(Impl) : 0;
}

}  // namespace kova
