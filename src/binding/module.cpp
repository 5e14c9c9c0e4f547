// Module initialisation: single phase, no per-module state. Adds the classes, then the card
// function, and nothing else.
#include "common.hpp"

namespace {

using namespace kova::py;

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "KOVA Discovery \xe2\x80\x94 local agent discovery via bio-inspired routing.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef g_card_function = {"capabilities_from_a2a_rust", as_cfunction(capabilities_from_a2a),
                               METH_FASTCALL | METH_KEYWORDS, kCapabilitiesFromA2aDoc};

int add_type(PyObject* module, PyTypeObject* type) {
  if (!type) return -1;
  return PyModule_AddType(module, type);
}

PyObject* init() {
  Ref module = Ref::steal(PyModule_Create(&g_module));
  if (!module) return nullptr;
  PyTypeObject* (*const types[])() = {
      local_network_type,
      discovery_result_type,
      explained_result_type,
      discovery_response_type,
      query_type,
      tfidf_scorer_type,
      mycorrhizal_type,
      circuit_breaker_type,
      discovery_config_type,
      filter_value_type,
      bm25_scorer_type,
      hybrid_scorer_type,
  };
  for (auto* type_of : types) {
    if (add_type(module.get(), type_of()) < 0) return nullptr;
  }
  Ref name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!name) return nullptr;
  Ref function = Ref::steal(PyCFunction_NewEx(&g_card_function, module.get(), name.get()));
  if (!function ||
      PyModule_AddObjectRef(module.get(), "capabilities_from_a2a_rust", function.get()) < 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
  return guarded([] { return init(); });
}
