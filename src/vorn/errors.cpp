// PanicException and the mapping of OS error numbers to Python exception classes.
#include "errors.hpp"

#include <errno.h>
#include <stdio.h>

namespace vorn {

namespace {

constexpr const char kPanicName[] = "vorn.PanicException";
constexpr const char kPanicDoc[] =
    "An internal fault of vorn, such as a corrupt size in an event file.\n\n"
    "Derives from BaseException, so `except Exception` does not catch it.";

PyObject* panic_class_cell = nullptr;  // owned, created once per process

// The PanicException class (borrowed), created on first use.
PyObject* panic_class() {
    if (panic_class_cell == nullptr) {
        PyObject* cls = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
        if (cls == nullptr) return nullptr;
        // Creating the class can run Python code; keep the first one published.
        if (panic_class_cell == nullptr) {
            panic_class_cell = cls;
        } else {
            Py_DECREF(cls);
        }
    }
    return panic_class_cell;
}

// Raises cls(message) with the message as the only argument.
PyObject* raise_with_message(PyObject* cls, PyObject* message) {
    Ref exc = Ref::steal(PyObject_CallOneArg(cls, message));
    if (exc) PyErr_SetObject(cls, exc.get());
    return nullptr;
}

// The pending exception as one object (null when none), cleared from the thread.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Raises `exc` again, taking over the reference.
void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace

PyObject* raise_panic(const char* message) {
    fprintf(stderr, "vorn: internal fault: %s\n", message);
    fflush(stderr);
    PyObject* cls = panic_class();
    if (cls == nullptr) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (!text) return nullptr;
    return raise_with_message(cls, text.get());
}

PyObject* raise_panic_from_pending(const char* what) {
    PyObject* cause = take_exception();
    Ref cause_ref = Ref::steal(cause);
    Ref message = Ref::steal(cause != nullptr ? PyUnicode_FromFormat("%s: %R", what, cause)
                                              : PyUnicode_FromString(what));
    if (!message) return nullptr;
    const char* text = PyUnicode_AsUTF8(message.get());
    if (text == nullptr) return nullptr;
    raise_panic(text);
    if (cause != nullptr) {
        PyObject* panic = take_exception();
        if (panic != nullptr) {
            PyException_SetCause(panic, cause_ref.release());
            restore_exception(panic);
        }
    }
    return nullptr;
}

PyObject* os_error_class(int err) {
    switch (err) {
        case EPERM:
        case EACCES: return PyExc_PermissionError;
        case ENOENT: return PyExc_FileNotFoundError;
        case EINTR: return PyExc_InterruptedError;
        case EAGAIN: return PyExc_BlockingIOError;
        case ENOMEM: return PyExc_MemoryError;
        case EEXIST: return PyExc_FileExistsError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EISDIR: return PyExc_IsADirectoryError;
        case EPIPE: return PyExc_BrokenPipeError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        default: return PyExc_OSError;
    }
}

PyObject* raise_io_error(const IoError& err, PyObject* cls) {
    // A wait ended by a signal handler that raised: its exception is the one to see.
    if (err.kind == ErrorKind::Interrupted && PyErr_Occurred()) return nullptr;
    if (cls == nullptr) cls = err.message != nullptr ? PyExc_OSError : os_error_class(err.code);
    std::string text = err.text();
    Ref message =
        Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return nullptr;
    return raise_with_message(cls, message.get());
}

}  // namespace vorn
