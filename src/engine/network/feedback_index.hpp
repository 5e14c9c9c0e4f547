#pragma once
// Per-agent memory of the last 100 (query signature, outcome) records with a 16-band lookup.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/lsh.hpp"

namespace kova {

struct FeedbackRecord {
  MinHashSignature query_signature{};
  double outcome = 0.0;  // +1.0 success, -1.0 failure
};

class FeedbackIndex {
 public:
  static constexpr std::size_t kCapacity = 100;
  static constexpr std::size_t kBands = 16;

  FeedbackIndex();
  ~FeedbackIndex();
  FeedbackIndex(FeedbackIndex&&) noexcept;
  FeedbackIndex& operator=(FeedbackIndex&&) noexcept;
  FeedbackIndex(const FeedbackIndex&);
  FeedbackIndex& operator=(const FeedbackIndex&);

  // Appends; past 100 records the oldest goes and positions are renumbered from the front.
  void insert(const FeedbackRecord& record);

  // Positions of the records sharing at least one band key with `signature`, each once,
  // in ascending order.
  std::vector<std::size_t> candidates(const MinHashSignature& signature) const;

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  const FeedbackRecord& operator[](std::size_t position) const;  // 0 = oldest

  // Band key of band b (bytes 4b..4b+3) : XXH3-64 of those four bytes with seed b.
  static std::uint64_t band_key(const MinHashSignature& signature, std::size_t band);

  // Bytes held beyond sizeof(FeedbackIndex) (memory accounting in benchmarks).
  std::size_t heap_bytes() const;

 private:
  struct Impl;  // allocated on first insert, so an agent without feedback costs one pointer
  std::unique_ptr<Impl> impl_;
};

}  // namespace kova
