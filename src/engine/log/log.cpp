#include "log/log.hpp"

#include <mutex>

namespace kova::log {

namespace detail {
std::atomic<int> g_max_level{0};
std::atomic<int> g_max_span_level{0};
}  // namespace detail

namespace {
std::mutex g_sink_mutex;
std::shared_ptr<Sink> g_sink;

std::shared_ptr<Sink> current_sink() {
  std::lock_guard lock(g_sink_mutex);
  return g_sink;
}
}  // namespace

void set_sink(std::shared_ptr<Sink> sink) {
  std::lock_guard lock(g_sink_mutex);
  g_sink = std::move(sink);
  detail::g_max_level.store(g_sink ? static_cast<int>(g_sink->max_level()) : 0);
  detail::g_max_span_level.store(g_sink ? static_cast<int>(g_sink->max_span_level()) : 0);
}

void refresh_levels() {
  std::lock_guard lock(g_sink_mutex);
  detail::g_max_level.store(g_sink ? static_cast<int>(g_sink->max_level()) : 0);
  detail::g_max_span_level.store(g_sink ? static_cast<int>(g_sink->max_span_level()) : 0);
}

namespace detail {
void dispatch_event(Level level, std::string_view target, std::string_view message,
                    const std::vector<Field>& fields, std::string_view callsite) {
  if (auto sink = current_sink()) sink->event(Record{level, target, message, fields, callsite});
}

void dispatch_span(bool enter, Level level, std::string_view target, std::string_view name,
                   const std::vector<Field>& fields) {
  auto sink = current_sink();
  if (!sink) return;
  const Record record{level, target, name, fields};
  if (enter) {
    sink->span_enter(record);
  } else {
    sink->span_exit(record);
  }
}
}  // namespace detail

const std::string* CapturingSink::Entry::field(std::string_view name) const {
  for (const auto& f : fields) {
    if (f.name == name) return &f.value;
  }
  return nullptr;
}

std::vector<CapturingSink::Entry> CapturingSink::events_with(std::string_view message) const {
  std::vector<Entry> out;
  for (const auto& e : entries) {
    if (e.kind == Entry::Kind::Event && e.message == message) out.push_back(e);
  }
  return out;
}

}  // namespace kova::log
