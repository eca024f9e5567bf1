// Python exceptions raised by vorn: PanicException for internal faults (OS errors come from
// the shared layer).
#pragma once

#include "../py/errors.hpp"

namespace vorn {

// Writes a diagnostic to standard error and raises PanicException(message). Returns null
// so that slots can `return raise_panic(...)`.
PyObject* raise_panic(const char* message);

// Raises PanicException for a failure of the interpreter (pending exception) while an
// event was built, naming the underlying error; the original becomes its __cause__.
PyObject* raise_panic_from_pending(const char* what);

// Runs `body` through the shared firewall: the decoder's faults and any other C++ exception
// become PanicException, an allocation failure MemoryError.
template <class F>
PyObject* firewall(F&& body) noexcept {
    return firewall(std::forward<F>(body), [](const char* message, bool) { return raise_panic(message); });
}

}  // namespace vorn
