// The binding layer both extension modules share: OS errors as Python exceptions (one
// mapping of error numbers, messages and file names) and the exception firewall that keeps
// C++ exceptions out of the interpreter.
#pragma once

#include <exception>
#include <new>

#include "pyref.hpp"
#include "record_reader.hpp"

namespace vorn {

// The OSError subclass that an OS error number stands for, as CPython picks it for
// OSError(errno, ...), except that ENOMEM is MemoryError, as the modules' own allocation
// failures are. Null with an exception when it cannot be told.
Ref os_error_class(int err);

// Raises the exception for `err`. Without `filename`: `cls(err.text())`, `cls` null picking
// the class for the error number (plain OSError for errors without one). With `filename`:
// OSError(errno, strerror, filename) in the class for the number, or OSError(message) with
// that filename for errors without one. An interrupted wait whose signal handler raised
// keeps that handler's exception. Returns null.
PyObject* raise_io_error(const IoError& err, PyObject* cls = nullptr, PyObject* filename = nullptr);

// Runs `body`, turning any C++ exception into a Python one: an allocation failure into
// MemoryError, anything else through `fault(message, capacity)`, `capacity` true for the
// decoder's capacity overflow. Each slot that runs the core runs it through here.
template <class F, class Fault>
PyObject* firewall(F&& body, Fault&& fault) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const CapacityOverflow& e) {
        return fault(e.what(), true);
    } catch (const std::exception& e) {
        return fault(e.what(), false);
    } catch (...) {
        return fault("unknown internal error", false);
    }
}

}  // namespace vorn
