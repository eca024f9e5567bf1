// vornkit._core: records of an event file straight into NumPy columns, the interpreter
// lock released while the core reads and decodes. A thin binding over the column reader.
#define PY_ARRAY_UNIQUE_SYMBOL vornkit_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <variant>

#include "column_reader.hpp"
#include "features_binding.hpp"
#include "firewall.hpp"
#include "pyref.hpp"

#include <numpy/arrayobject.h>

namespace vorn::kit {
namespace {

// ---------------------------------------------------------------------------------------
// Messages

constexpr const char kBusy[] = "another thread is reading from this reader";
constexpr const char kClosed[] = "I/O operation on a closed reader";
constexpr const char kProgressNotCallable[] = "progress must be callable or None";
constexpr const char kProbeShort[] =
    "the file ends before the first two WD2 record headers, from which the channel count is found "
    "(give channels=)";
constexpr const char kReaderDoc[] =
    "Reader(path, kind, *, channels=None, offset=0, event=0, columns=None, recover=False, after=None)\n--\n\n"
    "One event file read in runs of records into NumPy columns (see vornkit/_core.pyi).";

// ---------------------------------------------------------------------------------------
// The interrupt hook, with the lock released: a read that a signal interrupted, or that
// comes after others in the same call, takes the lock back to run the signal handlers.
// Handlers run on the main thread only, so other threads never ask; the main thread asks
// before a read at most every 20 ms, so that a busy Python thread elsewhere is not waited
// for on every read.

unsigned long main_thread = 0;  // the thread signal handlers run on

// A reader's wait: the state of the thread reading with the lock released, and when the
// main thread next asks for signals before a read. A read given a progress callback calls
// it from the hook too, with the lock taken back, on any thread.
struct Waiting {
    PyThreadState* released = nullptr;  // not owned; set while the lock is released
    std::int64_t next_poll_ns = 0;
    PyObject* progress = nullptr;                      // borrowed for one read; null: none
    std::uint64_t (*position)(const void*) = nullptr;  // the reader's offset, for `progress`
    const void* reader = nullptr;                      // not owned: the reader of that read
};

std::int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Calls the progress callback with the byte offset reached; false with an exception set.
bool report_progress(const Waiting& waiting) {
    Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(waiting.position(waiting.reader)));
    Ref result = Ref::steal(offset ? PyObject_CallOneArg(waiting.progress, offset.get()) : nullptr);
    return static_cast<bool>(result);
}

bool run_handlers(void* context, bool interrupted) {
    auto* waiting = static_cast<Waiting*>(context);
    if (waiting->released == nullptr) return false;
    const bool main = PyThread_get_thread_ident() == main_thread;
    if (!main && (interrupted || waiting->progress == nullptr)) return false;
    if (!interrupted) {
        const std::int64_t now = now_ns();
        if (now < waiting->next_poll_ns) return false;
        waiting->next_poll_ns = now + 20000000;
    }
    PyEval_RestoreThread(waiting->released);
    bool raised = main && PyErr_CheckSignals() != 0;
    if (!raised && waiting->progress != nullptr) raised = !report_progress(*waiting);
    waiting->released = PyEval_SaveThread();
    return raised;
}

// Releases the lock for a scope; the hook takes it back when it must.
class Unlocked {
public:
    explicit Unlocked(Waiting& waiting) : waiting_(waiting) { waiting_.released = PyEval_SaveThread(); }
    ~Unlocked() {
        PyEval_RestoreThread(waiting_.released);
        waiting_.released = nullptr;
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    Waiting& waiting_;
};

// ---------------------------------------------------------------------------------------
// Arrays over the core's columns: the array owns the memory through a capsule base.

void free_column(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, "vornkit.column"));
}

void free_samples(PyObject* capsule) {
    void* p = PyCapsule_GetPointer(capsule, "vornkit.samples");
    sample_free(p, reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule)));
}

// An array of `n` values of `type` over `data`, which `owner` (a capsule, stolen) frees.
PyObject* array_over(void* data, npy_intp n, int type, PyObject* owner) {
    Ref base = Ref::steal(owner);
    if (!base) return nullptr;
    npy_intp dims[1] = {n};
    Ref array = Ref::steal(PyArray_SimpleNewFromData(1, dims, type, data));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0)
        return nullptr;
    return array.release();
}

PyObject* empty_array(int type) {
    npy_intp dims[1] = {0};
    return PyArray_SimpleNew(1, dims, type);
}

