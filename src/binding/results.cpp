// DiscoveryResult, ExplainedResult, DiscoveryResponse and the response iterator.
//
// Result objects keep the engine's structs as they came out of discovery and build host
// values only when an attribute is read: most callers look at a name and a score, so making
// every metadata dict up front would be wasted work.
#include "results.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/format.hpp"

namespace kova::py {
namespace {

// ---- shared helpers ----

PyObject* optional_str(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return from_str(*s).release();
}

// ---- DiscoveryResult ----

// A result holding a callable may sit in a reference cycle and is made a collectable object.
// Most results hold none; they are plain objects, reported to the collector as such through
// tp_is_gc, so that a batch of thousands neither carries collector headers nor sets off
// collections that would walk every one of them. The price: sys.getsizeof and tracemalloc's
// object lookup go by the type and assume a header, so they count 16 bytes too many and find
// no traceback for these; giving every result the header made discover_many ~10% slower.
struct ResultObject {
  PyObject_HEAD
  DiscoveryResult result;
  Ref invoke;
  bool collectable;  // fixed at allocation: how the object was allocated and must be freed
};

ResultObject* as_result(PyObject* o) {
  return reinterpret_cast<ResultObject*>(o);
}

int result_is_gc(PyObject* self) {
  return as_result(self)->collectable ? 1 : 0;
}

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ResultObject* o = as_result(self);
  const bool collectable = o->collectable;
  if (collectable) PyObject_GC_UnTrack(self);
  o->result.~DiscoveryResult();
  o->invoke.~Ref();
  if (collectable) {
    PyObject_GC_Del(self);
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
}

int result_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_result(self)->invoke.get());
  return 0;
}

int result_clear(PyObject* self) {
  as_result(self)->invoke = Ref();
  return 0;
}

PyObject* result_agent_name(PyObject* self, void*) {
  return from_str(as_result(self)->result.agent_name).release();
}
PyObject* result_similarity(PyObject* self, void*) {
  return PyFloat_FromDouble(as_result(self)->result.similarity);
}
PyObject* result_score(PyObject* self, void*) {
  return PyFloat_FromDouble(as_result(self)->result.score);
}
PyObject* result_endpoint(PyObject* self, void*) {
  return optional_str(as_result(self)->result.endpoint);
}
PyObject* result_metadata(PyObject* self, void*) {
  return from_metadata(as_result(self)->result.metadata).release();
}
PyObject* result_invoke(PyObject* self, void*) {
  PyObject* f = as_result(self)->invoke.get();
  return Py_NewRef(f != nullptr ? f : Py_None);
}

std::string result_repr_text(const DiscoveryResult& r) {
  std::string s = "DiscoveryResult(agent='";
  s += r.agent_name;
  s += "', similarity=";
  s += format_fixed3(r.similarity);
  s += ", score=";
  s += format_fixed3(r.score);
  if (r.endpoint) {
    s += ", endpoint='";
    s += *r.endpoint;
    s += '\'';
  }
  s += ')';
  return s;
}

PyObject* result_repr(PyObject* self) {
  return guarded([&] { return from_str(result_repr_text(as_result(self)->result)).release(); });
}

