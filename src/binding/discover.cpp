// LocalNetwork.discover and LocalNetwork.discover_many: argument handling, the filter
// dictionary syntax, the choice of engine operation and the conversion of its results.
//
// Arguments are converted before the network is borrowed, and host objects are built after
// the borrow ends: conversion and allocation can run host code (__float__, finalizers), and
// such code may legitimately call back into this network.
#include <string>
#include <utility>
#include <vector>

#include "results.hpp"

namespace kova::py {

namespace {

// ---- filters ----

// A `filters` argument that is given and not None must be a dict (subclasses included).
bool check_filters_arg(PyObject* filters) {
  if (filters == nullptr || filters == Py_None || PyDict_Check(filters)) return true;
  raise_arg_error(PyExc_TypeError, "filters", cast_error_text(filters, "PyDict"));
  return false;
}

std::optional<FilterValue> parse_operator_dict(PyObject* dict) {
  static const char* const kOperators[] = {"$in", "$lt", "$gt", "$contains"};
  for (int which = 0; which < 4; ++which) {
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemStringRef(dict, kOperators[which], &raw);
    if (found < 0) return std::nullopt;
    if (found == 0) continue;
    Ref operand = Ref::steal(raw);
    switch (which) {
      case 0: {
        auto options = to_str_list(operand.get(), nullptr);
        if (!options) return std::nullopt;
        return FilterValue{FilterValue::OneOf{std::move(*options)}};
      }
      case 1: {
        auto threshold = to_double(operand.get(), nullptr);
        if (!threshold) return std::nullopt;
        return FilterValue{FilterValue::LessThan{*threshold}};
      }
      case 2: {
        auto threshold = to_double(operand.get(), nullptr);
        if (!threshold) return std::nullopt;
        return FilterValue{FilterValue::GreaterThan{*threshold}};
      }
      default: {
        auto substring = to_str(operand.get(), nullptr);
        if (!substring) return std::nullopt;
        return FilterValue{FilterValue::Contains{std::string(*substring)}};
      }
    }
  }
  PyErr_SetString(PyExc_ValueError, "Filter dict must contain one of: $in, $lt, $gt, $contains");
  return std::nullopt;
}

std::optional<FilterValue> parse_filter_value(PyObject* value) {
  if (const FilterValue* f = filter_value_of(value)) return *f;
  if (PyDict_Check(value)) return parse_operator_dict(value);
  auto exact = to_str(value, nullptr);
  if (!exact) return std::nullopt;
  return FilterValue{FilterValue::Exact{std::string(*exact)}};
}

// Fills `out` from an already checked `filters` argument; None (or absent) leaves it empty,
// any dict, even an empty one, yields a map. False with an exception set on the first bad
// entry.
bool parse_filters(PyObject* filters, std::optional<FilterMap>& out) {
  if (filters == nullptr || filters == Py_None) return true;
  // Converting a value may run host code that changes the dict: iterate over a snapshot.
  Ref items = Ref::steal(PyDict_Items(filters));
  if (!items) return false;
  FilterMap map;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    auto key = to_str(PyTuple_GET_ITEM(item, 0), nullptr);
    if (!key) return false;
    std::string name(*key);
    std::optional<FilterValue> condition = parse_filter_value(PyTuple_GET_ITEM(item, 1));
    if (!condition) return false;
    map.insert_or_assign(std::move(name), std::move(*condition));
  }
  out = std::move(map);
  return true;
}

// `limit`: None (or absent) keeps every result; otherwise a positive int (anything with
// __index__ except bool, which is almost certainly a mistaken flag). A limit beyond any
// possible result count keeps every result too.
bool parse_limit(PyObject* arg, std::size_t& out) {
  out = kAllResults;
  if (is_absent(arg)) return true;
  const auto reject = [arg](PyObject* type) {
    Ref shown = Ref::steal(PyObject_Repr(arg));
    if (!shown) return false;
    PyErr_Format(type, "argument 'limit': expected a positive int or None, got %U (%s)",
                 shown.get(), Py_TYPE(arg)->tp_name);
    return false;
  };
  if (PyBool_Check(arg) || !PyIndex_Check(arg)) return reject(PyExc_TypeError);
  Ref index = Ref::steal(PyNumber_Index(arg));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow > 0) return true;
  if (overflow < 0 || value <= 0) return reject(PyExc_ValueError);
  if (static_cast<unsigned long long>(value) < kAllResults) out = static_cast<std::size_t>(value);
  return true;
}

bool parse_flag(PyObject* arg, const char* name, bool& out) {
  if (arg == nullptr) return true;
  std::optional<bool> flag = to_flag(arg, name);
  if (!flag) return false;
  out = *flag;
  return true;
}

// ---- results ----

