// vornkit._core.features(data, n_samples, channels, ...): per event and channel pulse
// features of a chunk as Reader.read() returns it, the lock released while they are computed.
#define PY_ARRAY_UNIQUE_SYMBOL vornkit_ARRAY_API
#define NO_IMPORT_ARRAY
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include "features_binding.hpp"
#include "firewall.hpp"

#include <cmath>
#include <cstdint>

#include "features.hpp"

#include <numpy/arrayobject.h>

namespace vorn::kit {
namespace {

constexpr const char kDataType[] = "data must be a uint16 or float32 array";
constexpr const char kChannels[] = "channels must be a positive int";
constexpr const char kWindow[] = "a window must be (start, stop): ints, stop None for the end of the record";
constexpr const char kNegative[] = "a window must not start or stop before sample 0";
constexpr const char kSaturation[] = "saturation must be None or a pair (low, high) of numbers";
constexpr const char kCounts[] = "n_samples must be non-negative multiples of channels";
constexpr const char kShort[] = "data holds fewer samples than n_samples says";
constexpr const char kDoc[] =
    "features(data, n_samples, channels, *, baseline=(0, 64), gate=(64, None), negative=True, "
    "saturation=None, threshold=None, cfd=None)\n--\n\n"
    "Pulse features of each event and channel of a chunk (see vornkit/_core.pyi).";

// (start, stop) from a pair of ints, stop None meaning the record's end.
bool parse_window(PyObject* arg, SampleWindow& w) {
    if (!PyTuple_Check(arg) || PyTuple_GET_SIZE(arg) != 2) {
        PyErr_SetString(PyExc_TypeError, kWindow);
        return false;
    }
    PyObject* start = PyTuple_GET_ITEM(arg, 0);
    PyObject* stop = PyTuple_GET_ITEM(arg, 1);
    if (!PyLong_Check(start) || !(stop == Py_None || PyLong_Check(stop))) {
        PyErr_SetString(PyExc_TypeError, kWindow);
        return false;
    }
    int overflow = 0;
    w.start = PyLong_AsLongLongAndOverflow(start, &overflow);
    if (overflow > 0) w.start = INT64_MAX;
    if (overflow < 0 || w.start < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kNegative);
        return false;
    }
    if (stop != Py_None) {
        w.stop = PyLong_AsLongLongAndOverflow(stop, &overflow);
        if (overflow > 0) w.stop = INT64_MAX;
        if (overflow < 0 || w.stop < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, kNegative);
            return false;
        }
    }
    return !PyErr_Occurred();
}

// An optional float: false with an exception set.
bool parse_level(PyObject* arg, bool& given, double& value) {
    given = arg != Py_None;
    if (!given) return true;
    value = PyFloat_AsDouble(arg);
    return !(value == -1.0 && PyErr_Occurred());
}

PyObject* new_output(Ref& dict, const char* key, npy_intp n, int type, void*& data) {
    npy_intp dims[1] = {n};
    Ref array = Ref::steal(PyArray_SimpleNew(1, dims, type));
    if (!array || PyDict_SetItemString(dict.get(), key, array.get()) < 0) return nullptr;
    data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
    return array.get();  // borrowed: the dict holds it
}

