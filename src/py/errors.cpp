// OS errors as Python exceptions, shared by both extension modules.
#include "errors.hpp"

#include <errno.h>
#include <string.h>

namespace vorn {

Ref os_error_class(int err) {
    if (err == ENOMEM) return Ref::borrow(PyExc_MemoryError);
    Ref probe = Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", err, ""));
    if (!probe) return probe;
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
}

PyObject* raise_io_error(const IoError& err, PyObject* cls, PyObject* filename) {
    // A wait ended by a signal handler that raised: its exception is the one to see.
    if (err.kind == ErrorKind::Interrupted && PyErr_Occurred()) return nullptr;
    const bool numbered = err.message == nullptr && err.code != 0;
    Ref picked = cls != nullptr ? Ref::borrow(cls)
                 : numbered     ? os_error_class(err.code)
                                : Ref::borrow(PyExc_OSError);
    if (!picked) return nullptr;
    Ref exc;
    if (filename != nullptr && numbered) {
        exc = Ref::steal(PyObject_CallFunction(picked.get(), "isO", err.code, strerror(err.code), filename));
    } else {
        const std::string text = filename != nullptr && err.message != nullptr ? err.message : err.text();
        Ref message =
            Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!message) return nullptr;
        exc = Ref::steal(PyObject_CallOneArg(picked.get(), message.get()));
        if (exc && filename != nullptr && PyObject_SetAttrString(exc.get(), "filename", filename) != 0)
            return nullptr;
    }
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace vorn
