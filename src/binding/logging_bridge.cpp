// Engine log records reach Python's `logging`.
//
// Each engine target has a logger under `kova_discovery` ("kova_discovery_native::network"
// becomes "kova_discovery.network"). Events keep their level (TRACE and DEBUG become DEBUG,
// WARN becomes WARNING); span entries become DEBUG records named after the span, span exits
// nothing. A record carries the event's fields as `kova_fields`, a dict of texts: nested,
// because several field names ("name", for one) are LogRecord attributes already; an event
// with a callsite name carries it as `kova_callsite`.
//
// Off costs nothing: the engine asks a per-level flag before it builds a record, and the flags
// say whether some handler would take a record of that level from some target. They are
// recomputed, with Python calls, only when the logging configuration is seen to change; the
// check before each engine call reads memory only:
// - a level change anywhere (Logger.setLevel, logging.disable) empties every logger's level
//   cache, where a private marker of ours then no longer is;
// - adding or removing a handler changes a handler list of a logger the targets propagate
//   through, compared item by item with what was last seen.
// What neither shows is picked up at the next change that does: a handler's own setLevel, a
// logger's `disabled` or `propagate` set directly, a `handlers` list replaced as a whole.
//
// Records are queued while the engine runs and handed to `logging` when the outermost binding
// call of the thread that logged them ends, after the network's borrow and every engine lock
// are released: a handler may take its time, switch threads or call back into the network.
// A handler that raises is reported through sys.unraisablehook and otherwise ignored, as
// logging ignores a failing emit.
#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common.hpp"
#include "log/log.hpp"

namespace kova::py {

namespace log_calls {
thread_local int depth = 0;
std::atomic<bool> pending{false};
}  // namespace log_calls

namespace {

// Python's levels in the order the flags keep them.
constexpr std::array<int, 4> kPyLevels = {10, 20, 30, 40};  // DEBUG INFO WARNING ERROR

int python_level(log::Level level) {
  switch (level) {
    case log::Level::Error:
      return 40;
    case log::Level::Warn:
      return 30;
    case log::Level::Info:
      return 20;
    default:
      return 10;
  }
}

std::size_t level_slot(int py_level) {
  return py_level <= 10 ? 0 : py_level <= 20 ? 1 : py_level <= 30 ? 2 : 3;
}

std::string logger_name(std::string_view target) {
  constexpr std::string_view kEngine = "kova_discovery_native";
  std::string name = "kova_discovery";
  if (target.starts_with(kEngine)) {
    target.remove_prefix(kEngine.size());
  } else {
    name += '.';
  }
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.compare(i, 2, "::") == 0) {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

// Records this thread's calls have queued, ever: tells a handler's call that logged from one
// that did not.
thread_local std::size_t records_queued_here = 0;

struct Queued {
  int py_level;
  std::string target;
  std::string message;
  std::vector<log::Field> fields;
  std::thread::id thread;  // whose call logged it: that call's end hands it over
  std::string callsite;
};

// The sink the engine sees. It may be called wherever the engine runs, so what it shares with
// the Python side sits behind a mutex; the levels are atomics the facade reads.
class PythonSink final : public log::Sink {
 public:
  log::Level max_level() const override { return static_cast<log::Level>(events_.load()); }
  log::Level max_span_level() const override { return static_cast<log::Level>(spans_.load()); }
  void event(const log::Record& r) override { push(python_level(r.level), r); }
  void span_enter(const log::Record& r) override { push(10, r); }
  void span_exit(const log::Record&) override {}

  void set_levels(log::Level events, log::Level spans) {
    events_.store(static_cast<int>(events));
    spans_.store(static_cast<int>(spans));
  }
  // Which Python levels each target's records are wanted at, by engine target name.
  void set_wanted(std::vector<std::pair<std::string, std::array<bool, 4>>> wanted) {
    std::lock_guard lock(mutex_);
    wanted_ = std::move(wanted);
  }
  // The records this thread's calls logged. Another thread's wait for its own call to end:
  // handed over here they would carry this thread's name, and while that call waits in host
  // code it must not hold this thread's records back either.
  std::vector<Queued> take() {
    std::lock_guard lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    const auto others = std::stable_partition(queue_.begin(), queue_.end(),
                                              [&](const Queued& q) { return q.thread == self; });
    std::vector<Queued> mine(std::make_move_iterator(queue_.begin()),
                             std::make_move_iterator(others));
    queue_.erase(queue_.begin(), others);
    log_calls::pending.store(!queue_.empty());
    return mine;
  }
  // A target seen for the first time: its records are passed on (logging itself then decides)
  // until the next refresh has computed its flags.
  bool has_unknown_targets() const { return has_unknown_.load(std::memory_order_relaxed); }
  std::vector<std::string> unknown_targets() {
    std::lock_guard lock(mutex_);
    has_unknown_.store(false);
    return std::exchange(unknown_, {});
  }

 private:
  void push(int py_level, const log::Record& r) {
    std::lock_guard lock(mutex_);
    bool known = false;
    for (const auto& [target, wanted] : wanted_) {
      if (target != r.target) continue;
      if (!wanted[level_slot(py_level)]) return;
      known = true;
      break;
    }
    if (!known) {
      unknown_.emplace_back(r.target);
      has_unknown_.store(true);
    }
    queue_.push_back({py_level, std::string(r.target), std::string(r.message), r.fields,
                      std::this_thread::get_id(), std::string(r.callsite)});
    ++records_queued_here;
    log_calls::pending.store(true);
  }

  std::atomic<int> events_{0};
  std::atomic<int> spans_{0};
  std::atomic<bool> has_unknown_{false};
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::array<bool, 4>>> wanted_;
  std::vector<std::string> unknown_;
  std::vector<Queued> queue_;
};

struct Target {
  std::string engine_name;
  Ref logger;
  std::array<bool, 4> wanted{};
};

// A handler list as last seen: the list and strong references to its items, so that an item
// cannot be freed and its address reused by a new handler unnoticed.
struct WatchedList {
  Ref list;
  std::vector<Ref> items;

  bool unchanged() const {
    PyObject* l = list.get();
    if (PyList_GET_SIZE(l) != static_cast<Py_ssize_t>(items.size())) return false;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (PyList_GET_ITEM(l, static_cast<Py_ssize_t>(i)) != items[i].get()) return false;
    }
    return true;
  }
};

// Everything on the Python side; touched only with the interpreter lock held. Kept for the
// process, like the type objects.
class Bridge {
 public:
  static constexpr std::size_t kCallsFromHandlers = 1024;