PyGetSetDef result_getset[] = {
    {"agent_name", result_agent_name, nullptr, nullptr, nullptr},
    {"similarity", result_similarity, nullptr, nullptr, nullptr},
    {"score", result_score, nullptr, nullptr, nullptr},
    {"endpoint", result_endpoint, nullptr, nullptr, nullptr},
    {"metadata", result_metadata, nullptr, nullptr, nullptr},
    {"invoke", result_invoke, nullptr, nullptr, nullptr},
    {"final_score", result_score, nullptr,
     "Alias for `score` (matches ExplainedResult naming for consistency).", nullptr},
    {"raw_similarity", result_similarity, nullptr,
     "Alias for `similarity` (matches ExplainedResult naming for consistency).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kResultDoc[] =
    "A single discovery result.\n"
    "\n"
    "Attributes:\n"
    "    agent_name: The matched agent's name.\n"
    "    similarity: Raw capability similarity [0.0, 1.0] based on MinHash overlap.\n"
    "    score: Combined routing score (similarity x diameter, adjusted by feedback).\n"
    "    endpoint: Agent URI/URL if provided at registration, else None.\n"
    "    metadata: Dict of key-value pairs if provided at registration, else {}.\n"
    "    invoke: Callable if provided at registration, else None.";

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_is_gc, reinterpret_cast<void*>(result_is_gc)},
    {Py_tp_traverse, reinterpret_cast<void*>(result_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(result_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {Py_tp_doc, const_cast<char*>(kResultDoc)},
    {0, nullptr},
};

PyType_Spec result_spec = {"builtins.DiscoveryResult", sizeof(ResultObject), 0,
                           kFinalNoInit | Py_TPFLAGS_HAVE_GC, result_slots};

// ---- ExplainedResult ----

struct ExplainedObject {
  PyObject_HEAD
  ExplainedResult result;
};

const ExplainedResult& explained(PyObject* o) {
  return reinterpret_cast<ExplainedObject*>(o)->result;
}

void explained_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ExplainedObject*>(self)->result.~ExplainedResult();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* explained_agent_name(PyObject* self, void*) {
  return from_str(explained(self).agent_name).release();
}
PyObject* explained_endpoint(PyObject* self, void*) {
  return optional_str(explained(self).endpoint);
}
PyObject* explained_metadata(PyObject* self, void*) {
  return from_metadata(explained(self).metadata).release();
}

template <double ExplainedResult::*Field>
PyObject* explained_float(PyObject* self, void*) {
  return PyFloat_FromDouble(explained(self).*Field);
}

PyObject* explained_repr(PyObject* self) {
  return guarded([&] {
    const ExplainedResult& r = explained(self);
    std::string s = "ExplainedResult(agent='";
    s += r.agent_name;
    s += "', sim=" + format_fixed3(r.raw_similarity);
    s += " [" + format_fixed3(r.similarity_lower) + ", " + format_fixed3(r.similarity_upper) + "]";
    s += ", diameter=" + format_fixed3(r.diameter);
    s += ", enzyme=" + format_fixed3(r.enzyme_score);
    s += ", feedback=" + format_fixed3(r.feedback_factor);
    s += ", score=" + format_fixed3(r.final_score) + ")";
    return from_str(s).release();
  });
}

PyGetSetDef explained_getset[] = {
    {"agent_name", explained_agent_name, nullptr, nullptr, nullptr},
    {"raw_similarity", explained_float<&ExplainedResult::raw_similarity>, nullptr, nullptr,
     nullptr},
    {"similarity_lower", explained_float<&ExplainedResult::similarity_lower>, nullptr, nullptr,
     nullptr},
    {"similarity_upper", explained_float<&ExplainedResult::similarity_upper>, nullptr, nullptr,
     nullptr},
    {"diameter", explained_float<&ExplainedResult::diameter>, nullptr, nullptr, nullptr},
    {"enzyme_score", explained_float<&ExplainedResult::enzyme_score>, nullptr, nullptr, nullptr},
    {"feedback_factor", explained_float<&ExplainedResult::feedback_factor>, nullptr, nullptr,
     nullptr},
    {"final_score", explained_float<&ExplainedResult::final_score>, nullptr, nullptr, nullptr},
    {"endpoint", explained_endpoint, nullptr, nullptr, nullptr},
    {"metadata", explained_metadata, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kExplainedDoc[] =
    "Extended discovery result with full scoring breakdown.\n"
    "\n"
    "Attributes:\n"
    "    agent_name: The matched agent's name.\n"
    "    raw_similarity: Raw capability similarity from the scorer [0.0, 1.0].\n"
    "    diameter: Agent's routing diameter (weight from feedback history).\n"
    "    feedback_factor: Per-query feedback adjustment [-1.0, 1.0].\n"
    "    final_score: Combined routing score.\n"
    "    endpoint: Agent URI/URL if provided at registration, else None.\n"
    "    metadata: Dict of key-value pairs if provided at registration, else {}.";

PyType_Slot explained_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(explained_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(explained_repr)},
    {Py_tp_getset, explained_getset},
    {Py_tp_doc, const_cast<char*>(kExplainedDoc)},
    {0, nullptr},
};

PyType_Spec explained_spec = {"builtins.ExplainedResult", sizeof(ExplainedObject), 0, kFinalNoInit,
                              explained_slots};

// ---- DiscoveryResponse ----

struct ResponseObject {
  PyObject_HEAD
  ResponseData data;
};

ResponseData& response(PyObject* o) {
  return reinterpret_cast<ResponseObject*>(o)->data;
}

void response_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  response(self).~ResponseData();
  type->tp_free(self);
  Py_DECREF(type);
}

int response_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const StoredResult& r : response(self).results) Py_VISIT(r.invoke.get());
  return 0;
}

int response_clear(PyObject* self) {
  for (StoredResult& r : response(self).results) r.invoke = Ref();
  return 0;
}

// A new list of new DiscoveryResult objects for the current results.
Ref results_list(const ResponseData& data) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(data.results.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < data.results.size(); ++i) {
    Ref item = make_discovery_result(data.results[i]);
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

// Copying a stored result may run out of memory: guarded, so that it raises.
PyObject* response_results(PyObject* self, void*) {
  return guarded([&] { return results_list(response(self)).release(); });
}
PyObject* response_confidence(PyObject* self, void*) {
  return from_str(response(self).confidence).release();
}
PyObject* response_dissenting(PyObject* self, void*) {
  return optional_str(response(self).dissenting_kernel);
}
PyObject* response_alternatives(PyObject* self, void*) {
  return from_str_list(response(self).alternative_agents).release();
}
PyObject* response_parallelism(PyObject* self, void*) {
  return PyLong_FromSize_t(response(self).recommended_parallelism);
}
PyObject* response_best(PyObject* self, void*) {
  const auto& best = response(self).best_below_threshold;
  if (!best) Py_RETURN_NONE;
  Ref name = from_str(best->first);
  if (!name) return nullptr;
  Ref sim = Ref::steal(PyFloat_FromDouble(best->second));
  if (!sim) return nullptr;
  return PyTuple_Pack(2, name.get(), sim.get());
}

Py_ssize_t response_length(PyObject* self) {
  return static_cast<Py_ssize_t>(response(self).results.size());
}

PyObject* response_subscript(PyObject* self, PyObject* idx) {
  std::optional<std::int64_t> index = to_i64(idx, "idx");
  if (!index) return nullptr;
  const ResponseData& data = response(self);
  const auto count = static_cast<std::int64_t>(data.results.size());
  std::int64_t i = *index;
  if (i < 0) i += count;
  if (i < 0 || i >= count) {
    PyErr_SetString(PyExc_IndexError, "index out of range");
    return nullptr;
  }
  return guarded(
      [&] { return make_discovery_result(data.results[static_cast<std::size_t>(i)]).release(); });
}

PyObject* response_iter(PyObject* self);

PyObject* response_repr(PyObject* self) {
  return guarded([&] {
    const ResponseData& data = response(self);
    std::string s = "DiscoveryResponse(results=" + std::to_string(data.results.size()) +
                    ", confidence='" + data.confidence +
                    "', parallelism=" + std::to_string(data.recommended_parallelism) + ")";
    return from_str(s).release();
  });
}

PyGetSetDef response_getset[] = {
    {"results", response_results, nullptr, "Get the results as a list of DiscoveryResult objects.",
     nullptr},
    {"confidence", response_confidence, nullptr, nullptr, nullptr},
    {"dissenting_kernel", response_dissenting, nullptr, nullptr, nullptr},
    {"alternative_agents", response_alternatives, nullptr, nullptr, nullptr},
    {"recommended_parallelism", response_parallelism, nullptr, nullptr, nullptr},
    {"best_below_threshold", response_best, nullptr,
     "When results are empty, reports the highest similarity score that was filtered out.\n"
     "Format: (agent_name, similarity_score) or None if results are not empty.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kResponseDoc[] =
    "Discovery response with confidence signal.\n"
    "\n"
    "Iterating over a response yields its DiscoveryResult objects, best first; this is\n"
    "supported for backwards compatibility with code that expects a plain result list.\n"
    "\n"
    "Attributes:\n"
    "    results: List of DiscoveryResult objects, best match first.\n"
    "    confidence: \"unanimous\", \"majority\", or \"split\".\n"
    "    dissenting_kernel: Name of the dissenting kernel (majority only).\n"
    "    alternative_agents: Alternative agent names suggested by dissenting kernels (split "
    "only).\n"
    "    recommended_parallelism: Suggested number of agents to invoke in parallel.";

PyType_Slot response_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(response_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(response_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(response_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(response_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(response_iter)},
    {Py_mp_length, reinterpret_cast<void*>(response_length)},
    {Py_sq_length, reinterpret_cast<void*>(response_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(response_subscript)},
    {Py_tp_getset, response_getset},
    {Py_tp_doc, const_cast<char*>(kResponseDoc)},
    {0, nullptr},
};

PyType_Spec response_spec = {"builtins.DiscoveryResponse", sizeof(ResponseObject), 0,
                             kFinalNoInit | Py_TPFLAGS_HAVE_GC, response_slots};

// ---- the response iterator ----

struct IterObject {
  PyObject_HEAD
  std::vector<Ref> pending;  // results not yet yielded; yielded slots are emptied
  std::size_t next;
};

IterObject* as_iter(PyObject* o) {
  return reinterpret_cast<IterObject*>(o);
}

void iter_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  as_iter(self)->pending.~vector();
  type->tp_free(self);
  Py_DECREF(type);
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const Ref& r : as_iter(self)->pending) Py_VISIT(r.get());
  return 0;
}

int iter_clear(PyObject* self) {
  // Swap out first: releasing an item may run host code that reaches this iterator again.
  std::vector<Ref> dropped;
  dropped.swap(as_iter(self)->pending);
  as_iter(self)->next = 0;
  return 0;
}

PyObject* iter_next(PyObject* self) {
  IterObject* it = as_iter(self);
  if (it->next >= it->pending.size()) return nullptr;  // exhausted: StopIteration
  return it->pending[it->next++].release();
}

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {Py_tp_doc, const_cast<char*>("Iterator for PyDiscoveryResponse.")},
    {0, nullptr},
};

PyType_Spec iter_spec = {"builtins.PyDiscoveryResponseIter", sizeof(IterObject), 0,
                         kFinalNoInit | Py_TPFLAGS_HAVE_GC, iter_slots};

PyObject* response_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = response_iter_type();
    if (type == nullptr) return nullptr;
    const ResponseData& data = response(self);
    std::vector<Ref> items;
    items.reserve(data.results.size());
    for (const StoredResult& r : data.results) {
      items.push_back(make_discovery_result(r));
      if (!items.back()) return nullptr;
    }
    IterObject* it = PyObject_GC_New(IterObject, type);
    if (it == nullptr) return nullptr;
    new (&it->pending) std::vector<Ref>(std::move(items));
    it->next = 0;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
  });
}

}  // namespace

