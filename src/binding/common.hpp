#pragma once
// Shared pieces of the _native module: the owning reference handle, value conversions,
// the per-network borrow rule and the type objects. Every entry point returns a new
// reference, or nullptr with a Python exception set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
  static Ref steal(PyObject* o) { return Ref(o); }       // takes over a new reference
  static Ref borrow(PyObject* o) { Py_XINCREF(o); return Ref(o); }
  Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept { std::swap(p_, other.p_); return *this; }
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
std::optional<std::string_view> to_str(PyObject* o, const char* arg);        // str only (view into o)
std::optional<double> to_double(PyObject* o, const char* arg);              // anything float() takes
std::optional<std::uint64_t> to_u64(PyObject* o, const char* arg);          // OverflowError outside range
std::optional<std::uint8_t> to_u8(PyObject* o, const char* arg);
std::optional<std::int64_t> to_i64(PyObject* o, const char* arg);
std::optional<bool> to_flag(PyObject* o, const char* arg);                  // bool or numpy.bool_ only
std::optional<std::vector<std::string>> to_str_list(PyObject* o, const char* arg);  // rejects bare str
std::optional<Metadata> to_str_dict(PyObject* o, const char* arg);          // dict[str, str]

Ref from_str(std::string_view s);
Ref from_str_list(const std::vector<std::string>& v);
Ref from_metadata(const Metadata& m);

// Raises `type` with "argument '<arg>': <message>" (or just the message when arg is null).
void raise_arg_error(PyObject* type, const char* arg, std::string_view message);
// Re-raises the pending exception with the "argument '<arg>': " prefix on its text.
void prefix_pending_error(const char* arg);
// "<qualified type name>: <str(exc)>" of the pending exception, which is cleared.
std::string take_error_text();

// The BaseException subclass for internal failures (created once per process).
PyObject* internal_error_type();
// Runs `f`, turning any escaping C++ exception into the internal error.
template <class F>
PyObject* guarded(F&& f) noexcept;

// ---- the LocalNetwork object and its borrow rule ----
struct NetworkObject {
  PyObject_HEAD
  std::unique_ptr<LocalNetwork> engine;
  std::unordered_map<std::string, Ref>* invoke;  // agent name -> callable
  std::int64_t borrow;  // 0 free, >0 shared readers, -1 exclusive
};

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

// ---- type objects, created on first need and kept for the process ----
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

// ---- cross-file hooks ----
// Query / FilterValue objects (query_filter.cpp).
const Query* query_of(PyObject* o);              // nullptr when o is not a Query
const FilterValue* filter_value_of(PyObject* o);  // nullptr when o is not a FilterValue
// DiscoveryConfig objects (config_objects.cpp).
const DiscoveryConfig* discovery_config_of(PyObject* o);
// The scorer bridge (scorer_bridge.cpp).
std::unique_ptr<Scorer> make_py_scorer(PyObject* host_scorer);
// Discovery methods of LocalNetwork (discover.cpp), vectorcall with keywords.
PyObject* network_discover(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* network_discover_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kDiscoverDoc;
extern const char* const kDiscoverManyDoc;
// A2A agent-card function (cards.cpp).
PyObject* capabilities_from_a2a(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kCapabilitiesFromA2aDoc;

}  // namespace kova::py