  void sync() {
    if (broken_) return;
    if (ready_ && !sink_->has_unknown_targets() && unchanged()) return;
    if (!ready_ && !initialise()) {
      // No logging module to speak to: the engine stays silent, as it was.
      PyErr_Clear();
      broken_ = true;
      return;
    }
    if (!refresh()) {
      // A configuration that cannot be read (a handler whose level is not a number, say):
      // silent until it changes again.
      PyErr_Clear();
      sink_->set_levels(log::Level::Off, log::Level::Off);
      log::refresh_levels();
    }
  }

  void flush() {
    // Per thread: while one thread's handler waits (releasing the interpreter lock), another
    // thread's call must still hand over its own records.
    thread_local bool flushing = false;
    thread_local std::size_t calls_from_handlers = 0;
    thread_local std::size_t queued_before = 0;
    // A handler's own call into the module ends here: the loop below takes its records.
    if (flushing) {
      // Only calls that logged count: a handler may look things up for every record.
      if (records_queued_here != queued_before) ++calls_from_handlers;
      queued_before = records_queued_here;
      return;
    }
    if (!sink_) return;
    struct Flushing {
      bool& flag;
      explicit Flushing(bool& f) : flag(f) { flag = true; }
      ~Flushing() { flag = false; }
    } guard(flushing);
    calls_from_handlers = 0;
    queued_before = records_queued_here;
    // The call's own exception, if it is failing, survives the handlers.
    Ref saved = Ref::steal(PyErr_GetRaisedException());
    // Records that handlers' own calls log go out in further rounds, everything such calls
    // log, up to a number of calls: a handler that calls the network for every record feeds
    // itself (twice per record doubles the queue each round). What is left then is dropped
    // with one warning; carried over, it would grow with every call.
    while (calls_from_handlers <= kCallsFromHandlers && log_calls::pending.load()) {
      const std::vector<Queued> mine = sink_->take();
      if (mine.empty()) break;
      for (const Queued& q : mine) emit(q);
    }
    const std::size_t dropped = log_calls::pending.load() ? sink_->take().size() : 0;
    if (dropped > 0) {
      emit({30,
            std::string(log::kTargetPyBridge),
            "dropped " + std::to_string(dropped) +
                " log records that logging handlers' own calls into kova_discovery logged",
            {},
            std::this_thread::get_id(),
            {}});
      if (log_calls::pending.load()) sink_->take();
    }
    if (saved) PyErr_SetRaisedException(saved.release());
  }

