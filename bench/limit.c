/* The physical limit of a reader, for the benchmark (built by bench/run.py, not shipped):
 *   stream_copy(path)            the file's bytes moved once from the kernel, 1 MiB reads
 *                                into one reused buffer;
 *   objects(kind, events, n)     an ideal loop that makes and drops each event's Python
 *                                objects: a dict of the format's keys, its ints, and an
 *                                array of n samples over storage it allocates;
 *   columns(path, kind, header_bytes, block_bytes, fields)
 *                                the least a columnar reader spends on a file of same-size
 *                                records: every header field into its own new array, every
 *                                sample block into its place in one new data array.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
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

/* One header field: its byte offset in the header and its column (native order; the files
 * are little-endian like the hosts this runs on). */
typedef struct {
    size_t offset, size;
    char* column;
} Field;

enum { kMaxFields = 8, kMaxIov = 1024, kTinyBlock = 512 };

/* Copies the fields of n headers, `stride` bytes apart, into rows [first, first + n) of
 * their columns; one field at a time, so each inner loop is one fixed-size load and store. */
static void scatter(const char* rows, size_t stride, size_t n, size_t first, const Field* f, int nfields) {
    for (int k = 0; k < nfields; ++k) {
        const char* src = rows + f[k].offset;
        char* dst = f[k].column + first * f[k].size;
        if (f[k].size == 4)
            for (size_t i = 0; i < n; ++i) memcpy(dst + 4 * i, src + i * stride, 4);
        else if (f[k].size == 8)
            for (size_t i = 0; i < n; ++i) memcpy(dst + 8 * i, src + i * stride, 8);
        else
            for (size_t i = 0; i < n; ++i) memcpy(dst + f[k].size * i, src + i * stride, f[k].size);
    }
}

/* readv until every iovec is full: 0, or -1 with errno set (EIO when the file ends early). */
static int readv_full(int fd, struct iovec* iov, int n) {
    while (n > 0) {
        ssize_t got = readv(fd, iov, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;
            return -1;
        }
        for (; n > 0 && (size_t)got >= iov->iov_len; ++iov, --n) got -= iov->iov_len;
        if (n > 0) {
            iov->iov_base = (char*)iov->iov_base + got;
            iov->iov_len -= got;
        }
    }
    return 0;
}

/* The records of a file, into columns. Records with sample blocks of kTinyBlock bytes and
 * more: readv of up to kMaxIov iovecs, each header into a staging row and each block
 * straight into the data array, then the staged headers scattered into the columns. Smaller
 * records: 1 MiB reads into a buffer, then headers and blocks scattered from it. */
static int read_columns(int fd, size_t events, size_t header, size_t block, char* data, const Field* f,
                        int nfields) {
    const size_t record = header + block;
    const int direct = block >= kTinyBlock;
    const size_t batch = direct ? kMaxIov / 2 : ((size_t)1 << 20) / record + 1;
    char* buf = malloc(batch * (direct ? header : record));
    if (buf == NULL) return -1;
    struct iovec iov[kMaxIov];
    int rc = 0;
    for (size_t first = 0; first < events && rc == 0; first += batch) {
        const size_t n = events - first < batch ? events - first : batch;
        if (direct) {
            for (size_t i = 0; i < n; ++i) {
                iov[2 * i] = (struct iovec){buf + i * header, header};
                iov[2 * i + 1] = (struct iovec){data + (first + i) * block, block};
            }
            rc = readv_full(fd, iov, (int)(2 * n));
            if (rc == 0) scatter(buf, header, n, first, f, nfields);
        } else {
            iov[0] = (struct iovec){buf, n * record};
            rc = readv_full(fd, iov, 1);
            if (rc == 0) {
                scatter(buf, record, n, first, f, nfields);
                for (size_t i = 0; block > 0 && i < n; ++i)
                    memcpy(data + (first + i) * block, buf + i * record + header, block);
            }
        }
    }
    free(buf);
    return rc;
}

/* fields: ((byte offset, dtype), ...) of the header, from src/vornkit/_layouts.py. Returns a
 * list: one new array per field, then the data array (all samples end to end). */
static PyObject* columns(PyObject* self, PyObject* args) {
    const char* path;
    const char* kind;
    Py_ssize_t header, block;
    PyObject* fields;
    if (!PyArg_ParseTuple(args, "ssnnO!", &path, &kind, &header, &block, &PyTuple_Type, &fields)) return NULL;
    const Py_ssize_t nfields = PyTuple_GET_SIZE(fields);
    if (header <= 0 || block < 0 || nfields > kMaxFields) return PyErr_Format(PyExc_ValueError, "bad layout");
    int fd = open(path, O_RDONLY);
    if (fd < 0) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    const size_t events = (size_t)st.st_size / (size_t)(header + block);

    Field f[kMaxFields];
    const int wd1 = kind[2] == '1';
    PyObject* out = PyList_New(nfields + 1);
    for (Py_ssize_t k = 0; out != NULL && k <= nfields; ++k) {
        PyArray_Descr* dtype;
        npy_intp n = (npy_intp)events;
        Py_ssize_t offset = 0;
        if (k < nfields) {
            PyObject* dt;
            if (!PyArg_ParseTuple(PyTuple_GET_ITEM(fields, k), "nO", &offset, &dt) ||
                !PyArray_DescrConverter(dt, &dtype)) {
                Py_CLEAR(out);
                break;
            }
        } else { /* the samples: uint16 (WD1) or float32 (WD2) */
            dtype = PyArray_DescrFromType(wd1 ? NPY_UINT16 : NPY_FLOAT32);
            n = (npy_intp)(events * (size_t)block / (wd1 ? 2 : 4));
        }
        PyObject* a = PyArray_Empty(1, &n, dtype, 0);
        if (a == NULL) {
            Py_CLEAR(out);
            break;
        }
        PyList_SET_ITEM(out, k, a);
        if (k < nfields)
            f[k] = (Field){(size_t)offset, (size_t)PyArray_ITEMSIZE((PyArrayObject*)a),
                           PyArray_BYTES((PyArrayObject*)a)};
    }
    if (out == NULL) {
        close(fd);
        return NULL;
    }
    char* data = PyArray_BYTES((PyArrayObject*)PyList_GET_ITEM(out, nfields));
    int rc;
    Py_BEGIN_ALLOW_THREADS rc =
        read_columns(fd, events, (size_t)header, (size_t)block, data, f, (int)nfields);
    Py_END_ALLOW_THREADS close(fd);
    if (rc != 0) {
        Py_DECREF(out);
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    return out;
}

static PyMethodDef methods[] = {
    {"stream_copy", stream_copy, METH_VARARGS, NULL},
    {"objects", objects, METH_VARARGS, NULL},
    {"columns", columns, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "vorn_limit", NULL, -1, methods};

PyMODINIT_FUNC PyInit_vorn_limit(void) {
    import_array();
    return PyModule_Create(&module);
}
