// The one place where C++ exceptions stop in vornkit's binding: each slot that runs the
// core runs it through firewall(), so that nothing crosses into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "record_reader.hpp"

namespace vorn::kit {

inline constexpr const char kInternalFault[] = "vornkit internal fault: %s";

// Runs `body`; an allocation failure becomes MemoryError, the decoder's fault ValueError,
// anything else SystemError naming it. Returns what `body` returned, or null.
template <class F>
PyObject* firewall(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const CapacityOverflow& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, kInternalFault, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, kInternalFault, "unknown exception");
    }
    return nullptr;
}

}  // namespace vorn::kit
