#include "network/replay.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kova {
namespace {

// Records q<from> .. q<to - 1> and returns the query texts held afterwards, oldest first.
std::vector<std::string> record(ReplayLog& log, int from, int to) {
  for (int i = from; i < to; ++i)
    log.record({EventKind::QuerySubmitted{"q" + std::to_string(i)}}, MonoTime{i});
  std::vector<std::string> out;
  for (const auto& entry : log.events()) out.push_back(std::get<0>(entry.event.value).query);
  return out;
}

using Texts = std::vector<std::string>;

TEST(ReplayLogTest, EvictionHalvesAtTheBound) {
  ReplayLog log(4);
  EXPECT_EQ(record(log, 0, 4).size(), 4u);
  EXPECT_EQ(record(log, 4, 5), (Texts{"q2", "q3", "q4"}));
  EXPECT_EQ(record(log, 5, 7), (Texts{"q4", "q5", "q6"}));
  EXPECT_EQ(log.events().back().recorded_at, MonoTime{6});

  ReplayLog big(10000);
  EXPECT_EQ(record(big, 0, 10000).size(), 10000u);
  const Texts after = record(big, 10000, 10001);
  ASSERT_EQ(after.size(), 5001u);
  EXPECT_EQ(after.front(), "q5000");
  big.clear();
  EXPECT_TRUE(big.enabled());
  EXPECT_EQ(big.max_events(), 10000u);
  EXPECT_EQ(record(big, 0, 1).size(), 1u);
}

TEST(ReplayLogTest, DisabledOrTinyBounds) {
  ReplayLog disabled;
  EXPECT_TRUE(record(disabled, 0, 5).empty());
  for (std::size_t bound : {std::size_t{0}, std::size_t{1}}) {
    ReplayLog log(bound);
    EXPECT_EQ(record(log, 0, 3), (Texts{"q2"})) << "bound " << bound;
  }
  ReplayLog two(2);
  EXPECT_EQ(record(two, 0, 5), (Texts{"q3", "q4"}));
}

TEST(ReplayLogTest, TypeNames) {
  EXPECT_STREQ(EventKind{EventKind::QuerySubmitted{"x"}}.type_name(), "query_submitted");
  EXPECT_STREQ((EventKind{EventKind::AgentScored{"x", "a", 0, 0, 0, 0}}.type_name()),
               "agent_scored");
  EXPECT_STREQ((EventKind{EventKind::FeedbackRecorded{"a", {}, 1.0}}.type_name()),
               "feedback_recorded");
  EXPECT_STREQ(EventKind{EventKind::TickApplied{}}.type_name(), "tick_applied");
}

}  // namespace
}  // namespace kova
