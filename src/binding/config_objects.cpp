// DiscoveryConfig, TfIdfScorer, CircuitBreakerConfig and MycorrhizalPropagator: small
// immutable value objects.
#include <new>
#include <string>

#include "common.hpp"
#include "core/format.hpp"
#include "scorer/tfidf.hpp"

namespace kova::py {

namespace {

constexpr unsigned long kValueTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

template <class T>
T* alloc_object(PyTypeObject* type) {
  if (!type) return nullptr;
  PyObject* raw = type->tp_alloc(type, 0);
  return reinterpret_cast<T*>(raw);
}

template <class T>
void dealloc_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<T*>(self)->~T();
  type->tp_free(self);
  Py_DECREF(type);
}

// ===================== DiscoveryConfig =====================

struct ConfigObject {
  PyObject_HEAD
  DiscoveryConfig config;
};

const DiscoveryConfig& config_of(PyObject* self) {
  return reinterpret_cast<ConfigObject*>(self)->config;
}

constexpr const char* kConfigNames[] = {"similarity_threshold", "feedback_relevance_threshold",
                                        "tie_epsilon",          "tau_floor",
                                        "max_feedback_records", "diameter_initial",
                                        "diameter_min",         "diameter_max",
                                        "epsilon_initial",      "epsilon_floor",
                                        "epsilon_decay_rate",   "max_disagreement_split"};
const ArgSpec kConfigArgs{"DiscoveryConfig", kConfigNames, 12, 0};

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[12];
    if (!parse_args(kConfigArgs, args, kwargs, a)) return nullptr;
    DiscoveryConfig c;
    // Converts argument i into `field` when it was given; defaults stay otherwise.
    auto f64 = [&](int i, double& field) {
      if (!a[i]) return true;
      const auto v = to_double(a[i], kConfigNames[i]);
      if (v) field = *v;
      return v.has_value();
    };
    auto u64 = [&](int i, std::uint64_t& field) {
      if (!a[i]) return true;
      const auto v = to_u64(a[i], kConfigNames[i]);
      if (v) field = *v;
      return v.has_value();
    };
    if (!f64(0, c.lsh.similarity_threshold) || !f64(1, c.feedback_relevance_threshold) ||
        !f64(2, c.tie_epsilon) || !f64(3, c.tau_floor) || !u64(4, c.max_feedback_records) ||
        !f64(5, c.diameter_initial) || !f64(6, c.diameter_min) || !f64(7, c.diameter_max) ||
        !f64(8, c.epsilon_initial) || !f64(9, c.epsilon_floor) || !f64(10, c.epsilon_decay_rate) ||
        !u64(11, c.max_disagreement_split)) {
      return nullptr;
    }
    if (const auto error = c.validate()) {
      const std::string text = "Invalid configuration: " + error->display();
      raise_arg_error(PyExc_ValueError, nullptr, text);
      return nullptr;
    }
    auto* self = alloc_object<ConfigObject>(type);
    if (!self) return nullptr;
    new (&self->config) DiscoveryConfig(c);
    return reinterpret_cast<PyObject*>(self);
  });
}

PyObject* config_repr(PyObject* self) {
  return guarded([&] {
    const DiscoveryConfig& c = config_of(self);
    return from_str(
               "DiscoveryConfig(similarity_threshold=" + format_shortest(c.similarity_threshold()) +
               ", feedback_relevance_threshold=" + format_shortest(c.feedback_relevance_threshold) +
               ", tau_floor=" + format_shortest(c.tau_floor) +
               ", diameter_initial=" + format_shortest(c.diameter_initial) + ")")
        .release();
  });
}

PyObject* get_similarity_threshold(PyObject* self, void*) {
  return PyFloat_FromDouble(config_of(self).similarity_threshold());
}
template <double DiscoveryConfig::*Field>
PyObject* get_f64(PyObject* self, void*) {
  return PyFloat_FromDouble(config_of(self).*Field);
}
template <std::uint64_t DiscoveryConfig::*Field>
PyObject* get_u64(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(config_of(self).*Field);
}