PyTypeObject* discovery_result_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, result_spec);
}
PyTypeObject* explained_result_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, explained_spec);
}
PyTypeObject* discovery_response_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, response_spec);
}
PyTypeObject* response_iter_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, iter_spec);
}

Ref make_discovery_result(DiscoveryResult&& result, Ref invoke) {
  PyTypeObject* type = discovery_result_type();
  if (type == nullptr) return Ref();
  const bool collectable = static_cast<bool>(invoke);
  ResultObject* o = nullptr;
  if (collectable) {
    o = PyObject_GC_New(ResultObject, type);
  } else {
    void* memory = PyObject_Malloc(sizeof(ResultObject));
    if (memory == nullptr) {
      PyErr_NoMemory();
      return Ref();
    }
    o = reinterpret_cast<ResultObject*>(PyObject_Init(static_cast<PyObject*>(memory), type));
  }
  if (o == nullptr) return Ref();
  new (&o->result) DiscoveryResult(std::move(result));
  new (&o->invoke) Ref(std::move(invoke));
  o->collectable = collectable;
  if (collectable) PyObject_GC_Track(o);
  return Ref::steal(reinterpret_cast<PyObject*>(o));
}

Ref make_discovery_result(const StoredResult& stored) {
  return make_discovery_result(DiscoveryResult(stored.result), stored.invoke);
}

Ref make_explained_result(ExplainedResult&& result) {
  PyTypeObject* type = explained_result_type();
  if (type == nullptr) return Ref();
  ExplainedObject* o = PyObject_New(ExplainedObject, type);
  if (o == nullptr) return Ref();
  new (&o->result) ExplainedResult(std::move(result));
  return Ref::steal(reinterpret_cast<PyObject*>(o));
}

Ref make_discovery_response(ResponseData&& data) {
  PyTypeObject* type = discovery_response_type();
  if (type == nullptr) return Ref();
  ResponseObject* o = PyObject_GC_New(ResponseObject, type);
  if (o == nullptr) return Ref();
  new (&o->data) ResponseData(std::move(data));
  PyObject_GC_Track(o);
  return Ref::steal(reinterpret_cast<PyObject*>(o));
}

}  // namespace kova::py