 private:
  bool unchanged() const {
    const int marked = PyDict_Contains(cache_.get(), marker_.get());
    if (marked < 0) PyErr_Clear();
    if (marked != 1) return false;
    for (const WatchedList& w : watched_) {
      if (!w.unchanged()) return false;
    }
    return true;
  }

  bool initialise() {
    logging_ = Ref::steal(PyImport_ImportModule("logging"));
    if (!logging_) return false;
    get_logger_ = Ref::steal(PyObject_GetAttrString(logging_.get(), "getLogger"));
    null_handler_ = Ref::steal(PyObject_GetAttrString(logging_.get(), "NullHandler"));
    marker_ = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    name_log_ = Ref::steal(PyUnicode_InternFromString("log"));
    name_enabled_ = Ref::steal(PyUnicode_InternFromString("isEnabledFor"));
    extra_kwnames_ = Ref::steal(Py_BuildValue("(s)", "extra"));
    if (!get_logger_ || !null_handler_ || !PyType_Check(null_handler_.get()) || !marker_ ||
        !name_log_ || !name_enabled_ || !extra_kwnames_) {
      return false;
    }
    // The package logger first, so that it is a logger of its own and not a placeholder.
    if (!logger_named("kova_discovery")) return false;
    for (std::string_view t :
         {log::kTargetNetwork, log::kTargetPipeline, log::kTargetScorer, log::kTargetPyBridge}) {
      if (!add_target(t)) return false;
    }
    // Every logger's level cache is emptied together, so one marker tells of any level change.
    cache_ = attr(targets_.front().logger.get(), "_cache");
    if (!cache_ || !PyDict_Check(cache_.get())) return false;
    sink_ = std::make_shared<PythonSink>();
    log::set_sink(sink_);
    ready_ = true;
    return true;
  }

  Ref logger_named(const std::string& name) {
    Ref text = from_str(name);
    if (!text) return {};
    return Ref::steal(PyObject_CallOneArg(get_logger_.get(), text.get()));
  }

  bool add_target(std::string_view engine_name) {
    Ref logger = logger_named(logger_name(engine_name));
    if (!logger) return false;
    targets_.push_back({std::string(engine_name), std::move(logger), {}});
    return true;
  }

  Ref attr(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

  // `out` = whether an integer attribute is at most `level`.
  bool level_at_most(PyObject* o, int level, bool& out) {
    Ref value = attr(o, "level");
    if (!value) return false;
    const long v = PyLong_AsLong(value.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v <= level;
    return true;
  }

  void watch(PyObject* list) {
    for (const WatchedList& w : watched_) {
      if (w.list.get() == list) return;
    }
    WatchedList w{Ref::borrow(list), {}};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      w.items.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
    }
    watched_.push_back(std::move(w));
  }

  // Whether a record of `level` from `logger` would reach a handler that does something, as
  // Logger.callHandlers walks them; a NullHandler is found but does nothing.
  bool handled(PyObject* logger, int level, bool& out) {
    out = false;
    bool found = false;
    Ref c = Ref::borrow(logger);
    while (c && c.get() != Py_None) {
      Ref handlers = attr(c.get(), "handlers");
      if (!handlers) return false;
      if (!PyList_Check(handlers.get())) {
        PyErr_SetString(PyExc_TypeError, "logger handlers is not a list");
        return false;
      }
      watch(handlers.get());
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i) {
        PyObject* h = PyList_GET_ITEM(handlers.get(), i);
        found = true;
        if (PyObject_TypeCheck(h, reinterpret_cast<PyTypeObject*>(null_handler_.get()))) continue;
        bool takes = false;
        if (!level_at_most(h, level, takes)) return false;
        if (takes) {
          out = true;
          return true;
        }
      }
      Ref propagate = attr(c.get(), "propagate");
      if (!propagate) return false;
      const int truth = PyObject_IsTrue(propagate.get());
      if (truth < 0) return false;
      if (!truth) break;
      c = attr(c.get(), "parent");
      if (!c) return false;
    }
    if (found) return true;
    Ref last_resort = attr(logging_.get(), "lastResort");
    if (!last_resort) return false;
    if (last_resort.get() != Py_None && !level_at_most(last_resort.get(), level, out)) return false;
    return true;
  }

