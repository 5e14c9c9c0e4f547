#pragma once
// Shared pieces of the _native module: the owning reference handle, value conversions,
// argument parsing, the per-network borrow rule and the type objects.
//
// Contract for every entry point (method, getter, slot): it returns a new reference, or
// nullptr with a Python exception set. No C++ exception leaves an entry point: wrap the body
// in `guarded`, which turns an escaping exception into the internal error.
//
// The interpreter lock is never released by this module; every function here expects it
// held.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "network/filter.hpp"
#include "network/network.hpp"
#include "query/query.hpp"

namespace kova::py {

// Owns one strong reference (or none). The only way this module holds a PyObject*.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }  // takes over a new reference
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }  // hands the reference over
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---- conversions (convert.cpp); each returns nullopt with an exception set on failure ----
// The raised exception's text is prefixed "argument '<arg>': " when `arg` is not null.
std::optional<std::string_view> to_str(PyObject* o, const char* arg);  // str only (view into o)
// A file path: str or os.PathLike[str] (bytes refused), encoded as the interpreter encodes file
// names.
std::optional<std::string> to_path(PyObject* o, const char* arg);
std::optional<double> to_double(PyObject* o, const char* arg);      // anything float() takes
std::optional<std::uint64_t> to_u64(PyObject* o, const char* arg);  // OverflowError outside range
std::optional<std::uint8_t> to_u8(PyObject* o, const char* arg);
std::optional<std::int64_t> to_i64(PyObject* o, const char* arg);
std::optional<bool> to_flag(PyObject* o, const char* arg);  // bool or numpy.bool_ only
std::optional<std::vector<std::string>> to_str_list(PyObject* o,
                                                    const char* arg);  // rejects bare str
std::optional<Metadata> to_str_dict(PyObject* o, const char* arg);     // dict[str, str]

// None and "not given" both mean absent for optional arguments.
inline bool is_absent(PyObject* o) {
  return o == nullptr || o == Py_None;
}

// The one way this module makes a str. `errors` is the codec's error handler for bytes that
// are not UTF-8 (nullptr: strict, UnicodeDecodeError).
Ref from_str(std::string_view s, const char* errors = nullptr);
Ref from_str_list(std::span<const std::string> v);
Ref from_metadata(const Metadata& m);

// "'<type name>' object cannot be converted to '<target>'", the module's cast failure text.
std::string cast_error_text(PyObject* o, const char* target);
// Raises `type` with "argument '<arg>': <message>" (or just the message when arg is null).
void raise_arg_error(PyObject* type, const char* arg, std::string_view message);
// Re-raises the pending exception with the "argument '<arg>': " prefix on its text (same
// type, the original as its cause). Does nothing when arg is null.
void prefix_pending_error(const char* arg);
// "<qualified type name>: <str(exc)>" of the pending exception, which is cleared.
std::string take_error_text();

// ---- argument parsing (convert.cpp) ----
// A parameter list as a text signature prints it: `n_positional` leading parameters may come
// by position or keyword, the rest are keyword-only; the first `n_required` are required.
struct ArgSpec {
  const char* func;  // name in messages, e.g. "LocalNetwork.register"
  std::span<const char* const> names;
  std::size_t n_positional;
  std::size_t n_required;
};
// Fills out[0..names.size()) with borrowed references, nullptr where not given. On a
// missing, duplicate or unexpected argument raises TypeError and returns false.
bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);
// The same for tp_new style (tuple, dict or null) arguments.
bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// ---- internal failures ----
// The BaseException subclass for internal failures (created once per process).
PyObject* internal_error_type();
// Writes the failure report to standard error and raises the internal error with `what`.
void raise_internal_error(std::string_view what) noexcept;