PyObject* column_array(Column& c, std::size_t item, int type) {
    if (c.data() == nullptr) return empty_array(type);
    c.shrink_to_fit();
    PyObject* capsule = PyCapsule_New(c.data(), "vornkit.column", free_column);
    if (capsule == nullptr) return nullptr;
    const auto n = static_cast<npy_intp>(c.size() / item);
    return array_over(c.release(), n, type, capsule);
}

template <class T>
PyObject* sample_array(SampleVec<T>& v) {
    constexpr int type = std::is_same_v<T, float> ? NPY_FLOAT32 : NPY_UINT16;
    const auto n = static_cast<npy_intp>(v.size());
    if (v.data() == nullptr) return empty_array(type);
    PyObject* capsule = PyCapsule_New(v.data(), "vornkit.samples", free_samples);
    if (capsule == nullptr) return nullptr;
    if (PyCapsule_SetContext(capsule, reinterpret_cast<void*>(std::uintptr_t(v.capacity_bytes()))) < 0) {
        Py_DECREF(capsule);
        return nullptr;
    }
    void* data = v.release();
    return array_over(data, n, type, capsule);
}

int numpy_type(FieldType t) {
    switch (t) {
        case FieldType::I32: return NPY_INT32;
        case FieldType::U32: return NPY_UINT32;
        case FieldType::U64: return NPY_UINT64;
    }
    return NPY_NOTYPE;
}

// Puts a new reference under `key`; false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref v = Ref::steal(value);
    return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

// Each record's sample count. Records of one size have none stored: with the samples read,
// a read-only array of one value repeated (the caller only shapes the samples by it); else
// filled in.
template <class Layout>
PyObject* samples_array(Columns<Layout>& cols, const ColumnOptions& opt) {
    if (cols.samples_vary) return column_array(cols.n_samples, 8, NPY_INT64);
    npy_intp dims[1] = {static_cast<npy_intp>(cols.events)};
    if (!opt.data || cols.events == 0) {
        Ref array = Ref::steal(PyArray_SimpleNew(1, dims, NPY_INT64));
        if (!array) return nullptr;
        auto* p = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        std::fill(p, p + cols.events, cols.same_samples);
        return array.release();
    }
    auto* one = static_cast<std::int64_t*>(std::malloc(sizeof(std::int64_t)));
    if (one == nullptr) return PyErr_NoMemory();
    *one = cols.same_samples;
    PyObject* capsule = PyCapsule_New(one, "vornkit.column", free_column);
    if (capsule == nullptr) {
        std::free(one);
        return nullptr;
    }
    Ref base = Ref::steal(capsule);
    npy_intp strides[1] = {0};
    Ref array = Ref::steal(PyArray_New(&PyArray_Type, 1, dims, NPY_INT64, strides, one, 0, 0, nullptr));
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

template <class Layout>
PyObject* columns_dict(Columns<Layout>& cols, const ColumnOptions& opt) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < std::size(Layout::kFields); ++i) {
        const Field& f = Layout::kFields[i];
        if (opt.fields[i] &&
            !put(dict.get(), f.name, column_array(cols.fields[i], field_size(f.type), numpy_type(f.type)))) {
            return nullptr;
        }
    }
    if (opt.offsets && !put(dict.get(), "offset", column_array(cols.offset, 8, NPY_INT64))) return nullptr;
    if (!put(dict.get(), "n_samples", samples_array(cols, opt))) return nullptr;
    if (opt.data && !put(dict.get(), "data", sample_array(cols.data))) return nullptr;
    return dict.release();
}

// ---------------------------------------------------------------------------------------
// Exceptions

// OSError(errno, strerror, filename), in the class for the number (the shared mapping).
PyObject* raise_os_error(const IoError& err, PyObject* path) {
    return raise_io_error(err, nullptr, path);
}

// ---------------------------------------------------------------------------------------
// The Reader object

// A column reader and the columns of a call that a signal handler interrupted: the next
// call goes on filling them, so that no record read is lost.
template <class Layout>
struct Kit {
    ColumnReader<Layout> reader;
    std::optional<Columns<Layout>> carry;
};
using AnyReader = std::variant<std::monostate, Kit<WD1Layout>, Kit<WD2Layout>>;