// The agent's callable, or an empty Ref when it has none.
Ref invoke_for(const NetworkObject* net, std::string_view agent_name) {
  if (net->invoke.empty()) return Ref();  // the common case: skip hashing every name
  auto it = net->invoke.find(agent_name);
  return it == net->invoke.end() ? Ref() : it->second;
}

Ref result_list(NetworkObject* net, std::vector<DiscoveryResult>&& results) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < results.size(); ++i) {
    Ref invoke = invoke_for(net, results[i].agent_name);
    Ref item = make_discovery_result(std::move(results[i]), std::move(invoke));
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Ref explained_list(std::vector<ExplainedResult>&& results) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < results.size(); ++i) {
    Ref item = make_explained_result(std::move(results[i]));
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Ref build_confidence_response(NetworkObject* net, ConfidenceResponse&& response) {
  ResponseData data;
  data.results.reserve(response.results.size());
  for (DiscoveryResult& r : response.results) {
    Ref invoke = invoke_for(net, r.agent_name);
    data.results.push_back(StoredResult{std::move(r), std::move(invoke)});
  }
  if (response.confidence) {
    DiscoveryConfidence& c = *response.confidence;
    switch (c.kind) {
      case DiscoveryConfidence::Kind::Unanimous:
        data.confidence = "unanimous";
        break;
      case DiscoveryConfidence::Kind::Majority:
        data.confidence = "majority";
        data.dissenting_kernel = std::string(kernel_type_name(c.dissenting_kernel));
        break;
      case DiscoveryConfidence::Kind::Split:
        data.confidence = "split";
        data.alternative_agents = std::move(c.alternative_agents);
        break;
      case DiscoveryConfidence::Kind::NoViableAgents:
        data.confidence = "no_viable_agents";
        break;
    }
  } else {
    data.confidence = "none";  // a composed query that failed to evaluate
  }
  data.recommended_parallelism = response.recommended_parallelism;
  data.best_below_threshold = std::move(response.best_below_threshold);
  return make_discovery_response(std::move(data));
}

constexpr const char* kDiscoverNames[] = {"query", "filters", "explain", "with_confidence",
                                          "limit"};
constexpr ArgSpec kDiscoverArgs{"LocalNetwork.discover", kDiscoverNames, 1, 1};
constexpr const char* kDiscoverManyNames[] = {"queries", "filters", "explain", "limit"};
constexpr ArgSpec kDiscoverManyArgs{"LocalNetwork.discover_many", kDiscoverManyNames, 1, 1};

}  // namespace

// ---- the two methods ----

PyObject* network_discover(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!parse_args(kDiscoverArgs, args, nargs, kwnames, a)) return nullptr;
    bool explain = false;
    bool with_confidence = false;
    std::size_t limit = kAllResults;
    if (!check_filters_arg(a[1]) || !parse_flag(a[2], "explain", explain) ||
        !parse_flag(a[3], "with_confidence", with_confidence) || !parse_limit(a[4], limit)) {
      return nullptr;
    }
    // Filters first: a bad filter is reported even when the query is bad too.
    std::optional<FilterMap> filters;
    if (!parse_filters(a[1], filters)) return nullptr;
    const FilterMap* filter_map = filters ? &*filters : nullptr;

    // Query objects are immutable, so the engine reads the object's own expression; the
    // reference keeps it alive should host scorer code drop the caller's last one.
    const Query* query = query_of(a[0]);
    Ref query_owner;
    std::string_view text;
    if (query != nullptr) {
      query_owner = Ref::borrow(a[0]);
    } else if (PyUnicode_Check(a[0])) {
      auto t = to_str(a[0], nullptr);
      if (!t) return nullptr;
      text = *t;
    } else {
      PyErr_SetString(PyExc_TypeError, "query must be a str or Query object");
      return nullptr;
    }

    // The results become host objects after the borrow ended: making them may collect garbage,
    // which may run host code that calls this network.
    constexpr auto kMode = Borrow::Mode::Exclusive;
    if (explain) {
      auto results = borrowed(self, kMode, [&](NetworkObject* net) {
        return query != nullptr ? net->engine->discover_query_explained(*query, filter_map, limit)
                                : net->engine->discover_explained(text, filter_map, limit);
      });
      if (!results) return nullptr;
      return explained_list(std::move(*results)).release();
    }
    if (with_confidence) {
      auto response = borrowed(self, kMode, [&](NetworkObject* net) {
        return query != nullptr
                   ? net->engine->discover_query_with_confidence(*query, filter_map, limit)
                   : net->engine->discover_with_confidence_filtered(text, filter_map, limit);
      });
      if (!response) return nullptr;
      return build_confidence_response(as_network(self), std::move(*response)).release();
    }
    auto results = borrowed(self, kMode, [&](NetworkObject* net) {
      return query != nullptr ? net->engine->discover_query(*query, filter_map, limit)
                              : net->engine->discover_filtered(text, filter_map, limit);
    });
    if (!results) return nullptr;
    return result_list(as_network(self), std::move(*results)).release();
  });
}

