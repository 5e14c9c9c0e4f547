#include "network/replay.hpp"

#include <algorithm>
#include <utility>

namespace kova {

const char* EventKind::type_name() const {
  switch (value.index()) {
    case 0:
      return "query_submitted";
    case 1:
      return "agent_scored";
    case 2:
      return "feedback_recorded";
    default:
      return "tick_applied";
  }
}

ReplayLog::ReplayLog(std::size_t max_events) : max_events_(max_events), enabled_(true) {
  events_.reserve(std::min<std::size_t>(max_events, 1024));
}

void ReplayLog::record(EventKind event, MonoTime now) {
  if (!enabled_) return;
  if (events_.size() >= max_events_) {
    // Halving keeps eviction amortised; at least one entry goes so that bounds of 0 and 1
    // still bound the log (both keep only the newest entry).
    const std::size_t discard = std::min(events_.size(), std::max<std::size_t>(1, max_events_ / 2));
    events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(discard));
  }
  events_.push_back(ReplayEntry{std::move(event), now});
}

}  // namespace kova