struct ReaderObject {
    PyObject_HEAD AnyReader reader;  // owned: the file, its buffer and the read state; monostate once closed
    PyObject* path;                  // owned str
    PyObject* kind;                  // owned str
    PyObject* probe;                 // owned: the probe's view, or None
    ColumnOptions opt;
    int channels;
    int header_bytes;
    const char* status;           // why the last read stopped
    std::optional<IoError> held;  // a read error after records: raised by the next read
    std::atomic<bool> busy;       // a read is running with the lock released
    Waiting waiting;              // the wait of that read, for the interrupt hook
};

struct KitState {
    PyTypeObject* reader_type = nullptr;  // owned
};
KitState state;

// The file's path as text, from a str or an os.PathLike.
PyObject* fs_path(PyObject* arg) {
    Ref p = Ref::steal(PyOS_FSPath(arg));
    if (!p) return nullptr;
    if (PyBytes_Check(p.get()))
        return PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(p.get()), PyBytes_GET_SIZE(p.get()));
    return p.release();
}

// Opens the file read-only, the lock released (a FIFO waits for its writer); EINTR runs the
// signal handlers and retries unless one raised. -1 with an exception set.
int open_file(PyObject* path) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) return -1;
    Ref bytes = Ref::steal(raw);
    const char* name = PyBytes_AS_STRING(bytes.get());
    for (;;) {
        int fd;
        Py_BEGIN_ALLOW_THREADS fd = ::open(name, O_RDONLY | O_CLOEXEC);
        Py_END_ALLOW_THREADS if (fd >= 0) return fd;
        if (errno != EINTR || PyErr_CheckSignals() != 0) {
            if (!PyErr_Occurred()) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
            return -1;
        }
    }
}

PyObject* probe_tuple(int fd) {
    ProbeView view;
    IoError err;
    if (!probe_view(fd, view, err) || !view.second) Py_RETURN_NONE;
    auto one = [](const WD2Header& h) {
        return Py_BuildValue("(kkKi)", static_cast<unsigned long>(h.event_counter),
                             static_cast<unsigned long>(h.samples),
                             static_cast<unsigned long long>(h.sampling_period), h.channels);
    };
    Ref a = Ref::steal(one(view.first));
    Ref b = Ref::steal(one(*view.second));
    if (!a || !b) return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}

template <class Layout>
bool parse_columns(PyObject* columns, ColumnOptions& opt) {
    constexpr std::size_t n = std::size(Layout::kFields);
    opt.offsets = false;
    if (columns == Py_None) {
        for (std::size_t i = 0; i < n; ++i) opt.fields[i] = true;
        opt.data = true;
        return true;
    }
    opt.data = false;
    Ref seq = Ref::steal(PySequence_Fast(columns, "columns must be a sequence of names"));
    if (!seq) return false;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        const char* name = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
        if (name == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "columns must be names (str)");
            return false;
        }
        bool known = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (strcmp(name, Layout::kFields[i].name) == 0) opt.fields[i] = known = true;
        }
        if (strcmp(name, "data") == 0) opt.data = known = true;
        if (strcmp(name, "offset") == 0) opt.offsets = known = true;
        if (!known) {
            PyErr_Format(PyExc_ValueError, "unknown column %R", item);
            return false;
        }
    }
    return true;
}