// ---- engine log records (logging_bridge.cpp) ----
// Brings the engine's log levels in line with the `logging` configuration before engine work
// that may log; reads memory only unless the configuration changed.
void sync_log_levels() noexcept;
namespace log_calls {
extern thread_local int depth;     // binding calls in progress on this thread
extern std::atomic<bool> pending;  // records wait to be handed to `logging`
void flush() noexcept;
}  // namespace log_calls
// Around every entry point: queued records go to `logging` when the outermost call ends, so
// that no handler runs while a network is borrowed or an engine lock is held.
class CallScope {
 public:
  CallScope() noexcept { ++log_calls::depth; }
  ~CallScope() {
    if (--log_calls::depth == 0 && log_calls::pending.load(std::memory_order_relaxed)) {
      log_calls::flush();
    }
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// Runs `f`; any C++ exception escaping it becomes the internal error and `fail` is returned.
// Objects with destructors inside `f` (a Borrow, Refs) are unwound first, so a borrow is
// always released.
template <class R, class F>
R guarded_or(R fail, F&& f) noexcept {
  const CallScope scope;
  try {
    return std::invoke(std::forward<F>(f));
  } catch (const std::bad_alloc&) {
    raise_internal_error("out of memory");
  } catch (const std::exception& e) {
    raise_internal_error(e.what());
  } catch (...) {
    raise_internal_error("unknown C++ exception");
  }
  return fail;
}
template <class F>
PyObject* guarded(F&& f) noexcept {
  return guarded_or<PyObject*>(nullptr, std::forward<F>(f));
}

// ---- the LocalNetwork object and its borrow rule ----
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
// Agent name -> invocation callable; find() takes a std::string_view.
using InvokeMap = std::unordered_map<std::string, Ref, StringHash, std::equal_to<>>;

struct NetworkObject {
  PyObject_HEAD
  // Null only after the garbage collector cleared a cycle through this object; Borrow then
  // refuses every call.
  std::unique_ptr<LocalNetwork> engine;
  InvokeMap invoke;     // constructed in place with the object, like `engine`
  std::int64_t borrow;  // 0 free, >0 shared readers, -1 exclusive
  // The exploration epsilon is a pure function of the engine's feedback counter; the getter
  // remembers the last value so that a read without intervening feedback skips the power.
  std::uint64_t epsilon_epoch;  // counter value `epsilon` belongs to; UINT64_MAX for none
  double epsilon;
};

inline NetworkObject* as_network(PyObject* o) {
  return reinterpret_cast<NetworkObject*>(o);
}

// The callable stored for `name`, as a new reference, or None.
Ref invoke_of(const NetworkObject* self, std::string_view name);

// RAII borrow; check ok() after construction (on failure the RuntimeError is set).
class Borrow {
 public:
  enum class Mode { Shared, Exclusive };
  Borrow(NetworkObject* self, Mode mode);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return ok_; }

 private:
  NetworkObject* self_;
  Mode mode_;
  bool ok_ = false;
};

// Runs `body(net)` with `self` borrowed in `mode`; the borrow ends when it returns. A body that
// makes a Python object gives the object (nullptr when the borrow is refused); any other body
// gives its value in an optional (nullopt when refused). A refusal leaves the RuntimeError set.
// Objects made after the borrow ended may run host code (a collection) that uses the network.
template <class F>
auto borrowed(PyObject* self, Borrow::Mode mode, F&& body) {
  using R = std::invoke_result_t<F, NetworkObject*>;
  using Out = std::conditional_t<std::is_same_v<R, PyObject*>, PyObject*, std::optional<R>>;
  NetworkObject* net = as_network(self);
  const Borrow borrow(net, mode);
  if (!borrow.ok()) return Out{};
  return Out{std::invoke(std::forward<F>(body), net)};
}

// ---- method tables and type objects ----

// A method of any of the calling conventions, as a method table stores it.
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Classes whose objects only this module makes: final, immutable, not callable.
constexpr unsigned kFinalNoInit =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// The type made from `spec`, kept in `slot` for the process. A failed creation leaves the
// exception set and is tried again on the next call.
inline PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return slot;
}

// Each returns nullptr with an exception set when the type cannot be created.
PyTypeObject* local_network_type();
PyTypeObject* discovery_result_type();
PyTypeObject* explained_result_type();
PyTypeObject* discovery_response_type();
PyTypeObject* response_iter_type();
PyTypeObject* query_type();
PyTypeObject* tfidf_scorer_type();
PyTypeObject* mycorrhizal_type();
PyTypeObject* circuit_breaker_type();
PyTypeObject* discovery_config_type();
PyTypeObject* filter_value_type();
PyTypeObject* bm25_scorer_type();
PyTypeObject* hybrid_scorer_type();

// ---- cross-file hooks ----
// Query / FilterValue objects (query_filter.cpp).
const Query* query_of(PyObject* o);               // nullptr when o is not a Query
const FilterValue* filter_value_of(PyObject* o);  // nullptr when o is not a FilterValue
// DiscoveryConfig objects (config_objects.cpp).
const DiscoveryConfig* discovery_config_of(PyObject* o);  // nullptr when not a DiscoveryConfig
// The scorer bridge (scorer_bridge.cpp). Takes a new strong reference to `host_scorer`.
std::unique_ptr<Scorer> make_py_scorer(PyObject* host_scorer);
// Visits the host objects held by `scorer`: a bridge scorer's, and those of a hybrid's parts
// (garbage collection).
int traverse_py_scorer(const Scorer* scorer, visitproc visit, void* arg);
// The engine scorer a network builds for a `scorer=` argument (scorer_objects.cpp): a new
// built-in scorer for TfIdfScorer, Bm25Scorer and HybridScorer objects (a hybrid's host
// parts bridged), the bridge for any other object. nullptr with an exception set on failure.
std::unique_ptr<Scorer> engine_scorer_of(PyObject* host);
// Discovery methods of LocalNetwork (discover.cpp), vectorcall with keywords.
PyObject* network_discover(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* network_discover_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
extern const char kDiscoverDoc[];
extern const char kDiscoverManyDoc[];
// A2A agent-card function (cards.cpp).
PyObject* capabilities_from_a2a(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
extern const char kCapabilitiesFromA2aDoc[];

}  // namespace kova::py
