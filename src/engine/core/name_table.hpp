#pragma once
// Distinct names numbered in the order they were first added, for the few places that match
// many names at once: open addressing with linear probing over the names' XXH3-64 hashes,
// with the names copied into one block so that probing compares against nearby memory. A
// slot holds the high half of a hash beside the name's number plus one (0 marks it empty),
// so most mismatches are settled without touching a name. Emptied tables keep their memory.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/lsh.hpp"

namespace kova {

class NameTable {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // XXH3-64 with seed 0: the first word of an agent's name hash, so that the registry's
  // names go in without hashing them again.
  static std::uint64_t hash(std::string_view name) { return xxhash_with_seed(name, 0); }

  // Empties the table and sizes it for `expected` names.
  void reset(std::size_t expected) {
    entries_.clear();
    entries_.reserve(expected);
    bytes_.clear();
    bytes_.reserve(expected * 16);
    resize_slots(expected);
  }

  // The number of `name` (whose hash(name) is `h`) and whether this call added it.
  std::pair<std::size_t, bool> insert(std::string_view name, std::uint64_t h) {
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    const std::size_t pos = probe(name, h);
    if (slots_[pos] != 0) return {(slots_[pos] & kNumberMask) - 1, false};
    slots_[pos] = (h & ~kNumberMask) | (entries_.size() + 1);
    entries_.push_back({bytes_.size(), name.size(), h});
    bytes_.append(name);
    return {entries_.size() - 1, true};
  }

  // The number of `name`; npos when it was never added.
  std::size_t find(std::string_view name) const {
    if (slots_.empty()) return npos;
    const std::uint64_t slot = slots_[probe(name, hash(name))];
    return slot == 0 ? npos : (slot & kNumberMask) - 1;
  }

  std::string_view name(std::size_t number) const {
    const Entry& e = entries_[number];
    return {bytes_.data() + e.offset, e.size};
  }
  std::size_t size() const { return entries_.size(); }

 private:
  static constexpr std::uint64_t kNumberMask = 0xFFFF'FFFFull;
  struct Entry {
    std::size_t offset;
    std::size_t size;
    std::uint64_t hash;
  };

  // Byte equality, inline for the short texts agent names usually are.
  static bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) {
      std::uint64_t x0, y0, x1, y1;
      std::memcpy(&x0, a, 8);
      std::memcpy(&y0, b, 8);
      std::memcpy(&x1, a + n - 8, 8);
      std::memcpy(&y1, b + n - 8, 8);
      return x0 == y0 && x1 == y1;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

  // The slot holding `name`, or the empty slot where it would go.
  std::size_t probe(std::string_view name, std::uint64_t h) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = h & ~kNumberMask;
    for (std::size_t pos = h & mask;; pos = (pos + 1) & mask) {
      const std::uint64_t slot = slots_[pos];
      if (slot == 0) return pos;
      if ((slot & ~kNumberMask) != tag) continue;
      const Entry& e = entries_[(slot & kNumberMask) - 1];
      if (e.size == name.size() && same_bytes(bytes_.data() + e.offset, name.data(), e.size)) {
        return pos;
      }
    }
  }

  void resize_slots(std::size_t names) {
    std::size_t capacity = 16;
    while (capacity < names * 2) capacity *= 2;
    slots_.assign(capacity, 0);
  }

  void grow() {
    resize_slots(std::max<std::size_t>(entries_.size() + 1, slots_.size()));
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::uint64_t h = entries_[i].hash;
      std::size_t pos = h & mask;
      while (slots_[pos] != 0) pos = (pos + 1) & mask;
      slots_[pos] = (h & ~kNumberMask) | (i + 1);
    }
  }

  std::vector<std::uint64_t> slots_;
  std::vector<Entry> entries_;
  std::string bytes_;
};

}  // namespace kova
