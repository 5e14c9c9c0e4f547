#include "log/log.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace kova::log {
namespace {

TEST(Log, NothingIsBuiltWithoutASink) {
  bool built = false;
  event(Level::Error, kTargetNetwork, "x", [&] {
    built = true;
    return std::vector<Field>{};
  });
  EXPECT_FALSE(built);
  EXPECT_FALSE(enabled(Level::Error));
}

TEST(Log, CapturingSinkSeesEventsAndSpansUpToItsLevel) {
  auto sink = std::make_shared<CapturingSink>(Level::Warn);
  ScopedSink guard(sink);
  event(Level::Warn, kTargetScorer, "truncating",
        [] { return std::vector<Field>{{"max_tokens", "50"}}; });
  event(Level::Info, kTargetScorer, "too verbose");
  {
    Span span(Level::Warn, kTargetNetwork, "register");
  }
  ASSERT_EQ(sink->entries.size(), 3u);
  EXPECT_EQ(sink->entries[0].target, kTargetScorer);
  ASSERT_NE(sink->entries[0].field("max_tokens"), nullptr);
  EXPECT_EQ(*sink->entries[0].field("max_tokens"), "50");
  EXPECT_EQ(sink->entries[1].kind, CapturingSink::Entry::Kind::SpanEnter);
  EXPECT_EQ(sink->entries[2].kind, CapturingSink::Entry::Kind::SpanExit);
  EXPECT_EQ(sink->events_with("truncating").size(), 1u);
}

}  // namespace
}  // namespace kova::log
