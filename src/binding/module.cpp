// Module initialisation: single phase, no per-module state.
#include "common.hpp"

namespace {

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

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&g_module); }
