// Python exceptions raised by the module: PanicException for internal faults, and the
// OSError classes picked for I/O errors.
#pragma once

#include "pyref.hpp"
#include "record_reader.hpp"

namespace vorn {

// Writes a diagnostic to standard error and raises PanicException(message). Returns null
// so that slots can `return raise_panic(...)`.
PyObject* raise_panic(const char* message);

// Raises PanicException for a failure of the interpreter (pending exception) while an
// event was built, naming the underlying error; the original becomes its __cause__.
PyObject* raise_panic_from_pending(const char* what);

// Raises `cls(err.text())`; with `cls` null, the OSError subclass that CPython picks for
// the error number (MemoryError for ENOMEM; plain OSError for errors without a number).
// An interrupted wait whose signal handler raised keeps that handler's exception.
// Returns null.
PyObject* raise_io_error(const IoError& err, PyObject* cls = nullptr);

// Runs `body`, turning any C++ exception into a Python one: the decoder fault into
// PanicException, an allocation failure into MemoryError. The one place where C++
// exceptions stop; nothing crosses into the interpreter.
template <class F>
PyObject* firewall(F&& body) noexcept {
    try {
        return body();
    } catch (const CapacityOverflow& e) {
        return raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown internal error");
    }
}

}  // namespace vorn
