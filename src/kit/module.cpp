// vornkit._core
#include "pyref.hpp"
PyModuleDef kit_def = {PyModuleDef_HEAD_INIT, "vornkit._core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
    return PyModule_Create(&kit_def);
}
