// The one place where C++ exceptions stop in vornkit's binding: each slot that runs the
// core runs it through firewall(), so that nothing crosses into the interpreter.
#pragma once

#include "errors.hpp"

namespace vorn::kit {

inline constexpr const char kInternalFault[] = "vornkit internal fault: %s";

// Runs `body` through the shared firewall: an allocation failure becomes MemoryError, the
// decoder's capacity fault ValueError, anything else SystemError naming it.
template <class F>
PyObject* firewall(F&& body) noexcept {
    return vorn::firewall(std::forward<F>(body), [](const char* message, bool capacity) -> PyObject* {
        if (capacity) {
            PyErr_SetString(PyExc_ValueError, message);
        } else {
            PyErr_Format(PyExc_SystemError, kInternalFault, message);
        }
        return nullptr;
    });
}

}  // namespace vorn::kit
