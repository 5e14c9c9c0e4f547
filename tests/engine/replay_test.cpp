#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/replay.hpp"

namespace kova {
namespace {

EventKind query(int i) { return {EventKind::QuerySubmitted{"q" + std::to_string(i)}}; }

// Query texts of the entries, oldest first.
std::vector<std::string> texts(const ReplayLog& log) {
  std::vector<std::string> out;
  for (const auto& entry : log.events()) {
    out.push_back(std::get<EventKind::QuerySubmitted>(entry.event.value).query);
  }
  return out;
}

void record_n(ReplayLog& log, int from, int to) {
  for (int i = from; i < to; ++i) log.record(query(i), MonoTime{i});
}

TEST(ReplayLogTest, DisabledLogKeepsNothing) {
  ReplayLog log;
  EXPECT_FALSE(log.enabled());
  EXPECT_EQ(log.max_events(), 0u);
  record_n(log, 0, 5);
  EXPECT_EQ(log.size(), 0u);
}

TEST(ReplayLogTest, BoundOfFourHalvesAtTheBound) {
  ReplayLog log(4);
  EXPECT_TRUE(log.enabled());
  record_n(log, 0, 4);
  EXPECT_EQ(log.size(), 4u);
  record_n(log, 4, 5);
  EXPECT_EQ(texts(log), (std::vector<std::string>{"q2", "q3", "q4"}));
  record_n(log, 5, 7);  // 4 entries again, then halve
  EXPECT_EQ(texts(log), (std::vector<std::string>{"q4", "q5", "q6"}));
  EXPECT_EQ(log.events().back().recorded_at, MonoTime{6});
}

TEST(ReplayLogTest, SmallBoundsKeepOnlyTheNewest) {
  for (std::size_t bound : {std::size_t{0}, std::size_t{1}}) {
    ReplayLog log(bound);
    record_n(log, 0, 3);
    EXPECT_EQ(texts(log), (std::vector<std::string>{"q2"})) << "bound " << bound;
  }
  ReplayLog two(2);
  record_n(two, 0, 5);
  EXPECT_EQ(texts(two), (std::vector<std::string>{"q3", "q4"}));
}

TEST(ReplayLogTest, DefaultBoundDropsHalfAtOnce) {
  ReplayLog log(10000);
  record_n(log, 0, 10000);
  EXPECT_EQ(log.size(), 10000u);
  record_n(log, 10000, 10001);
  ASSERT_EQ(log.size(), 5001u);
  EXPECT_EQ(texts(log).front(), "q5000");
  EXPECT_EQ(texts(log).back(), "q10000");
  log.clear();
  EXPECT_EQ(log.size(), 0u);
  EXPECT_TRUE(log.enabled());
  EXPECT_EQ(log.max_events(), 10000u);
  record_n(log, 0, 1);
  EXPECT_EQ(log.size(), 1u);
}

TEST(ReplayLogTest, TypeNames) {
  EXPECT_STREQ(EventKind{EventKind::QuerySubmitted{"x"}}.type_name(), "query_submitted");
  EXPECT_STREQ((EventKind{EventKind::AgentScored{"x", "a", 0, 0, 0, 0}}.type_name()), "agent_scored");
  EXPECT_STREQ((EventKind{EventKind::FeedbackRecorded{"a", std::nullopt, 1.0}}.type_name()),
               "feedback_recorded");
  EXPECT_STREQ(EventKind{EventKind::TickApplied{}}.type_name(), "tick_applied");
}

}  // namespace
}  // namespace kova