// Builds the column reader on the opened file: WD2's channel count from `channels` or the
// probe, then the seek to `offset`. Null with an exception set; the file is closed then.
template <class Layout>
bool make_reader(ReaderObject* self, int fd, PyObject* channels, std::uint64_t offset, std::uint64_t event,
                 PyObject* after) {
    BufReader src(fd);
    src.set_interrupt_hook(run_handlers, &self->waiting);
    std::optional<RecordReader<Layout>> rec;
    IoError err;
    if constexpr (std::is_same_v<Layout, WD1Layout>) {
        rec.emplace(std::move(src), WD1Layout{});
        self->channels = 1;
    } else if (channels != Py_None) {
        const long count = PyLong_AsLong(channels);
        if (count == -1 && PyErr_Occurred()) return false;
        if (count < 1 || count > 0x7fffffff) {
            PyErr_SetString(PyExc_ValueError, "channels must be a positive int");
            return false;
        }
        rec.emplace(std::move(src), WD2Layout{static_cast<std::int32_t>(count)});
        self->channels = static_cast<int>(count);
    } else {
        Ref probe = Ref::steal(probe_tuple(fd));
        if (!probe) return false;
        Py_SETREF(self->probe, probe.release());
        std::optional<WD2Reader> wd2;
        {
            Unlocked unlocked(self->waiting);
            wd2 = WD2Reader::create(std::move(src), err);
        }
        if (!wd2) {
            if (err.kind == ErrorKind::UnexpectedEof) err.message = kProbeShort;
            raise_os_error(err, self->path);
            return false;
        }
        self->channels = wd2->channel_count();
        rec.emplace(std::move(*wd2));
    }
    self->header_bytes = static_cast<int>(rec->layout().header_bytes());
    if (offset != 0 && !rec->source().seek_to(offset, err)) {
        raise_os_error(err, self->path);
        return false;
    }
    auto& kit = self->reader.template emplace<Kit<Layout>>(
        Kit<Layout>{{std::move(*rec), self->opt, offset, event}, {}});
    if (after != Py_None) {
        const unsigned long long at = PyLong_AsUnsignedLongLong(after);
        if (at == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        kit.reader.continue_after(at);
    }
    return true;
}

PyObject* Reader_new_checked(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"path",    "kind",    "channels", "offset", "event",
                                  "columns", "recover", "after",    nullptr};
    PyObject *path_arg, *kind, *channels = Py_None, *columns = Py_None, *after = Py_None;
    unsigned long long offset = 0, event = 0;
    int recover = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU|$OKKOpO:Reader", const_cast<char**>(names), &path_arg,
                                     &kind, &channels, &offset, &event, &columns, &recover, &after)) {
        return nullptr;
    }
    const bool wd1 = PyUnicode_CompareWithASCIIString(kind, "WD1") == 0;
    if (!wd1 && PyUnicode_CompareWithASCIIString(kind, "WD2") != 0) {
        return PyErr_Format(PyExc_ValueError, "kind must be 'WD1' or 'WD2', not %R", kind);
    }
    if (wd1 && channels != Py_None && !(PyLong_Check(channels) && PyLong_AsLong(channels) == 1)) {
        PyErr_Clear();
        return PyErr_Format(PyExc_ValueError, "a WD1 file has one channel, not %R", channels);
    }
    Ref self_ref = Ref::steal(cls->tp_alloc(cls, 0));
    if (!self_ref) return nullptr;
    auto* self = reinterpret_cast<ReaderObject*>(self_ref.get());
    new (&self->reader) AnyReader();
    new (&self->held) std::optional<IoError>();
    new (&self->busy) std::atomic<bool>(false);
    new (&self->waiting) Waiting();
    self->kind = Py_NewRef(kind);
    self->probe = Py_NewRef(Py_None);
    self->status = "limit";
    self->path = fs_path(path_arg);
    if (self->path == nullptr) return nullptr;
    self->opt.recover = recover != 0;
    self->opt.check = true;  // on a regular file: no record is taken where the framing rules fail
    if (!(wd1 ? parse_columns<WD1Layout>(columns, self->opt)
              : parse_columns<WD2Layout>(columns, self->opt))) {
        return nullptr;
    }
    const int fd = open_file(self->path);
    if (fd < 0) return nullptr;
    try {
        const bool ok = wd1 ? make_reader<WD1Layout>(self, fd, channels, offset, event, after)
                            : make_reader<WD2Layout>(self, fd, channels, offset, event, after);
        if (!ok) return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const CapacityOverflow&) {
        return PyErr_Format(PyExc_ValueError, "%U: corrupt first WD2 header", self->path);
    }
    return self_ref.release();
}

PyObject* Reader_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return firewall([&] { return Reader_new_checked(cls, args, kwargs); });
}

void Reader_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<ReaderObject*>(op);
    self->reader.~AnyReader();
    self->held.~optional();
    Py_XDECREF(self->path);
    Py_XDECREF(self->kind);
    Py_XDECREF(self->probe);
    PyTypeObject* tp = Py_TYPE(op);
    tp->tp_free(op);
    Py_DECREF(tp);
}

// Holds a reader for one call that releases the lock: a second thread is refused.
class Using {
public:
    explicit Using(ReaderObject* self) : self_(self) {
        bool expected = false;
        held_ = self->busy.compare_exchange_strong(expected, true);
        if (!held_) PyErr_SetString(PyExc_RuntimeError, kBusy);
    }
    ~Using() {
        if (held_) self_->busy.store(false);
    }
    bool held() const { return held_; }

private:
    ReaderObject* self_;
    bool held_;
};

