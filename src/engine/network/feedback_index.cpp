#include "network/feedback_index.hpp"

#include <bit>
#include <cassert>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace kova {

namespace {

using Impl = FeedbackIndex::Impl;
constexpr std::size_t kSlotMask = Impl::kSlots - 1;
static_assert(FeedbackIndex::kCapacity < Impl::kNone, "ring slots must fit below the marker");
static_assert(FeedbackIndex::kCapacity <= 128, "candidate slots are collected in 128 bits");

// A band's four bytes stand for its key: XXH3-64 of four bytes is injective, so two bands have
// the same key exactly when they have the same bytes, and the tables need not hash with it.
inline std::uint32_t band_value(const MinHashSignature& s, std::size_t band) {
  std::uint32_t v;
  std::memcpy(&v, s.data() + 4 * band, sizeof v);
  return v;
}

inline std::size_t home_slot(std::uint32_t value) {
  return static_cast<std::size_t>((value * 0x9E3779B97F4A7C15ull) >> 56);
}

// Calls f(slot) for every set bit of `bits` (128 slots) in [lo, hi), ascending.
template <class F>
void for_each_bit(const std::uint64_t (&bits)[2], std::size_t lo, std::size_t hi, F&& f) {
  for (std::size_t w = lo / 64; w < 2 && 64 * w < hi; ++w) {
    std::uint64_t word = bits[w];
    if (64 * w < lo) word &= ~std::uint64_t{0} << (lo - 64 * w);
    if (hi < 64 * (w + 1)) word &= (std::uint64_t{1} << (hi - 64 * w)) - 1;
    for (; word != 0; word &= word - 1)
      f(64 * w + static_cast<std::size_t>(std::countr_zero(word)));
  }
}

}  // namespace

Impl::Impl() {
  std::memset(newest, kNone, sizeof newest);
}

// The table slot holding `value` in the band, or the empty slot where it would go.
std::size_t Impl::find(std::size_t band, std::uint32_t value) const {
  std::size_t s = home_slot(value);
  while (true) {
    const std::uint8_t n = newest[band][s];
    if (n == kNone || band_value(records[n].query_signature, band) == value) return s;
    s = (s + 1) & kSlotMask;
  }
}

void Impl::link(std::size_t band, std::size_t slot) {
  const std::size_t s = find(band, band_value(records[slot].query_signature, band));
  const auto added = static_cast<std::uint8_t>(slot);
  const std::uint8_t last = newest[band][s];
  if (last == kNone) {
    next[band][slot] = added;
  } else {
    next[band][slot] = next[band][last];  // the oldest follows the newest
    next[band][last] = added;
  }
  newest[band][s] = added;
}

// Drops the oldest record from its chain; the record must still hold its bytes.
void Impl::unlink_front(std::size_t band) {
  std::size_t i = find(band, band_value(records[front].query_signature, band));
  const std::uint8_t last = newest[band][i];
  assert(next[band][last] == front);
  if (last != front) {
    next[band][last] = next[band][front];
    return;
  }
  // The key leaves the table. Later entries of its probe cluster move back into the hole
  // when their home allows it, so lookups never need tombstones.
  newest[band][i] = kNone;
  for (std::size_t j = (i + 1) & kSlotMask; newest[band][j] != kNone; j = (j + 1) & kSlotMask) {
    const std::size_t home = home_slot(band_value(records[newest[band][j]].query_signature, band));
    if (((j - home) & kSlotMask) >= ((j - i) & kSlotMask)) {
      newest[band][i] = newest[band][j];
      newest[band][j] = kNone;
      i = j;
    }
  }
}

FeedbackIndex::FeedbackIndex() = default;
FeedbackIndex::~FeedbackIndex() = default;

FeedbackIndex::FeedbackIndex(FeedbackIndex&& other) noexcept : impl_(std::move(other.impl_)) {
  if (impl_) impl_->derived = {};
}

FeedbackIndex& FeedbackIndex::operator=(FeedbackIndex&& other) noexcept {
  if (this != &other) {
    impl_ = std::move(other.impl_);
    if (impl_) impl_->derived = {};
  }
  return *this;
}

namespace {
std::unique_ptr<Impl> copy_of(const std::unique_ptr<Impl>& other) {
  if (!other) return nullptr;
  auto copy = std::make_unique<Impl>(*other);
  copy->derived = {};
  return copy;
}
}  // namespace

FeedbackIndex::FeedbackIndex(const FeedbackIndex& other) : impl_(copy_of(other.impl_)) {}

FeedbackIndex& FeedbackIndex::operator=(const FeedbackIndex& other) {
  if (this != &other) impl_ = copy_of(other.impl_);
  return *this;
}

void FeedbackIndex::insert(const FeedbackRecord& record) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  Impl& m = *impl_;
  std::size_t slot;
  if (m.count < kCapacity) {
    slot = m.front + m.count;
    if (slot >= kCapacity) slot -= kCapacity;
    ++m.count;
  } else {
    // The oldest record gives up its slot; positions shift by one because `front` moves.
    for (std::size_t b = 0; b < kBands; ++b) m.unlink_front(b);
    slot = m.front;
    m.front = m.front + 1 == kCapacity ? 0 : m.front + 1;
  }
  m.records[slot] = record;
  for (std::size_t b = 0; b < kBands; ++b) m.link(b, slot);
}

std::vector<std::size_t> FeedbackIndex::candidates(const MinHashSignature& signature) const {
  std::vector<std::size_t> out;
  if (!impl_) return out;
  const Impl& m = *impl_;
  std::uint64_t seen[2] = {0, 0};
  for (std::size_t b = 0; b < kBands; ++b) {
    const std::uint8_t last = m.newest[b][m.find(b, band_value(signature, b))];
    if (last == Impl::kNone) continue;
    std::uint8_t p = last;
    do {
      seen[p >> 6] |= std::uint64_t{1} << (p & 63);
      p = m.next[b][p];
    } while (p != last);
  }
  out.reserve(static_cast<std::size_t>(std::popcount(seen[0]) + std::popcount(seen[1])));
  // Ring slots from `front` onwards hold positions 0, 1, ...; the slots before it the rest.
  for_each_bit(seen, m.front, kCapacity, [&](std::size_t slot) { out.push_back(slot - m.front); });
  for_each_bit(seen, 0, m.front,
               [&](std::size_t slot) { out.push_back(slot + kCapacity - m.front); });
  return out;
}

const FeedbackRecord& FeedbackIndex::operator[](std::size_t position) const {
  assert(impl_ && position < impl_->count);
  std::size_t slot = impl_->front + position;
  if (slot >= kCapacity) slot -= kCapacity;
  return impl_->records[slot];
}

std::uint64_t FeedbackIndex::band_key(const MinHashSignature& signature, std::size_t band) {
  return XXH3_64bits_withSeed(signature.data() + 4 * band, 4, band);
}

std::size_t FeedbackIndex::heap_bytes() const {
  return impl_ ? sizeof(Impl) : 0;
}

}  // namespace kova
