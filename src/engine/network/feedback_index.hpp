#pragma once
// Per-agent memory of the last 100 (query signature, outcome) records with a 16-band lookup.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

  // Inline because discovery asks every candidate agent, and most agents never get feedback:
  // for them the answer comes from the pointer alone.
  std::size_t size() const { return impl_ ? impl_->count : 0; }
  bool empty() const { return impl_ == nullptr; }
  const FeedbackRecord& operator[](std::size_t position) const;  // 0 = oldest

  // Band key of band b (bytes 4b..4b+3) : XXH3-64 of those four bytes with seed b.
  static std::uint64_t band_key(const MinHashSignature& signature, std::size_t band);

  // Bytes held beyond sizeof(FeedbackIndex) (memory accounting in benchmarks).
  std::size_t heap_bytes() const;

  // What every success derives again from the agent's capabilities alone. It is kept here
  // because only agents that receive feedback need it, so the others pay nothing. It never
  // travels: copies and assignments start without it, since they may serve another agent.
  struct Derived {
    std::optional<MinHashSignature> capability_text_signature;  // the capabilities joined
    std::optional<std::vector<std::string>> capability_terms;   // split and lower-cased
    // Whom a success lends credit to (engine key, similarity), as the scorer reported at
    // its capability epoch `neighbours_epoch`.
    std::vector<std::pair<std::uint32_t, double>> neighbours;
    std::optional<std::uint64_t> neighbours_epoch;
  };
  // Nullptr until the first insert.
  Derived* derived() { return impl_ ? &impl_->derived : nullptr; }

  // Storage is created on the first insert and never shrinks, so a non-null pointer means at
  // least one record. Records form a ring whose oldest entry sits at `front`; each band table
  // is an open-addressing hash table from the band's four bytes to a circular chain of the
  // ring slots holding them. The table keeps the newest slot, whose successor is the oldest,
  // so appending and dropping the evicted record (always the oldest of its chains) are O(1).
  struct Impl {
    static constexpr std::size_t kSlots = 256;  // per band; at most 100 keys stay live
    static constexpr std::uint8_t kNone = 0xFF;

    std::size_t count = 0;
    std::size_t front = 0;
    std::uint8_t newest[kBands][kSlots];
    std::uint8_t next[kBands][kCapacity];
    FeedbackRecord records[kCapacity];
    Derived derived;

    Impl();
    std::size_t find(std::size_t band, std::uint32_t value) const;
    void link(std::size_t band, std::size_t slot);
    void unlink_front(std::size_t band);
  };

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kova