PyGetSetDef g_config_getset[] = {
    {"similarity_threshold", get_similarity_threshold, nullptr, "Get similarity threshold.",
     nullptr},
    {"feedback_relevance_threshold", get_f64<&DiscoveryConfig::feedback_relevance_threshold>,
     nullptr, "Get feedback relevance threshold.", nullptr},
    {"tie_epsilon", get_f64<&DiscoveryConfig::tie_epsilon>, nullptr, "Get tie epsilon.", nullptr},
    {"tau_floor", get_f64<&DiscoveryConfig::tau_floor>, nullptr, "Get tau floor.", nullptr},
    {"max_feedback_records", get_u64<&DiscoveryConfig::max_feedback_records>, nullptr,
     "Get max feedback records.", nullptr},
    {"diameter_initial", get_f64<&DiscoveryConfig::diameter_initial>, nullptr,
     "Get diameter initial.", nullptr},
    {"diameter_min", get_f64<&DiscoveryConfig::diameter_min>, nullptr, "Get diameter min.",
     nullptr},
    {"diameter_max", get_f64<&DiscoveryConfig::diameter_max>, nullptr, "Get diameter max.",
     nullptr},
    {"epsilon_initial", get_f64<&DiscoveryConfig::epsilon_initial>, nullptr, "Get epsilon initial.",
     nullptr},
    {"epsilon_floor", get_f64<&DiscoveryConfig::epsilon_floor>, nullptr, "Get epsilon floor.",
     nullptr},
    {"epsilon_decay_rate", get_f64<&DiscoveryConfig::epsilon_decay_rate>, nullptr,
     "Get epsilon decay rate.", nullptr},
    {"max_disagreement_split", get_u64<&DiscoveryConfig::max_disagreement_split>, nullptr,
     "Get max disagreement split.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kConfigDoc[] =
    "DiscoveryConfig(similarity_threshold=0.1, feedback_relevance_threshold=0.3, "
    "tie_epsilon=1e-4, tau_floor=0.001, max_feedback_records=100, diameter_initial=0.5, "
    "diameter_min=0.01, diameter_max=2.0, epsilon_initial=0.8, epsilon_floor=0.05, "
    "epsilon_decay_rate=0.99, max_disagreement_split=3)\n--\n\n"
    "Unified configuration for KOVA Discovery.\n\n"
    "Consolidates all tuning parameters into a single configuration object.\n"
    "Pass this to LocalNetwork() constructor to customize discovery behavior.";

PyType_Slot g_config_slots[] = {
    {Py_tp_doc, const_cast<char*>(kConfigDoc)},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ConfigObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_getset, g_config_getset},
    {0, nullptr},
};
PyType_Spec g_config_spec = {"builtins.DiscoveryConfig", sizeof(ConfigObject), 0, kValueTypeFlags,
                             g_config_slots};

// ===================== TfIdfScorer =====================

// The host object only selects the TF-IDF scorer: a network builds its own, so this one is
// never indexed or consulted.
struct TfIdfObject {
  PyObject_HEAD
  std::unique_ptr<TfIdfScorer> scorer;
};

const ArgSpec kNoArgsTfIdf{"TfIdfScorer", {}, 0, 0};

PyObject* tfidf_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!parse_args(kNoArgsTfIdf, args, kwargs, nullptr)) return nullptr;
    auto scorer = std::make_unique<TfIdfScorer>();
    auto* self = alloc_object<TfIdfObject>(type);
    if (!self) return nullptr;
    new (&self->scorer) std::unique_ptr<TfIdfScorer>(std::move(scorer));
    return reinterpret_cast<PyObject*>(self);
  });
}

PyObject* tfidf_repr(PyObject*) {
  return guarded([] { return from_str("TfIdfScorer()").release(); });
}

constexpr const char kTfIdfDoc[] =
    "TfIdfScorer()\n--\n\n"
    "Built-in TF-IDF scorer for semantic matching.\n\n"
    "Weights rare domain terms higher than common words. Pass to\n"
    "``LocalNetwork(scorer=TfIdfScorer())`` to use instead of the default MinHash.\n\n"
    "Example:\n"
    "    scorer = TfIdfScorer()\n"
    "    network = LocalNetwork(scorer=scorer)";

PyType_Slot g_tfidf_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTfIdfDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tfidf_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<TfIdfObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(tfidf_repr)},
    {0, nullptr},
};
PyType_Spec g_tfidf_spec = {"builtins.TfIdfScorer", sizeof(TfIdfObject), 0, kValueTypeFlags,
                            g_tfidf_slots};

// ===================== CircuitBreakerConfig =====================

struct BreakerObject {
  PyObject_HEAD
  CircuitBreakerConfig value;
};

PyObject* make_breaker(PyTypeObject* type, const CircuitBreakerConfig& value) {
  auto* self = alloc_object<BreakerObject>(type);
  if (!self) return nullptr;
  new (&self->value) CircuitBreakerConfig(value);
  return reinterpret_cast<PyObject*>(self);
}

const ArgSpec kNoArgsBreaker{"CircuitBreakerConfig", {}, 0, 0};

PyObject* breaker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!parse_args(kNoArgsBreaker, args, kwargs, nullptr)) return nullptr;
    return make_breaker(type, CircuitBreakerConfig{});
  });
}

constexpr const char* kBreakerFactoryNames[] = {"failure_threshold", "recovery_timeout_secs"};
const ArgSpec kBreakerFactoryArgs{"CircuitBreakerConfig.with_threshold_and_timeout",
                                  kBreakerFactoryNames, 2, 2};

PyObject* breaker_with_threshold_and_timeout(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_args(kBreakerFactoryArgs, args, nargs, kwnames, a)) return nullptr;
    const auto threshold = to_u8(a[0], kBreakerFactoryNames[0]);
    if (!threshold) return nullptr;
    const auto timeout = to_u64(a[1], kBreakerFactoryNames[1]);
    if (!timeout) return nullptr;
    return make_breaker(circuit_breaker_type(), CircuitBreakerConfig{*threshold, *timeout});
  });
}

