#pragma once
// Structured-log facade: events and spans with a level, a target, a message and named fields.
// Nothing is recorded unless a sink is installed; with no sink, or none that wants the level,
// `enabled` is one relaxed atomic load and callers skip building their fields.

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kova::log {

// Off is never emitted: a sink wanting nothing reports it as its most verbose level.
enum class Level { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view kTargetNetwork = "kova_discovery_native::network";
inline constexpr std::string_view kTargetPipeline = "kova_discovery_native::network::pipeline";
inline constexpr std::string_view kTargetScorer = "kova_discovery_native::scorer";
inline constexpr std::string_view kTargetPyBridge = "kova_discovery_native::pybridge";

struct Field {
  std::string name;
  std::string value;  // the argument's value as text
};

struct Record {
  Level level;
  std::string_view target;
  std::string_view message;  // span name for spans
  const std::vector<Field>& fields;
  // The name of the place that emits the event, where the event is one whose documented
  // callsite name hosts may filter on; empty otherwise.
  std::string_view callsite = {};
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Most verbose level this sink wants; records above it are never built.
  virtual Level max_level() const = 0;
  // The same for spans, which a sink may want less of than events.
  virtual Level max_span_level() const { return max_level(); }
  virtual void event(const Record& record) = 0;
  virtual void span_enter(const Record& record) = 0;
  virtual void span_exit(const Record& record) = 0;
};

// Installs (or with nullptr removes) the process-wide sink. Not meant to race with logging.
void set_sink(std::shared_ptr<Sink> sink);
// Re-reads the installed sink's levels, for a sink whose wishes have changed.
void refresh_levels();

namespace detail {
extern std::atomic<int> g_max_level;  // 0 when no sink is installed
extern std::atomic<int> g_max_span_level;
void dispatch_event(Level, std::string_view target, std::string_view message,
                    const std::vector<Field>&, std::string_view callsite = {});
void dispatch_span(bool enter, Level, std::string_view target, std::string_view name,
                   const std::vector<Field>&);
}  // namespace detail

inline bool enabled(Level level) {
  return static_cast<int>(level) <= detail::g_max_level.load(std::memory_order_relaxed);
}
inline bool span_enabled(Level level) {
  return static_cast<int>(level) <= detail::g_max_span_level.load(std::memory_order_relaxed);
}

// Emits an event; `make_fields` (returning std::vector<Field>) runs only when enabled.
template <class MakeFields>
void event(Level level, std::string_view target, std::string_view message,
           MakeFields&& make_fields) {
  if (!enabled(level)) return;
  const std::vector<Field> fields = std::forward<MakeFields>(make_fields)();
  detail::dispatch_event(level, target, message, fields);
}

inline void event(Level level, std::string_view target, std::string_view message) {
  event(level, target, message, [] { return std::vector<Field>{}; });
}

// The same, for an event with a callsite name (see Record).
template <class MakeFields>
void event_at(Level level, std::string_view target, std::string_view callsite,
              std::string_view message, MakeFields&& make_fields) {
  if (!enabled(level)) return;
  const std::vector<Field> fields = std::forward<MakeFields>(make_fields)();
  detail::dispatch_event(level, target, message, fields, callsite);
}

// RAII span: entered on construction, exited on destruction.
class Span {
 public:
  template <class MakeFields>
  Span(Level level, std::string_view target, std::string_view name, MakeFields&& make_fields)
      : level_(level), target_(target), name_(name), active_(span_enabled(level)) {
    if (active_) {
      fields_ = std::forward<MakeFields>(make_fields)();
      detail::dispatch_span(true, level_, target_, name_, fields_);
    }
  }
  Span(Level level, std::string_view target, std::string_view name)
      : Span(level, target, name, [] { return std::vector<Field>{}; }) {}
  ~Span() {
    if (active_) detail::dispatch_span(false, level_, target_, name_, fields_);
  }
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;

 private:
  Level level_;
  std::string_view target_;
  std::string_view name_;
  bool active_;
  std::vector<Field> fields_;
};

// A sink that keeps everything, for tests.
class CapturingSink final : public Sink {
 public:
  struct Entry {
    enum class Kind { Event, SpanEnter, SpanExit } kind;
    Level level;
    std::string target;
    std::string message;
    std::vector<Field> fields;
    std::string callsite;
    const std::string* field(std::string_view name) const;
  };
  explicit CapturingSink(Level max = Level::Trace) : max_(max) {}
  Level max_level() const override { return max_; }
  void event(const Record& r) override { push(Entry::Kind::Event, r); }
  void span_enter(const Record& r) override { push(Entry::Kind::SpanEnter, r); }
  void span_exit(const Record& r) override { push(Entry::Kind::SpanExit, r); }
  std::vector<Entry> entries;
  // Events (not spans) whose message equals `message`.
  std::vector<Entry> events_with(std::string_view message) const;

 private:
  void push(Entry::Kind kind, const Record& r) {
    entries.push_back({kind, r.level, std::string(r.target), std::string(r.message), r.fields,
                       std::string(r.callsite)});
  }
  Level max_;
};

// Installs a sink for the lifetime of the guard (tests).
class ScopedSink {
 public:
  explicit ScopedSink(std::shared_ptr<Sink> sink) { set_sink(std::move(sink)); }
  ~ScopedSink() { set_sink(nullptr); }
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;
};

}  // namespace kova::log