PyObject* features_checked(PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"data",     "n_samples",  "channels",  "baseline", "gate",
                                  "negative", "saturation", "threshold", "cfd",      nullptr};
    PyObject *data_arg, *counts_arg, *baseline = nullptr, *gate = nullptr, *saturation = Py_None;
    PyObject *threshold = Py_None, *cfd = Py_None;
    long channels = 0;
    int negative = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOl|$OOpOOO:features", const_cast<char**>(names),
                                     &data_arg, &counts_arg, &channels, &baseline, &gate, &negative,
                                     &saturation, &threshold, &cfd)) {
        return nullptr;
    }
    if (channels < 1 || channels > 0x7fffffff) {
        PyErr_SetString(PyExc_ValueError, kChannels);
        return nullptr;
    }
    FeatureOptions opt;
    opt.negative = negative != 0;
    if (baseline != nullptr && !parse_window(baseline, opt.baseline)) return nullptr;
    opt.gate = {opt.baseline.stop, SampleWindow{}.stop};
    if (gate != nullptr && !parse_window(gate, opt.gate)) return nullptr;
    if (saturation != Py_None) {
        if (!PyTuple_Check(saturation) || PyTuple_GET_SIZE(saturation) != 2) {
            PyErr_SetString(PyExc_TypeError, kSaturation);
            return nullptr;
        }
        opt.saturation = true;
        opt.saturation_low = PyFloat_AsDouble(PyTuple_GET_ITEM(saturation, 0));
        opt.saturation_high = PyFloat_AsDouble(PyTuple_GET_ITEM(saturation, 1));
        if (PyErr_Occurred()) return nullptr;
    }
    if (!parse_level(threshold, opt.threshold, opt.threshold_level) ||
        !parse_level(cfd, opt.cfd, opt.cfd_fraction)) {
        return nullptr;
    }

    Ref data = Ref::steal(PyArray_FROMANY(data_arg, NPY_NOTYPE, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!data) return nullptr;
    auto* data_arr = reinterpret_cast<PyArrayObject*>(data.get());
    const int type = PyArray_TYPE(data_arr);
    if (type != NPY_UINT16 && type != NPY_FLOAT32) {
        PyErr_SetString(PyExc_TypeError, kDataType);
        return nullptr;
    }
    Ref counts = Ref::steal(PyArray_FROMANY(counts_arg, NPY_INT64, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!counts) return nullptr;
    auto* counts_arr = reinterpret_cast<PyArrayObject*>(counts.get());
    const auto events = static_cast<std::size_t>(PyArray_SIZE(counts_arr));
    const auto* n_samples = static_cast<const std::int64_t*>(PyArray_DATA(counts_arr));
    std::uint64_t total = 0;
    for (std::size_t e = 0; e < events; ++e) {
        if (n_samples[e] < 0 || n_samples[e] % channels != 0) {
            PyErr_SetString(PyExc_ValueError, kCounts);
            return nullptr;
        }
        total += static_cast<std::uint64_t>(n_samples[e]);
    }
    if (total > static_cast<std::uint64_t>(PyArray_SIZE(data_arr))) {
        PyErr_SetString(PyExc_ValueError, kShort);
        return nullptr;
    }

    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const auto n = static_cast<npy_intp>(events * static_cast<std::size_t>(channels));
    FeatureOutputs out;
    void* p = nullptr;
    auto f64 = [&](const char* key, double*& dst) {
        if (!new_output(dict, key, n, NPY_FLOAT64, p)) return false;
        dst = static_cast<double*>(p);
        return true;
    };
    if (!f64("baseline", out.baseline) || !f64("rms", out.rms) || !f64("amplitude", out.amplitude))
        return nullptr;
    if (!new_output(dict, "peak", n, NPY_INT64, p)) return nullptr;
    out.peak = static_cast<std::int64_t*>(p);
    if (!f64("integral", out.integral)) return nullptr;
    if (opt.saturation) {
        if (!new_output(dict, "saturated", n, NPY_BOOL, p)) return nullptr;
        out.saturated = static_cast<std::uint8_t*>(p);
    }
    if (opt.threshold && !f64("t_threshold", out.t_threshold)) return nullptr;
    if (opt.cfd && !f64("t_cfd", out.t_cfd)) return nullptr;

    const void* samples = PyArray_DATA(data_arr);
    const auto c = static_cast<std::size_t>(channels);
    Py_BEGIN_ALLOW_THREADS;
    if (type == NPY_UINT16) {
        compute_features(static_cast<const std::uint16_t*>(samples), n_samples, events, c, opt, out);
    } else {
        compute_features(static_cast<const float*>(samples), n_samples, events, c, opt, out);
    }
    Py_END_ALLOW_THREADS;
    return dict.release();
}

PyObject* features(PyObject*, PyObject* args, PyObject* kwargs) {
    return firewall([&] { return features_checked(args, kwargs); });
}

PyMethodDef methods[] = {
    {"features", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(features)),
     METH_VARARGS | METH_KEYWORDS, kDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_features(PyObject* module) {
    return PyModule_AddFunctions(module, methods) == 0;
}

}  // namespace vorn::kit