  // On failure the marker and the lists seen so far stay, so that a configuration that cannot
  // be read is read again only once it changes.
  bool refresh() {
    if (PyDict_SetItem(cache_.get(), marker_.get(), Py_True) < 0) return false;
    for (const std::string& t : sink_->unknown_targets()) {
      bool known = false;
      for (const Target& target : targets_) known = known || target.engine_name == t;
      if (!known && !add_target(t)) return false;
    }
    watched_.clear();
    std::array<bool, 4> any{};
    std::vector<std::pair<std::string, std::array<bool, 4>>> wanted;
    for (Target& t : targets_) {
      for (std::size_t slot = 0; slot < kPyLevels.size(); ++slot) {
        Ref level = Ref::steal(PyLong_FromLong(kPyLevels[slot]));
        if (!level) return false;
        PyObject* args[] = {t.logger.get(), level.get()};
        Ref enabled = Ref::steal(PyObject_VectorcallMethod(name_enabled_.get(), args, 2, nullptr));
        if (!enabled) return false;
        const int truth = PyObject_IsTrue(enabled.get());
        if (truth < 0) return false;
        bool takes = false;
        if (!handled(t.logger.get(), kPyLevels[slot], takes)) return false;
        t.wanted[slot] = truth && takes;
        any[slot] = any[slot] || t.wanted[slot];
      }
      wanted.emplace_back(t.engine_name, t.wanted);
    }
    sink_->set_wanted(std::move(wanted));
    // Spans are DEBUG records, so they are wanted only with DEBUG.
    const log::Level events = any[0]   ? log::Level::Trace
                              : any[1] ? log::Level::Info
                              : any[2] ? log::Level::Warn
                              : any[3] ? log::Level::Error
                                       : log::Level::Off;
    sink_->set_levels(events, any[0] ? log::Level::Trace : log::Level::Off);
    log::refresh_levels();
    return true;
  }

  PyObject* logger_for(const std::string& engine_name) {
    for (const Target& t : targets_) {
      if (t.engine_name == engine_name) return t.logger.get();
    }
    return nullptr;
  }

  static std::string message_of(const Queued& q) {
    std::string text = q.message;
    std::string rest;
    for (const log::Field& f : q.fields) {
      if (f.name == "error") {
        text += ": " + f.value;
        continue;
      }
      rest += rest.empty() ? " (" : ", ";
      rest += f.name + "=" + f.value;
    }
    if (!rest.empty()) rest += ")";
    return text + rest;
  }

  static Ref text(std::string_view s) {
    // Engine texts are UTF-8 from host strings; a broken byte must not lose the record.
    return from_str(s, "backslashreplace");
  }

  void emit(const Queued& q) {
    PyObject* logger = logger_for(q.target);
    Ref owned;
    if (logger == nullptr) {
      owned = logger_named(logger_name(q.target));
      logger = owned.get();
    }
    Ref level = Ref::steal(PyLong_FromLong(q.py_level));
    Ref message = text(message_of(q));
    Ref fields = Ref::steal(PyDict_New());
    Ref extra = Ref::steal(PyDict_New());
    bool ok = logger && level && message && fields && extra;
    for (std::size_t i = 0; ok && i < q.fields.size(); ++i) {
      Ref value = text(q.fields[i].value);
      ok = value && PyDict_SetItemString(fields.get(), q.fields[i].name.c_str(), value.get()) == 0;
    }
    ok = ok && PyDict_SetItemString(extra.get(), "kova_fields", fields.get()) == 0;
    if (ok && !q.callsite.empty()) {
      Ref callsite = text(q.callsite);
      ok = callsite && PyDict_SetItemString(extra.get(), "kova_callsite", callsite.get()) == 0;
    }
    Ref result;
    if (ok) {
      PyObject* args[] = {logger, level.get(), message.get(), extra.get()};
      result =
          Ref::steal(PyObject_VectorcallMethod(name_log_.get(), args, 3, extra_kwnames_.get()));
    }
    if (!result) PyErr_WriteUnraisable(logger);
  }

  bool ready_ = false;
  bool broken_ = false;
  Ref logging_;
  Ref get_logger_;
  Ref null_handler_;
  Ref marker_;
  Ref cache_;
  Ref name_log_;
  Ref name_enabled_;
  Ref extra_kwnames_;
  std::vector<Target> targets_;
  std::vector<WatchedList> watched_;
  std::shared_ptr<PythonSink> sink_;
};

Bridge& bridge() {
  static Bridge* b = new Bridge;  // never destroyed: it holds references past interpreter exit
  return *b;
}

}  // namespace

void sync_log_levels() noexcept {
  try {
    bridge().sync();
  } catch (...) {
    // Out of memory while reading the configuration: stay as configured before.
  }
}

namespace log_calls {
void flush() noexcept {
  try {
    bridge().flush();
  } catch (...) {
    // Records that could not be handed over are lost, never the call's own result.
  }
}
}  // namespace log_calls

}  // namespace kova::py