const char* status_text(ReadStop s) {
    switch (s) {
        case ReadStop::Limit: return "limit";
        case ReadStop::End: return "end";
        case ReadStop::Corrupt: return "corrupt";
        default: return "error";
    }
}

template <class Layout>
PyObject* read_columns(ReaderObject* self, Kit<Layout>& kit, std::uint64_t max_events,
                       std::uint64_t max_bytes, PyObject* progress) {
    ColumnReader<Layout>& reader = kit.reader;
    Columns<Layout> cols = kit.carry ? std::move(*kit.carry) : Columns<Layout>{};
    kit.carry.reset();
    max_events -= std::min<std::uint64_t>(max_events, cols.events);
    ReadStop stop = ReadStop::End;
    bool no_memory = false;
    if (progress != nullptr) {
        self->waiting.progress = progress;
        self->waiting.position = [](const void* r) {
            return static_cast<const ColumnReader<Layout>*>(r)->offset();
        };
        self->waiting.reader = &reader;
    }
    {
        Unlocked unlocked(self->waiting);
        try {
            stop = reader.read(cols, max_events, max_bytes);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
    }
    self->waiting.progress = nullptr;
    if (no_memory) {
        kit.carry.emplace(std::move(cols));
        return PyErr_NoMemory();
    }
    if (stop == ReadStop::Interrupted) {
        if (PyErr_Occurred()) {
            kit.carry.emplace(std::move(cols));
            return nullptr;
        }
        stop = ReadStop::Limit;  // stopped without a handler raising: nothing to report
    }
    if (stop == ReadStop::Error && cols.events == 0) {
        self->status = "error";
        return raise_os_error(reader.error(), self->path);
    }
    if (stop == ReadStop::Error) self->held = reader.error();
    self->status = status_text(stop);
    return columns_dict(cols, self->opt);
}

PyObject* Reader_read_checked(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"max_events", "max_bytes", "progress", nullptr};
    auto* self = reinterpret_cast<ReaderObject*>(op);
    long long max_events = -1, max_bytes = -1;
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|LL$O:read", const_cast<char**>(names), &max_events,
                                     &max_bytes, &progress)) {
        return nullptr;
    }
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, kProgressNotCallable);
        return nullptr;
    }
    Using use(self);
    if (!use.held()) return nullptr;
    if (std::holds_alternative<std::monostate>(self->reader)) {
        PyErr_SetString(PyExc_ValueError, kClosed);
        return nullptr;
    }
    if (self->held) {
        IoError err = *self->held;
        self->held.reset();
        return raise_os_error(err, self->path);
    }
    const auto events = max_events < 0 ? UINT64_MAX : static_cast<std::uint64_t>(max_events);
    const auto bytes = max_bytes < 0 ? UINT64_MAX : static_cast<std::uint64_t>(max_bytes);
    try {
        return std::visit(
            [&](auto& r) -> PyObject* {
                if constexpr (std::is_same_v<std::remove_cvref_t<decltype(r)>, std::monostate>) {
                    return nullptr;
                } else {
                    return read_columns(self, r, events, bytes, progress == Py_None ? nullptr : progress);
                }
            },
            self->reader);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* Reader_read(PyObject* op, PyObject* args, PyObject* kwargs) {
    return firewall([&] { return Reader_read_checked(op, args, kwargs); });
}

PyObject* Reader_close(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<ReaderObject*>(op);
    Using use(self);
    if (!use.held()) return nullptr;
    self->reader.emplace<std::monostate>();
    Py_RETURN_NONE;
}

PyObject* Reader_fileno(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<ReaderObject*>(op);
    return std::visit(
        [](auto& r) -> PyObject* {
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(r)>, std::monostate>) {
                PyErr_SetString(PyExc_ValueError, kClosed);
                return nullptr;
            } else {
                return PyLong_FromLong(r.reader.source().fd());
            }
        },
        self->reader);
}

PyObject* Reader_enter(PyObject* op, PyObject*) {
    return Py_NewRef(op);
}

PyObject* Reader_exit(PyObject* op, PyObject*) {
    return Reader_close(op, nullptr);
}

// Reader state for the attributes: offset, event, pending, skipped; refused while another
// thread reads (the state changes under it).
template <class F>
PyObject* with_reader(PyObject* op, F&& f) {
    auto* self = reinterpret_cast<ReaderObject*>(op);
    Using use(self);
    if (!use.held()) return nullptr;
    return std::visit(
        [&](auto& r) -> PyObject* {
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(r)>, std::monostate>) {
                PyErr_SetString(PyExc_ValueError, kClosed);
                return nullptr;
            } else {
                return f(r.reader);
            }
        },
        self->reader);
}

