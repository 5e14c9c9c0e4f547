#pragma once
// Optional bounded in-memory log of discoveries, feedback and ticks.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/clock.hpp"

namespace kova {

// An immutable text that copies share. The events of one discovery all name its query, which
// may be long: one copy serves them all.
class SharedText {
 public:
  SharedText() = default;
  SharedText(std::string text)  // NOLINT(google-explicit-constructor): a text is a SharedText
      : text_(std::make_shared<const std::string>(std::move(text))) {}
  // NOLINTNEXTLINE(google-explicit-constructor)
  SharedText(const char* text) : SharedText(std::string(text)) {}

  const std::string& str() const { return text_ ? *text_ : empty(); }
  operator const std::string&() const { return str(); }  // NOLINT(google-explicit-constructor)
  operator std::string_view() const { return str(); }    // NOLINT(google-explicit-constructor)
  friend bool operator==(const SharedText& a, std::string_view b) { return a.str() == b; }

 private:
  static const std::string& empty() {
    static const std::string text;
    return text;
  }
  std::shared_ptr<const std::string> text_;
};

struct EventKind {
  struct QuerySubmitted {
    SharedText query;
  };
  struct AgentScored {
    SharedText query;
    std::string agent_name;
    double raw_similarity, enzyme_score, feedback_factor, final_score;
  };
  struct FeedbackRecorded {
    std::string agent_name;
    std::optional<std::string> query;
    double outcome;
  };
  struct TickApplied {};
  using Variant = std::variant<QuerySubmitted, AgentScored, FeedbackRecorded, TickApplied>;
  Variant value;

  // "query_submitted", "agent_scored", "feedback_recorded", "tick_applied"
  const char* type_name() const;
};

struct ReplayEntry {
  EventKind event;
  MonoTime recorded_at;
};

class ReplayLog {
 public:
  ReplayLog() = default;  // disabled, bound 0, empty
  // Enabled, empty, room for min(max_events, 1024). The host rejects a bound of 0; if one
  // reaches the log anyway it behaves like a bound of 1.
  explicit ReplayLog(std::size_t max_events);

  // Drops the event while disabled. At the bound first discards the oldest max(1, bound / 2)
  // entries, so the log never holds more than max(1, bound) entries.
  void record(EventKind event, MonoTime now);
  void clear() { events_.clear(); }

  bool enabled() const { return enabled_; }
  std::size_t max_events() const { return max_events_; }
  std::size_t size() const { return events_.size(); }
  const std::vector<ReplayEntry>& events() const { return events_; }

 private:
  std::vector<ReplayEntry> events_;
  std::size_t max_events_ = 0;
  bool enabled_ = false;
};

}  // namespace kova
