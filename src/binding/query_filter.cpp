// Query and FilterValue: immutable wrappers around engine values, built only through their
// static factories.
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/format.hpp"
#include "results.hpp"

namespace kova::py {
namespace {

// One-parameter signatures: the parameter may come by position or by keyword.
constexpr const char* kMappingName[] = {"mapping"};
constexpr const char* kQueryName[] = {"query"};
constexpr const char* kValueName[] = {"value"};
constexpr const char* kSubstringName[] = {"substring"};
constexpr const char* kOptionsName[] = {"options"};
constexpr const char* kThresholdName[] = {"threshold"};
constexpr ArgSpec kWeightedArgs{"Query.weighted", kMappingName, 1, 1};
constexpr ArgSpec kExcludeArgs{"Query.exclude", kQueryName, 1, 1};
constexpr ArgSpec kExactArgs{"FilterValue.exact", kValueName, 1, 1};
constexpr ArgSpec kContainsArgs{"FilterValue.contains", kSubstringName, 1, 1};
constexpr ArgSpec kOneOfArgs{"FilterValue.one_of", kOptionsName, 1, 1};
constexpr ArgSpec kLessThanArgs{"FilterValue.less_than", kThresholdName, 1, 1};
constexpr ArgSpec kGreaterThanArgs{"FilterValue.greater_than", kThresholdName, 1, 1};

// ---- Query ----

struct QueryObject {
  PyObject_HEAD
  Query query;
};

void query_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<QueryObject*>(self)->query.~Query();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* wrap_query(Query&& q) {
  PyTypeObject* type = query_type();
  if (type == nullptr) return nullptr;
  QueryObject* o = PyObject_New(QueryObject, type);
  if (o == nullptr) return nullptr;
  new (&o->query) Query(std::move(q));
  return reinterpret_cast<PyObject*>(o);
}

// A Query argument (deep-copied, so the caller's object is never shared) or a str.
std::optional<Query> parse_single_query(PyObject* o) {
  if (const Query* q = query_of(o)) return *q;
  if (PyUnicode_Check(o)) {
    std::optional<std::string_view> text = to_str(o, nullptr);
    if (!text) return std::nullopt;
    return Query::text(std::string(*text));
  }
  PyErr_SetString(PyExc_TypeError, "Query argument must be a str or Query object");
  return std::nullopt;
}

std::optional<std::vector<Query>> parse_queries(PyObject* const* args, Py_ssize_t nargs) {
  std::vector<Query> parts;
  parts.reserve(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    std::optional<Query> q = parse_single_query(args[i]);
    if (!q) return std::nullopt;
    parts.push_back(std::move(*q));
  }
  return parts;
}

PyObject* query_all(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    std::optional<std::vector<Query>> parts = parse_queries(args, nargs);
    if (!parts) return nullptr;
    return wrap_query(Query::all(std::move(*parts)));
  });
}

PyObject* query_any(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    std::optional<std::vector<Query>> parts = parse_queries(args, nargs);
    if (!parts) return nullptr;
    return wrap_query(Query::any(std::move(*parts)));
  });
}

PyObject* query_weighted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* mapping = nullptr;
    if (!parse_args(kWeightedArgs, args, nargs, kwnames, &mapping)) return nullptr;
    if (!PyDict_Check(mapping)) {
      raise_arg_error(PyExc_TypeError, "mapping", cast_error_text(mapping, "PyDict"));
      return nullptr;
    }
    // Converting a weight may run host code (__float__), which could change the dict: work
    // on a snapshot of its entries, taken in insertion order.
    Ref items = Ref::steal(PyDict_Items(mapping));
    if (!items) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    std::vector<std::pair<Query, double>> parts;
    parts.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      std::optional<std::string_view> key = to_str(PyTuple_GET_ITEM(item, 0), "mapping");
      if (!key) return nullptr;
      std::string text(*key);
      std::optional<double> weight = to_double(PyTuple_GET_ITEM(item, 1), "mapping");
      if (!weight) return nullptr;
      parts.emplace_back(Query::text(std::move(text)), *weight);
    }
    return wrap_query(Query::weighted(std::move(parts)));
  });
}

