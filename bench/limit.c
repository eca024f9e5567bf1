/* The physical limit of a reader, for the benchmark (built by bench/run.py, not shipped):
 *   stream_copy(path)            the file's bytes moved once from the kernel, 1 MiB reads
 *                                into one reused buffer;
 *   objects(kind, events, n)     an ideal loop that makes and drops each event's Python
 *                                objects: a dict of the format's keys, its ints, and an
 *                                array of n samples over storage it allocates.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

static PyObject* stream_copy(PyObject* self, PyObject* args) {
    const char* path;
    if (!PyArg_ParseTuple(args, "s", &path)) return NULL;
    enum { kChunk = 1 << 20 };
    static char* buf;
    if (buf == NULL && posix_memalign((void**)&buf, 4096, kChunk) != 0) return PyErr_NoMemory();
    int fd = open(path, O_RDONLY);
    if (fd < 0) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    long long total = 0;
    ssize_t n;
    while ((n = read(fd, buf, kChunk)) > 0) total += n;
    close(fd);
    if (n < 0) return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLongLong(total);
}

static const char* const wd1_keys[] = {"event_size",    "board_id",  "pattern", "board_channel",
                                       "event_counter", "timestamp", NULL};
static const char* const wd2_keys[] = {"event_counter",   "timestamp", "samples",
                                       "sampling_period", "channels",  NULL};

/* Frees the samples of an array when the array goes: the role of vorn's container. */
static void free_capsule(PyObject* capsule) {
    free(PyCapsule_GetPointer(capsule, NULL));
}

static PyObject* objects(PyObject* self, PyObject* args) {
    const char* kind;
    Py_ssize_t events, n;
    if (!PyArg_ParseTuple(args, "snn", &kind, &events, &n)) return NULL;
    const int wd1 = kind[2] == '1';
    const char* const* names = wd1 ? wd1_keys : wd2_keys;
    PyObject* keys[8];
    int nkeys = 0;
    for (; names[nkeys] != NULL; ++nkeys) keys[nkeys] = PyUnicode_InternFromString(names[nkeys]);
    keys[nkeys] = PyUnicode_InternFromString("data");
    /* A dict with every key, copied per event: cheaper than growing a fresh one. */
    PyObject* template = PyDict_New();
    for (int k = 0; k <= nkeys; ++k) PyDict_SetItem(template, keys[k], Py_None);
    const int type = wd1 ? NPY_USHORT : NPY_FLOAT;
    const size_t size = wd1 ? 2 : 4;
    for (Py_ssize_t i = 0; i < events; ++i) {
        PyObject* d = PyDict_Copy(template);
        for (int k = 0; k < nkeys; ++k) {
            PyObject* v = PyLong_FromLong((long)(i + k));
            PyDict_SetItem(d, keys[k], v);
            Py_DECREF(v);
        }
        void* samples = malloc(n * size + 1);
        npy_intp dims[1] = {n};
        PyObject* a = PyArray_SimpleNewFromData(1, dims, type, samples);
        PyArray_SetBaseObject((PyArrayObject*)a, PyCapsule_New(samples, NULL, free_capsule));
        PyDict_SetItem(d, keys[nkeys], a);
        Py_DECREF(a);
        Py_DECREF(d);
    }
    for (int k = 0; k <= nkeys; ++k) Py_DECREF(keys[k]);
    Py_DECREF(template);
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"stream_copy", stream_copy, METH_VARARGS, NULL},
    {"objects", objects, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "vorn_limit", NULL, -1, methods};

PyMODINIT_FUNC PyInit_vorn_limit(void) {
    import_array();
    return PyModule_Create(&module);
}