PyObject* breaker_repr(PyObject* self) {
  return guarded([&] {
    const CircuitBreakerConfig& v = reinterpret_cast<BreakerObject*>(self)->value;
    return PyUnicode_FromFormat("CircuitBreakerConfig(threshold=%u, timeout=%llus)",
                                static_cast<unsigned>(v.failure_threshold),
                                static_cast<unsigned long long>(v.recovery_timeout_secs));
  });
}

PyMethodDef g_breaker_methods[] = {
    {"with_threshold_and_timeout", as_cfunction(breaker_with_threshold_and_timeout),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "with_threshold_and_timeout(failure_threshold, recovery_timeout_secs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kBreakerDoc[] =
    "CircuitBreakerConfig()\n--\n\n"
    "Circuit breaker configuration for failure exclusion.";

PyType_Slot g_breaker_slots[] = {
    {Py_tp_doc, const_cast<char*>(kBreakerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(breaker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<BreakerObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(breaker_repr)},
    {Py_tp_methods, g_breaker_methods},
    {0, nullptr},
};
PyType_Spec g_breaker_spec = {"builtins.CircuitBreakerConfig", sizeof(BreakerObject), 0,
                              kValueTypeFlags, g_breaker_slots};

// ===================== MycorrhizalPropagator =====================

struct PropagatorObject {
  PyObject_HEAD
  MycorrhizalPropagator value;
};

PyObject* make_propagator(PyTypeObject* type, const MycorrhizalPropagator& value) {
  auto* self = alloc_object<PropagatorObject>(type);
  if (!self) return nullptr;
  new (&self->value) MycorrhizalPropagator(value);
  return reinterpret_cast<PyObject*>(self);
}

const ArgSpec kNoArgsPropagator{"MycorrhizalPropagator", {}, 0, 0};

PyObject* propagator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!parse_args(kNoArgsPropagator, args, kwargs, nullptr)) return nullptr;
    return make_propagator(type, MycorrhizalPropagator{});
  });
}

constexpr const char* kPropagatorFactoryNames[] = {"propagation_attenuation",
                                                   "propagation_threshold"};
const ArgSpec kPropagatorFactoryArgs{"MycorrhizalPropagator.with_config", kPropagatorFactoryNames,
                                     2, 2};

PyObject* propagator_with_config(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_args(kPropagatorFactoryArgs, args, nargs, kwnames, a)) return nullptr;
    const auto attenuation = to_double(a[0], kPropagatorFactoryNames[0]);
    if (!attenuation) return nullptr;
    const auto threshold = to_double(a[1], kPropagatorFactoryNames[1]);
    if (!threshold) return nullptr;
    return make_propagator(mycorrhizal_type(), MycorrhizalPropagator{*attenuation, *threshold});
  });
}

PyObject* propagator_repr(PyObject* self) {
  return guarded([&] {
    const MycorrhizalPropagator& v = reinterpret_cast<PropagatorObject*>(self)->value;
    return from_str(
               "MycorrhizalPropagator(attenuation=" + format_shortest(v.propagation_attenuation) +
               ", threshold=" + format_shortest(v.propagation_threshold) + ")")
        .release();
  });
}

PyMethodDef g_propagator_methods[] = {
    {"with_config", as_cfunction(propagator_with_config),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "with_config(propagation_attenuation, propagation_threshold)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kPropagatorDoc[] =
    "MycorrhizalPropagator()\n--\n\n"
    "Mycorrhizal feedback propagator for transitive learning.\n\n"
    "Propagates success feedback to similar agents for faster network learning.";

PyType_Slot g_propagator_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPropagatorDoc)},
    {Py_tp_new, reinterpret_cast<void*>(propagator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PropagatorObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(propagator_repr)},
    {Py_tp_methods, g_propagator_methods},
    {0, nullptr},
};
PyType_Spec g_propagator_spec = {"builtins.MycorrhizalPropagator", sizeof(PropagatorObject), 0,
                                 kValueTypeFlags, g_propagator_slots};

}  // namespace

PyTypeObject* discovery_config_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, g_config_spec);
}

PyTypeObject* tfidf_scorer_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, g_tfidf_spec);
}

PyTypeObject* circuit_breaker_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, g_breaker_spec);
}

PyTypeObject* mycorrhizal_type() {
  static PyTypeObject* type = nullptr;
  return cached_type(type, g_propagator_spec);
}

const DiscoveryConfig* discovery_config_of(PyObject* o) {
  PyTypeObject* type = discovery_config_type();
  if (!type) {
    PyErr_Clear();
    return nullptr;
  }
  return PyObject_TypeCheck(o, type) ? &config_of(o) : nullptr;
}

}  // namespace kova::py