PyObject* Reader_offset(PyObject* op, void*) {
    return with_reader(op, [](auto& r) { return PyLong_FromUnsignedLongLong(r.offset()); });
}
PyObject* Reader_event(PyObject* op, void*) {
    return with_reader(op, [](auto& r) { return PyLong_FromUnsignedLongLong(r.event()); });
}
PyObject* Reader_pending(PyObject* op, void*) {
    return with_reader(op, [](auto& r) { return PyLong_FromUnsignedLongLong(r.pending()); });
}
PyObject* Reader_resyncing(PyObject* op, void*) {
    return with_reader(op, [](auto& r) { return PyBool_FromLong(r.resyncing()); });
}
PyObject* Reader_skipped(PyObject* op, void*) {
    return with_reader(op, [](auto& r) -> PyObject* {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const Skip& s : r.skipped()) {
            Ref item = Ref::steal(Py_BuildValue("(KKK)", static_cast<unsigned long long>(s.event),
                                                static_cast<unsigned long long>(s.offset),
                                                static_cast<unsigned long long>(s.bytes)));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}
PyObject* Reader_status(PyObject* op, void*) {
    return PyUnicode_FromString(reinterpret_cast<ReaderObject*>(op)->status);
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Reader_read)),
     METH_VARARGS | METH_KEYWORDS,
     "read(max_events=-1, max_bytes=-1, *, progress=None)\n--\n\nReads a run of records into columns (see "
     "vornkit/_core.pyi)."},
    {"close", Reader_close, METH_NOARGS, "Closes the file."},
    {"fileno", Reader_fileno, METH_NOARGS, "The file's descriptor."},
    {"__enter__", Reader_enter, METH_NOARGS, nullptr},
    {"__exit__", Reader_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* Reader_path(PyObject* op, void*) {
    return Py_NewRef(reinterpret_cast<ReaderObject*>(op)->path);
}
PyObject* Reader_kind(PyObject* op, void*) {
    return Py_NewRef(reinterpret_cast<ReaderObject*>(op)->kind);
}
PyObject* Reader_probe(PyObject* op, void*) {
    return Py_NewRef(reinterpret_cast<ReaderObject*>(op)->probe);
}
PyObject* Reader_channels(PyObject* op, void*) {
    return PyLong_FromLong(reinterpret_cast<ReaderObject*>(op)->channels);
}
PyObject* Reader_header_bytes(PyObject* op, void*) {
    return PyLong_FromLong(reinterpret_cast<ReaderObject*>(op)->header_bytes);
}

PyGetSetDef reader_getset[] = {
    {"path", Reader_path, nullptr, nullptr, nullptr},
    {"kind", Reader_kind, nullptr, nullptr, nullptr},
    {"probe", Reader_probe, nullptr, nullptr, nullptr},
    {"channels", Reader_channels, nullptr, nullptr, nullptr},
    {"header_bytes", Reader_header_bytes, nullptr, nullptr, nullptr},
    {"offset", Reader_offset, nullptr, nullptr, nullptr},
    {"event", Reader_event, nullptr, nullptr, nullptr},
    {"pending", Reader_pending, nullptr, nullptr, nullptr},
    {"skipped", Reader_skipped, nullptr, nullptr, nullptr},
    {"resyncing", Reader_resyncing, nullptr, nullptr, nullptr},
    {"status", Reader_status, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(kReaderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {"vornkit._core.Reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots};

PyModuleDef kit_def = {
    PyModuleDef_HEAD_INIT,
    "vornkit._core",
    "Records of WD1/WD2 event files straight into NumPy columns.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init() {
    if (_import_array() < 0) return nullptr;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = Ref::steal(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref ident = Ref::steal(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return nullptr;
    main_thread = PyLong_AsUnsignedLong(ident.get());
    Ref module = Ref::steal(PyModule_Create(&kit_def));
    if (!module) return nullptr;
    if (state.reader_type == nullptr) {
        state.reader_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&reader_spec));
        if (state.reader_type == nullptr) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "Reader", reinterpret_cast<PyObject*>(state.reader_type)) < 0) {
        return nullptr;
    }
    if (!add_features(module.get())) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace vorn::kit

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
    return vorn::kit::init();
}
