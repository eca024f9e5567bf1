// vornkit._core.features: the core's pulse features of a chunk of columns.
#pragma once

#include "pyref.hpp"

namespace vorn::kit {

// Adds `features` to the module; false with an exception set.
bool add_features(PyObject* module);

}  // namespace vorn::kit
