// A move-only owning reference to a Python object, so that error paths never count
// references by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorn {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (possibly null, as returned by a failed API call).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;  // owned reference, or null
};

}  // namespace vorn
