// A host object acting as the engine's scorer. Failures of the host object never reach the
// host as exceptions: indexing and removal failures are logged, scoring failures become the
// error text the engine expects, and no exception is left pending.
#include <array>
#include <string>

#include "common.hpp"
#include "log/log.hpp"
#include "scorer/hybrid.hpp"

namespace kova::py {

namespace {

// Attaches the calling thread to the interpreter for one operation. A binding method already
// holds the lock; the engine may in principle call from elsewhere.
class GilGuard {
 public:
  GilGuard() : state_(PyGILState_Ensure()) {}
  ~GilGuard() { PyGILState_Release(state_); }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyGILState_STATE state_;
};

PyObject* method_name(const char* name) {
  // Interned once; kept for the process like the type objects.
  return PyUnicode_InternFromString(name);
}

PyObject* name_index_capabilities() {
  static PyObject* name = method_name("index_capabilities");
  return name;
}
PyObject* name_remove_agent() {
  static PyObject* name = method_name("remove_agent");
  return name;
}
PyObject* name_score() {
  static PyObject* name = method_name("score");
  return name;
}
PyObject* name_learn() {
  static PyObject* name = method_name("learn");
  return name;
}
PyObject* name_forget() {
  static PyObject* name = method_name("forget");
  return name;
}

// Calls obj.<name>(*args); a null name (interning failed) leaves its MemoryError pending.
template <std::size_t N>
Ref call_method(PyObject* obj, PyObject* name, std::array<PyObject*, N> args) {
  if (!name) return {};
  std::array<PyObject*, N + 1> all{};
  all[0] = obj;
  for (std::size_t i = 0; i < N; ++i) all[i + 1] = args[i];
  return Ref::steal(PyObject_VectorcallMethod(name, all.data(), N + 1, nullptr));
}

void warn(std::string_view message, std::string_view agent_id, const std::string& error) {
  log::event(log::Level::Warn, log::kTargetPyBridge, message, [&] {
    return std::vector<log::Field>{{"agent_id", std::string(agent_id)}, {"error", error}};
  });
}

std::string current_error_or(const char* fallback) {
  return PyErr_Occurred() ? take_error_text() : std::string(fallback);
}

class PyScorer final : public Scorer {
 public:
  explicit PyScorer(PyObject* host) : host_(Ref::borrow(host)) {}

  ~PyScorer() override {
    GilGuard gil;
    host_ = Ref();
  }

  // The host object knows agents by name only: the key is not passed on.
  void index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t /*key*/) override {
    GilGuard gil;
    Ref name = from_str(agent_id);
    Ref list = name ? from_str_list(texts.texts) : Ref();
    Ref result;
    if (list) {
      result = call_method<2>(host_.get(), name_index_capabilities(), {name.get(), list.get()});
    }
    if (!result) {
      warn("Python scorer index_capabilities() failed", agent_id,
           current_error_or("index_capabilities() failed"));
    }
  }

  void remove_agent(std::string_view agent_id) override {
    GilGuard gil;
    Ref name = from_str(agent_id);
    Ref result;
    if (name) result = call_method<1>(host_.get(), name_remove_agent(), {name.get()});
    if (!result) {
      warn("Python scorer remove_agent() failed", agent_id,
           current_error_or("remove_agent() failed"));
    }
  }

  std::optional<std::string> score_into(const ScoreRequest& request,
                                        ScoreList& out) const override {
    GilGuard gil;
    Ref text = from_str(request.text);
    Ref result;
    if (text) result = call_method<1>(host_.get(), name_score(), {text.get()});
    if (!result) return "scorer.score() failed: " + current_error_or("unknown error");
    std::string problem;
    convert(result.get(), out, problem);
    if (!problem.empty()) return "scorer.score() returned invalid type: " + problem;
    return std::nullopt;
  }