PyObject* query_exclude(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg = nullptr;
    if (!parse_args(kExcludeArgs, args, nargs, kwnames, &arg)) return nullptr;
    std::optional<Query> exclusion = parse_single_query(arg);
    if (!exclusion) return nullptr;
    return wrap_query(Query::exclude(*query_of(self), std::move(*exclusion)));
  });
}

PyObject* query_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return from_str("Query(" + reinterpret_cast<QueryObject*>(self)->query.debug() + ")").release();
  });
}

PyMethodDef query_methods[] = {
    {"all", as_cfunction(query_all), METH_FASTCALL | METH_STATIC,
     "all(*queries)\n--\n\n"
     "Create an All query (AND semantics).\n\n"
     "Agent must match ALL sub-queries. Score = min across sub-queries.\n\n"
     "Args:\n"
     "    *queries: Text strings or Query objects."},
    {"any", as_cfunction(query_any), METH_FASTCALL | METH_STATIC,
     "any(*queries)\n--\n\n"
     "Create an Any query (OR semantics).\n\n"
     "Agent can match ANY sub-query. Score = max across sub-queries.\n\n"
     "Args:\n"
     "    *queries: Text strings or Query objects."},
    {"weighted", as_cfunction(query_weighted), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "weighted(mapping)\n--\n\n"
     "Create a Weighted query (boosted combination).\n\n"
     "Score = weighted average of sub-query similarities.\n\n"
     "Args:\n"
     "    mapping: Dict mapping query strings to weight floats."},
    {"exclude", as_cfunction(query_exclude), METH_FASTCALL | METH_KEYWORDS,
     "exclude($self, query)\n--\n\n"
     "Chain an exclusion onto this query.\n\n"
     "Agents matching the exclusion have their score reduced proportionally.\n\n"
     "Args:\n"
     "    query: Text string or Query object to exclude."},
    {nullptr, nullptr, 0, nullptr},
};

const char kQueryDoc[] =
    "Composable query expression for agent discovery.\n"
    "\n"
    "Supports set-theoretic composition of text queries:\n"
    "\n"
    "    - ``Query.all(\"translate\", \"legal\")``: both must match (min similarity)\n"
    "    - ``Query.any(\"translate\", \"summarize\")``: either may match (max similarity)\n"
    "    - ``Query.all(\"translate\").exclude(\"medical\")``: matches of the exclusion are "
    "penalised\n"
    "    - ``Query.weighted({\"translate\": 2.0, \"legal\": 1.0})``: weighted average\n"
    "\n"
    "Pass a Query to ``network.discover()`` in place of a string.";

PyType_Slot query_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_methods, query_methods},
    {Py_tp_doc, const_cast<char*>(kQueryDoc)},
    {0, nullptr},
};

PyType_Spec query_spec = {"builtins.Query", sizeof(QueryObject), 0, kFinalNoInit, query_slots};

// ---- FilterValue ----

struct FilterObject {
  PyObject_HEAD
  FilterValue filter;
};

void filter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FilterObject*>(self)->filter.~FilterValue();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* wrap_filter(FilterValue::Variant&& condition) {
  PyTypeObject* type = filter_value_type();
  if (type == nullptr) return nullptr;
  FilterObject* o = PyObject_New(FilterObject, type);
  if (o == nullptr) return nullptr;
  new (&o->filter) FilterValue{std::move(condition)};
  return reinterpret_cast<PyObject*>(o);
}

// Shared shape of the five factories: bind the one argument, convert it, wrap it.
template <class Convert>
PyObject* filter_factory(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Convert convert) {
  return guarded([&]() -> PyObject* {
    PyObject* value = nullptr;
    if (!parse_args(spec, args, nargs, kwnames, &value)) return nullptr;
    std::optional<FilterValue::Variant> condition = convert(value, spec.names[0]);
    if (!condition) return nullptr;
    return wrap_filter(std::move(*condition));
  });
}

PyObject* filter_exact(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return filter_factory(kExactArgs, args, nargs, kwnames,
                        [](PyObject* o, const char* arg) -> std::optional<FilterValue::Variant> {
                          auto s = to_str(o, arg);
                          if (!s) return std::nullopt;
                          return FilterValue::Exact{std::string(*s)};
                        });
}

PyObject* filter_contains(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return filter_factory(kContainsArgs, args, nargs, kwnames,
                        [](PyObject* o, const char* arg) -> std::optional<FilterValue::Variant> {
                          auto s = to_str(o, arg);
                          if (!s) return std::nullopt;
                          return FilterValue::Contains{std::string(*s)};
                        });
}

