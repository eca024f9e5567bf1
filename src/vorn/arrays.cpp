// NumPy's array API, loaded at the first array, and the arrays handed out as "data".
#define PY_ARRAY_UNIQUE_SYMBOL vorn_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include "arrays.hpp"

#include <numpy/arrayobject.h>

#include "errors.hpp"
#include "state.hpp"

namespace vorn {

namespace {

// ---------------------------------------------------------------------------------------
// PySliceContainer: the base object of each array, owner of its sample storage.

using DropFn = void (*)(void* ptr, std::size_t capacity);

struct PySliceContainer {
    PyObject_HEAD void* ptr;  // owned sample storage (from sample_alloc), or a static dummy
    std::size_t len;          // elements in use
    std::size_t capacity;     // elements allocated; 0 when nothing is owned
    DropFn drop;              // frees ptr for this element type
};

template <class T>
void drop_samples(void* ptr, std::size_t capacity) {
    if (capacity != 0) sample_free(ptr, capacity * sizeof(T));
}

void PySliceContainer_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<PySliceContainer*>(op);
    if (self->drop != nullptr) self->drop(self->ptr, self->capacity);
    PyTypeObject* tp = Py_TYPE(op);
    tp->tp_free(op);
    Py_DECREF(tp);
}

constexpr const char kContainerDoc[] = "Owner of the samples under an event's \"data\" array.";

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(PySliceContainer_dealloc)},
    {Py_tp_doc, const_cast<char*>(kContainerDoc)},
    {0, nullptr},
};

// Not instantiable from Python: a container is only ever made here, filled.
PyType_Spec container_spec = {
    "builtins.PySliceContainer",
    sizeof(PySliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    container_slots,
};

// ---------------------------------------------------------------------------------------
// NumPy's array API

constexpr const char kCapsuleFailure[] = "Failed to access NumPy array API capsule";

// The installed NumPy's major version, or -1 with an exception set.
long numpy_major_version() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return -1;
    const char* text = PyUnicode_AsUTF8(version.get());
    if (text == nullptr) return -1;
    long major = 0;
    for (; *text >= '0' && *text <= '9'; ++text) major = major * 10 + (*text - '0');
    return major;
}

// A failed step of loading NumPy: PanicException from the pending error, except for an
// interruption (KeyboardInterrupt, SystemExit: not an Exception), which a signal handler
// raised during the import and which stays as it is.
bool numpy_failure() {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    raise_panic_from_pending(kCapsuleFailure);
    return false;
}

// Loads the API table from the `_ARRAY_API` capsule and the sample dtypes into the state,
// once per process. On failure raises PanicException and leaves the table unset, so that
// the next array tries again.
bool load_numpy_api() {
    if (state.f32_descr != nullptr) return true;
    const long major = numpy_major_version();
    if (major < 0) return numpy_failure();
    Ref multiarray =
        Ref::steal(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return numpy_failure();
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return numpy_failure();
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return numpy_failure();
    }
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return numpy_failure();

    // The checks NumPy's own import makes: a table from a newer ABI, or an older NumPy
    // than this module was built for, cannot serve.
    PyArray_API = table;
    const unsigned abi_version = PyArray_GetNDArrayCVersion();
    const unsigned feature_version = PyArray_GetNDArrayCFeatureVersion();
    if (abi_version > NPY_ABI_VERSION || feature_version < NPY_FEATURE_VERSION) {
        forget_numpy_api();
        PyErr_Format(PyExc_RuntimeError, "NumPy C API version 0x%x/0x%x is not supported", abi_version,
                     feature_version);
        return numpy_failure();
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
    // The builtin descriptors are singletons that live as long as NumPy.
    Ref u16 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_USHORT)));
    Ref f32 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT)));
    if (!u16 || !f32) {
        forget_numpy_api();
        raise_panic_from_pending("cannot get the sample dtype");
        return false;
    }
    state.u16_descr = u16.release();
    state.f32_descr = f32.release();
    return true;
}

// Stands in as the data pointer of empty arrays, so that NumPy never allocates (and
// owns) memory of its own for them.
alignas(kSampleAlign) const std::uint8_t empty_samples[kSampleAlign] = {};

template <class T>
PyObject* make_array(SampleVec<T>& vec, PyObject* State::*descr) {
    // Everything that can fail comes before the storage changes hands, so that a failure
    // leaves the samples with the record.
    if (!load_numpy_api()) return nullptr;
    auto* dtype = reinterpret_cast<PyArray_Descr*>(state.*descr);
    auto* c = PyObject_New(PySliceContainer, state.container_type);
    if (c == nullptr) return raise_panic_from_pending("cannot allocate a PySliceContainer");
    c->ptr = nullptr;  // owns nothing until the array stands
    c->len = c->capacity = 0;
    c->drop = drop_samples<T>;
    Ref container = Ref::steal(reinterpret_cast<PyObject*>(c));

    void* data =
        vec.data() != nullptr ? static_cast<void*>(vec.data()) : const_cast<std::uint8_t*>(empty_samples);
    Py_INCREF(dtype);  // PyArray_NewFromDescr steals it
    npy_intp dims[1] = {static_cast<npy_intp>(vec.size())};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    Ref array = Ref::steal(
        PyArray_NewFromDescr(&PyArray_Type, dtype, 1, dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return raise_panic_from_pending("cannot create the sample array");
    // Steals the container even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) {
        return raise_panic_from_pending("cannot set the sample array's base");
    }
    c->len = vec.size();
    c->capacity = vec.capacity();
    c->ptr = vec.release();
    return array.release();
}

template <class T>
void reclaim(PyObject* array, SampleVec<T>& vec) {
    auto* c = reinterpret_cast<PySliceContainer*>(PyArray_BASE(reinterpret_cast<PyArrayObject*>(array)));
    if (c->capacity != 0) vec.adopt(static_cast<T*>(c->ptr), c->len, c->capacity);
    c->ptr = nullptr;
    c->len = c->capacity = 0;
}

}  // namespace

PyTypeObject* make_container_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&container_spec));
}

void forget_numpy_api() {
    PyArray_API = nullptr;
    PyArray_RUNTIME_VERSION = 0;
}

PyObject* sample_array(SampleVec<std::uint16_t>& vec) {
    return make_array(vec, &State::u16_descr);
}
PyObject* sample_array(SampleVec<float>& vec) {
    return make_array(vec, &State::f32_descr);
}

void reclaim_samples(PyObject* array, SampleVec<std::uint16_t>& vec) {
    reclaim(array, vec);
}
void reclaim_samples(PyObject* array, SampleVec<float>& vec) {
    reclaim(array, vec);
}

}  // namespace vorn