  // The optional learn/forget methods. A host object without the method leaves the text to
  // a re-indexing with capabilities and remembered texts; so does one whose method raised,
  // so that the host object still ends up with every text the engine remembers.
  bool learn(std::string_view agent_id, std::string_view text) override {
    return remembered_text(name_learn(), "Python scorer learn() failed", agent_id, text);
  }
  bool forget(std::string_view agent_id, std::string_view text) override {
    return remembered_text(name_forget(), "Python scorer forget() failed", agent_id, text);
  }

  // Nothing in a state file can rebuild a host object: loading asks for one.
  std::string settings_json() const override { return R"({"kind":"host"})"; }

  PyObject* host() const { return host_.get(); }

 private:
  // Reports the returned pairs into `out`, or sets `problem` to the display text of the
  // first conversion error.
  static void convert(PyObject* result, ScoreList& out, std::string& problem) {
    if (PyUnicode_Check(result)) {
      problem = "TypeError: Can't extract `str` to `Vec`";
      return;
    }
    if (!PySequence_Check(result)) {
      problem = "TypeError: " + cast_error_text(result, "Sequence");
      return;
    }
    // A snapshot, since converting an element may run host code that changes a list. Taken
    // by iterating alone: a sequence need not report its length, and asking for it (as
    // tuple() and list() do) fails where that length raises.
    Ref items = Ref::steal(PyList_New(0));
    Ref iterator = items ? Ref::steal(PyObject_GetIter(result)) : Ref();
    if (iterator) {
      while (Ref next = Ref::steal(PyIter_Next(iterator.get()))) {
        if (PyList_Append(items.get(), next.get()) < 0) break;
      }
    }
    if (PyErr_Occurred()) {
      problem = take_error_text();
      return;
    }
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      if (!PyTuple_Check(item)) {
        problem = "TypeError: " + cast_error_text(item, "tuple");
        return;
      }
      if (PyTuple_GET_SIZE(item) != 2) {
        problem = "ValueError: expected tuple of length 2, but got tuple of length " +
                  std::to_string(PyTuple_GET_SIZE(item));
        return;
      }
      const auto name = to_str(PyTuple_GET_ITEM(item, 0), nullptr);
      if (!name) {
        problem = take_error_text();
        return;
      }
      std::string owned(*name);
      const auto similarity = to_double(PyTuple_GET_ITEM(item, 1), nullptr);
      if (!similarity) {
        problem = take_error_text();
        return;
      }
      out.add_owned(std::move(owned), *similarity);
    }
  }

  bool remembered_text(PyObject* method, std::string_view failure, std::string_view agent_id,
                       std::string_view text) {
    GilGuard gil;
    if (!method) {
      PyErr_Clear();
      return false;
    }
    PyObject* found = nullptr;
    const int has = PyObject_GetOptionalAttr(host_.get(), method, &found);
    Ref bound = Ref::steal(found);
    if (has == 0) return false;
    Ref name = has > 0 ? from_str(agent_id) : Ref();
    Ref value = name ? from_str(text) : Ref();
    Ref result;
    if (value) {
      PyObject* args[] = {name.get(), value.get()};
      result = Ref::steal(PyObject_Vectorcall(bound.get(), args, 2, nullptr));
    }
    if (!result) {
      warn(failure, agent_id, current_error_or("call failed"));
      return false;
    }
    return true;
  }

  Ref host_;
};

}  // namespace

std::unique_ptr<Scorer> make_py_scorer(PyObject* host_scorer) {
  return std::make_unique<PyScorer>(host_scorer);
}

int traverse_py_scorer(const Scorer* scorer, visitproc visit, void* arg) {
  if (const auto* hybrid = dynamic_cast<const HybridScorer*>(scorer)) {
    for (const HybridPart& part : hybrid->parts()) {
      if (const int r = traverse_py_scorer(part.scorer.get(), visit, arg)) return r;
    }
    return 0;
  }
  const auto* bridge = dynamic_cast<const PyScorer*>(scorer);
  if (bridge) Py_VISIT(bridge->host());
  return 0;
}

}  // namespace kova::py