PyObject* filter_one_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return filter_factory(kOneOfArgs, args, nargs, kwnames,
                        [](PyObject* o, const char* arg) -> std::optional<FilterValue::Variant> {
                          auto v = to_str_list(o, arg);
                          if (!v) return std::nullopt;
                          return FilterValue::OneOf{std::move(*v)};
                        });
}

PyObject* filter_less_than(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return filter_factory(kLessThanArgs, args, nargs, kwnames,
                        [](PyObject* o, const char* arg) -> std::optional<FilterValue::Variant> {
                          auto d = to_double(o, arg);
                          if (!d) return std::nullopt;
                          return FilterValue::LessThan{*d};
                        });
}

PyObject* filter_greater_than(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return filter_factory(kGreaterThanArgs, args, nargs, kwnames,
                        [](PyObject* o, const char* arg) -> std::optional<FilterValue::Variant> {
                          auto d = to_double(o, arg);
                          if (!d) return std::nullopt;
                          return FilterValue::GreaterThan{*d};
                        });
}

std::string filter_repr_text(const FilterValue& f) {
  struct Render {
    std::string operator()(const FilterValue::Exact& c) const {
      return "FilterValue.Exact('" + c.value + "')";
    }
    std::string operator()(const FilterValue::Contains& c) const {
      return "FilterValue.Contains('" + c.substring + "')";
    }
    std::string operator()(const FilterValue::OneOf& c) const {
      std::string s = "FilterValue.OneOf([";
      for (std::size_t i = 0; i < c.options.size(); ++i) {
        if (i > 0) s += ", ";
        s += debug_quote(c.options[i]);
      }
      return s + "])";
    }
    std::string operator()(const FilterValue::LessThan& c) const {
      return "FilterValue.LessThan(" + format_shortest(c.threshold) + ")";
    }
    std::string operator()(const FilterValue::GreaterThan& c) const {
      return "FilterValue.GreaterThan(" + format_shortest(c.threshold) + ")";
    }
  };
  return std::visit(Render{}, f.condition);
}

PyObject* filter_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return from_str(filter_repr_text(reinterpret_cast<FilterObject*>(self)->filter)).release();
  });
}

constexpr int kStaticKw = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef filter_methods[] = {
    {"exact", as_cfunction(filter_exact), kStaticKw,
     "exact(value)\n--\n\nCreate an exact match filter."},
    {"contains", as_cfunction(filter_contains), kStaticKw,
     "contains(substring)\n--\n\nCreate a contains filter (substring match)."},
    {"one_of", as_cfunction(filter_one_of), kStaticKw,
     "one_of(options)\n--\n\nCreate a one-of filter (value must be in list)."},
    {"less_than", as_cfunction(filter_less_than), kStaticKw,
     "less_than(threshold)\n--\n\nCreate a less-than filter (for numeric values)."},
    {"greater_than", as_cfunction(filter_greater_than), kStaticKw,
     "greater_than(threshold)\n--\n\nCreate a greater-than filter (for numeric values)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot filter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(filter_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(filter_repr)},
    {Py_tp_methods, filter_methods},
    {Py_tp_doc, const_cast<char*>("Filter condition for metadata-based filtering.")},
    {0, nullptr},
};

PyType_Spec filter_spec = {"builtins.FilterValue", sizeof(FilterObject), 0, kFinalNoInit,
                           filter_slots};

}  // namespace

PyTypeObject* query_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, query_spec);
}

PyTypeObject* filter_value_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, filter_spec);
}

// Exact type checks suffice: neither class can be subclassed.
const Query* query_of(PyObject* o) {
  PyTypeObject* type = query_type();
  if (type == nullptr) PyErr_Clear();  // then no object of it exists either
  if (type == nullptr || Py_TYPE(o) != type) return nullptr;
  return &reinterpret_cast<QueryObject*>(o)->query;
}

const FilterValue* filter_value_of(PyObject* o) {
  PyTypeObject* type = filter_value_type();
  if (type == nullptr) PyErr_Clear();
  if (type == nullptr || Py_TYPE(o) != type) return nullptr;
  return &reinterpret_cast<FilterObject*>(o)->filter;
}

}  // namespace kova::py
