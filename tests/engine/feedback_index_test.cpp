#include "network/feedback_index.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace kova {
namespace {

// A signature whose every band differs from that of any other id.
MinHashSignature distinct(std::size_t id) {
  MinHashSignature s{};
  for (std::size_t b = 0; b < FeedbackIndex::kBands; ++b) {
    s[4 * b] = static_cast<std::uint8_t>(id);
    s[4 * b + 1] = static_cast<std::uint8_t>(id >> 8);
    s[4 * b + 2] = static_cast<std::uint8_t>(b);
    s[4 * b + 3] = 0xA5;
  }
  return s;
}

// Positions sharing at least one band key, by brute force over a plain queue.
std::vector<std::size_t> naive_candidates(const std::deque<FeedbackRecord>& records,
                                          const MinHashSignature& q) {
  std::vector<std::size_t> out;
  for (std::size_t p = 0; p < records.size(); ++p) {
    for (std::size_t b = 0; b < FeedbackIndex::kBands; ++b) {
      if (FeedbackIndex::band_key(records[p].query_signature, b) == FeedbackIndex::band_key(q, b)) {
        out.push_back(p);
        break;
      }
    }
  }
  return out;
}

TEST(FeedbackIndexTest, EmptyDuplicatesPartialSharingAndDisjointSignatures) {
  FeedbackIndex index;
  EXPECT_EQ(index.heap_bytes(), 0u);
  EXPECT_TRUE(index.candidates(distinct(1)).empty());
  index.insert({distinct(1), 1.0});
  index.insert({distinct(1), -1.0});
  index.insert({distinct(2), 1.0});
  EXPECT_EQ(index.candidates(distinct(1)), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(index.candidates(distinct(2)), (std::vector<std::size_t>{2}));
  EXPECT_TRUE(index.candidates(distinct(3)).empty());

  // Shares band 7 only with the record at position 2.
  MinHashSignature probe = distinct(9);
  for (std::size_t k = 28; k < 32; ++k) probe[k] = distinct(2)[k];
  EXPECT_EQ(index.candidates(probe), (std::vector<std::size_t>{2}));
  EXPECT_EQ(index[1].outcome, -1.0);
}

TEST(FeedbackIndexTest, EvictionKeepsNewestHundredAndRenumbers) {
  FeedbackIndex index;
  for (std::size_t i = 0; i < 101; ++i) index.insert({distinct(i), i % 2 ? 1.0 : -1.0});
  EXPECT_EQ(index.size(), 100u);
  EXPECT_EQ(index[0].query_signature, distinct(1));
  EXPECT_EQ(index[99].query_signature, distinct(100));
  EXPECT_TRUE(index.candidates(distinct(0)).empty());
  EXPECT_EQ(index.candidates(distinct(1)), (std::vector<std::size_t>{0}));

  for (std::size_t i = 101; i < 150; ++i) index.insert({distinct(i), 1.0});
  EXPECT_EQ(index.size(), 100u);
  EXPECT_EQ(index[0].query_signature, distinct(50));
  EXPECT_EQ(index.candidates(distinct(120)), (std::vector<std::size_t>{70}));
  EXPECT_EQ(index.candidates(distinct(149)), (std::vector<std::size_t>{99}));
  EXPECT_LE(sizeof(FeedbackIndex) + index.heap_bytes(), 24u * 1024u);
}

TEST(FeedbackIndexTest, AgreesWithBruteForce) {
  // Bytes mostly 0 make many records share bands, so chains grow long; bytes of 8 values give
  // far more keys than a table keeps, so keys keep leaving the tables and the probe clusters
  // behind them must stay reachable.
  struct Shape {
    unsigned values;
    int inserts;
  };
  for (const Shape shape : {Shape{2, 260}, Shape{8, 3000}}) {
    std::mt19937_64 rng(shape.values);
    auto random_sig = [&] {
      MinHashSignature s{};
      for (auto& byte : s) {
        byte = static_cast<std::uint8_t>(shape.values == 2 ? rng() % 4 == 0 : rng() % 8);
      }
      return s;
    };
    FeedbackIndex index;
    std::deque<FeedbackRecord> model;
    for (int i = 0; i < shape.inserts; ++i) {
      const FeedbackRecord r{random_sig(), i % 3 ? 1.0 : -1.0};
      index.insert(r);
      model.push_back(r);
      if (model.size() > FeedbackIndex::kCapacity) model.pop_front();
      ASSERT_EQ(index.size(), model.size());
      if (shape.values == 8 && i % 7 != 0) continue;
      const MinHashSignature q = random_sig();
      const MinHashSignature& old = model[rng() % model.size()].query_signature;
      for (const MinHashSignature* probe : {&q, &old, &r.query_signature}) {
        ASSERT_EQ(index.candidates(*probe), naive_candidates(model, *probe)) << "insert " << i;
      }
    }
    for (std::size_t p = 0; p < model.size(); ++p) {
      EXPECT_EQ(index[p].query_signature, model[p].query_signature);
      EXPECT_EQ(index[p].outcome, model[p].outcome);
    }
  }
}

TEST(FeedbackIndexTest, DerivedValuesNeedARecordAndNeverTravel) {
  FeedbackIndex index;
  // Nothing to attach them to yet: an agent without feedback stays one pointer.
  EXPECT_EQ(index.derived(), nullptr);
  EXPECT_TRUE(index.empty());

  index.insert({distinct(1), 1.0});
  EXPECT_FALSE(index.empty());
  ASSERT_NE(index.derived(), nullptr);
  index.derived()->capability_text_signature = distinct(7);
  index.derived()->capability_terms = std::vector<std::string>{"legal"};

  // A copy or a moved index may end up with another agent, whose capabilities differ.
  FeedbackIndex copy = index;
  EXPECT_EQ(copy.size(), 1u);
  EXPECT_FALSE(copy.derived()->capability_text_signature.has_value());
  EXPECT_FALSE(copy.derived()->capability_terms.has_value());
  ASSERT_TRUE(index.derived()->capability_terms.has_value());
  FeedbackIndex moved;
  moved = std::move(index);
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_FALSE(moved.derived()->capability_text_signature.has_value());
}

TEST(FeedbackIndexTest, CopiesAreIndependent) {
  FeedbackIndex a;
  a.insert({distinct(1), 1.0});
  FeedbackIndex b = a;
  a.insert({distinct(2), 1.0});
  EXPECT_EQ(b.size(), 1u);
  EXPECT_TRUE(b.candidates(distinct(2)).empty());
  b = a;
  EXPECT_EQ(b.candidates(distinct(2)), (std::vector<std::size_t>{1}));
  FeedbackIndex c = std::move(a);
  EXPECT_EQ(c.size(), 2u);
}

}  // namespace
}  // namespace kova