PyObject* network_discover_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    if (!parse_args(kDiscoverManyArgs, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::vector<std::string>> queries = to_str_list(a[0], "queries");
    if (!queries) return nullptr;
    bool explain = false;
    std::size_t limit = kAllResults;
    if (!check_filters_arg(a[1]) || !parse_flag(a[2], "explain", explain) ||
        !parse_limit(a[3], limit)) {
      return nullptr;
    }
    std::optional<FilterMap> filters;
    if (!parse_filters(a[1], filters)) return nullptr;
    const FilterMap* filter_map = filters ? &*filters : nullptr;

    const std::size_t n = queries->size();
    Ref outer = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!outer) return nullptr;
    constexpr auto kMode = Borrow::Mode::Exclusive;
    if (explain) {
      auto all = borrowed(self, kMode, [&](NetworkObject* net) {
        std::vector<std::vector<ExplainedResult>> found(n);
        for (std::size_t i = 0; i < n; ++i) {
          found[i] = net->engine->discover_explained((*queries)[i], filter_map, limit);
        }
        return found;
      });
      if (!all) return nullptr;
      for (std::size_t i = 0; i < n; ++i) {
        Ref inner = explained_list(std::move((*all)[i]));
        if (!inner) return nullptr;
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner.release());
      }
      return outer.release();
    }
    auto all = borrowed(self, kMode, [&](NetworkObject* net) {
      std::vector<std::vector<DiscoveryResult>> found(n);
      for (std::size_t i = 0; i < n; ++i) {
        found[i] = net->engine->discover_filtered((*queries)[i], filter_map, limit);
      }
      return found;
    });
    if (!all) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      Ref inner = result_list(as_network(self), std::move((*all)[i]));
      if (!inner) return nullptr;
      PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner.release());
    }
    return outer.release();
  });
}

const char kDiscoverDoc[] =
    "discover($self, query, *, filters=None, explain=False, with_confidence=False, "
    "limit=None)\n"
    "--\n"
    "\n"
    "Discover agents matching a query string.\n"
    "\n"
    "Returns a ranked list of DiscoveryResult objects, best match first.\n"
    "Each result includes endpoint and metadata if they were provided\n"
    "at registration, plus an invoke callable if one was registered.\n"
    "\n"
    "With explain=True, returns ExplainedResult objects instead, each with the\n"
    "full scoring breakdown (raw_similarity, diameter, feedback_factor,\n"
    "final_score), for debugging routing decisions. explain takes precedence\n"
    "over with_confidence.\n"
    "\n"
    "With with_confidence=True, returns a DiscoveryResponse holding the results,\n"
    "the confidence level of the reasoning kernels (unanimous, majority or split)\n"
    "and recommended_parallelism.\n"
    "\n"
    "Args:\n"
    "    query: Query string, or a Query object for a composed query.\n"
    "    filters: Optional metadata filters, a dict mapping metadata keys to\n"
    "        conditions; an agent must satisfy all of them. Each condition is a\n"
    "        FilterValue or one of these forms:\n"
    "        - Exact match: {\"protocol\": \"mcp\"}\n"
    "        - One of: {\"protocol\": {\"$in\": [\"mcp\", \"a2a\"]}}\n"
    "        - Less than: {\"latency_ms\": {\"$lt\": 100.0}}\n"
    "        - Greater than: {\"version\": {\"$gt\": 1.5}}\n"
    "        - Contains: {\"description\": {\"$contains\": \"legal\"}}\n"
    "    explain: Return ExplainedResult objects with the scoring breakdown.\n"
    "    with_confidence: Return a DiscoveryResponse with the confidence signal.\n"
    "    limit: Return at most this many results, best first: the same agents in\n"
    "        the same order as the start of the full list, at a lower cost. None\n"
    "        (the default) returns every result. The confidence signal and\n"
    "        recommended_parallelism still weigh every agent.";

const char kDiscoverManyDoc[] =
    "discover_many($self, queries, *, filters=None, explain=False, limit=None)\n"
    "--\n"
    "\n"
    "Discover agents for multiple queries in a single call.\n"
    "\n"
    "Returns a list of result lists, one per query.\n"
    "The loop over the queries runs inside the extension, so a batch avoids the\n"
    "interpreter overhead of one Python-level call per query.\n"
    "\n"
    "Args:\n"
    "    queries: List of query strings.\n"
    "    filters: Optional metadata filters (shared across all queries).\n"
    "    explain: Return ExplainedResult objects with the scoring breakdown.\n"
    "    limit: Return at most this many results per query, best first (None\n"
    "        returns every result).";

}  // namespace kova::py
