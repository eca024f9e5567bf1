// PanicException, vorn's exception for internal faults.
#include "errors.hpp"

#include <stdio.h>

#include "state.hpp"

namespace vorn {

namespace {

constexpr const char kPanicName[] = "vorn.PanicException";
constexpr const char kPanicDoc[] =
    "An internal fault of vorn, such as a corrupt size in an event file.\n\n"
    "Derives from BaseException, so `except Exception` does not catch it.";

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

PyObject* make_panic_class() {
    return PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
}

PyObject* raise_panic(const char* message) {
    fprintf(stderr, "vorn: internal fault: %s\n", message);
    fflush(stderr);
    PyObject* cls = state.panic_class;
    if (cls == nullptr) {  // a fault inside the first import, before the class exists
        PyErr_SetString(PyExc_SystemError, message);
        return nullptr;
    }
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

}  // namespace vorn
