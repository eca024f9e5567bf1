// The `vorn` module: its entry point and the EventReader type, which opens an event file,
// drives a decoder and turns each record into a dict with a NumPy array.
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <variant>

#include "arrays.hpp"
#include "errors.hpp"
#include "pyref.hpp"
#include "state.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vorn {
namespace {

// ---------------------------------------------------------------------------------------
// Messages

constexpr const char kSubinterpreters[] = "vorn does not support loading in sub-interpreters";
constexpr const char kNoException[] = "attempted to fetch exception but none was set";
constexpr const char kAlreadyBorrowed[] = "Already borrowed";
constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
constexpr const char kEventReaderDoc[] = "EventReader(path, reader_type)\n--\n\n";

// ---------------------------------------------------------------------------------------
// The EventReader object

using Decoder = std::variant<WD1Reader, WD2Reader>;

// All ones in the borrow flag: one exclusive use; n from 1 up: n shared uses; 0: free.
constexpr std::uint32_t kExclusive = 0xffffffffu;

struct EventReaderObject {
    PyObject_HEAD Decoder decoder;      // owned; holds the BufReader (descriptor and buffer)
    std::atomic<std::uint32_t> borrow;  // the borrow flag
};

// The event keys of a layout, in the state.
template <class Layout>
auto& keys_of() {
    if constexpr (std::is_same_v<Layout, WD1Layout>)
        return state.wd1_keys;
    else
        return state.wd2_keys;
}

// Interns a layout's keys and builds its event template; false with an exception.
template <class Layout>
bool make_event_keys() {
    auto& keys = keys_of<Layout>();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return false;
    for (std::size_t i = 0; i < std::size(Layout::kFields); ++i) {
        keys.fields[i] = PyUnicode_InternFromString(Layout::kFields[i].name);
        if (keys.fields[i] == nullptr || PyDict_SetItem(dict.get(), keys.fields[i], Py_None) < 0)
            return false;
    }
    if (PyDict_SetItem(dict.get(), state.data_key, Py_None) < 0) return false;
    keys.dict_template = dict.release();
    return true;
}

template <const auto& Table>
void clear_event_keys(EventKeys<Table>& keys) {
    for (PyObject*& key : keys.fields) Py_CLEAR(key);
    Py_CLEAR(keys.dict_template);
}

// ---------------------------------------------------------------------------------------
// Construction

// Binds (path, reader_type) by position or keyword; null with TypeError on failure.
bool bind_arguments(PyObject* args, PyObject* kwargs, PyObject* out[2]) {
    static const char* const names[2] = {"path", "reader_type"};
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "EventReader.__new__() takes 2 positional arguments but %zd were given",
                     nargs);
        return false;
    }
    out[0] = nargs > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    out[1] = nargs > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int index = -1;
            for (int i = 0; i < 2; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) index = i;
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "EventReader.__new__() got an unexpected keyword argument '%S'",
                             key);
                return false;
            }
            if (out[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "EventReader.__new__() got multiple values for argument '%s'",
                             names[index]);
                return false;
            }
            out[index] = value;
        }
    }
    if (out[0] == nullptr && out[1] == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "EventReader.__new__() missing 2 required positional arguments: "
                        "'path' and 'reader_type'");
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "EventReader.__new__() missing 1 required positional argument: '%s'", names[i]);
            return false;
        }
    }
    return true;
}

// The UTF-8 text of a str argument; null with an exception otherwise.
const char* utf8_argument(PyObject* value, const char* name, Py_ssize_t* size) {
    if (!PyUnicode_Check(value)) {
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
        if (qualname) {
            PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'str'", name,
                         qualname.get());
        }
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(value, size);
}

// The file system's bytes of a path argument, as os.fsencode gives them: a str encoded with
// the file system encoding, undecodable bytes kept by surrogateescape (the name a directory
// listing gave). `holder` keeps the bytes alive. Anything but a str is refused as before.
const char* path_argument(PyObject* value, Ref& holder, Py_ssize_t* size) {
    if (!PyUnicode_Check(value))
        return utf8_argument(value, "path", size);  // the type error of a str argument
    holder = Ref::steal(PyUnicode_EncodeFSDefault(value));
    if (!holder) return nullptr;
    *size = PyBytes_GET_SIZE(holder.get());
    return PyBytes_AS_STRING(holder.get());
}

// Runs the interpreter's signal handlers after an interrupted wait (opening a FIFO with no
// writer, reading one with no data): true when a handler raised, which ends the wait.
bool run_signal_handlers(void* = nullptr, bool = true) {
    return PyErr_CheckSignals() != 0;
}

// Opens `path` read-only and close-on-exec, retrying EINTR. -1 with `err` on failure.
int open_file(const char* path, Py_ssize_t size, IoError& err) {
    if (static_cast<std::size_t>(size) != strlen(path)) {
        err = IoError::nul_byte();
        return -1;
    }
    for (;;) {
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        err = IoError::from_errno(errno);
        if (err.kind != ErrorKind::Interrupted || run_signal_handlers()) return -1;
    }
}

bool is_reader_type(const char* text, Py_ssize_t size, const char (&name)[4]) {
    return size == 3 && memcmp(text, name, 3) == 0;
}

PyObject* EventReader_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return firewall([&]() -> PyObject* {
        PyObject* argv[2];
        if (!bind_arguments(args, kwargs, argv)) return nullptr;
        Py_ssize_t path_size, type_size;
        Ref path_bytes;
        const char* path = path_argument(argv[0], path_bytes, &path_size);
        if (path == nullptr) return nullptr;
        const char* type = utf8_argument(argv[1], "reader_type", &type_size);
        if (type == nullptr) return nullptr;

        IoError err;
        int fd = open_file(path, path_size, err);
        if (fd < 0) return raise_io_error(err);
        BufReader src(fd);  // owns fd from here: every failure below closes it
        src.set_interrupt_hook(run_signal_handlers);

        Decoder decoder{std::in_place_type<WD1Reader>, BufReader(-1)};
        if (is_reader_type(type, type_size, "WD1")) {
            decoder.emplace<WD1Reader>(std::move(src));
        } else if (is_reader_type(type, type_size, "WD2")) {
            std::optional<WD2Reader> wd2 = WD2Reader::create(std::move(src), err);
            if (!wd2) return raise_io_error(err, PyExc_OSError);  // always plain OSError
            decoder.emplace<WD2Reader>(std::move(*wd2));
        } else {
            PyErr_Format(PyExc_ValueError, "unknown reader type '%U', expected 'WD1' or 'WD2'", argv[1]);
            return nullptr;
        }

        PyObject* obj = cls->tp_alloc(cls, 0);
        if (obj == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoException);
            return nullptr;
        }
        auto* self = reinterpret_cast<EventReaderObject*>(obj);
        new (&self->decoder) Decoder(std::move(decoder));
        new (&self->borrow) std::atomic<std::uint32_t>(0);
        return obj;
    });
}

void EventReader_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<EventReaderObject*>(op);
    self->decoder.~Decoder();  // frees the buffer, then closes the descriptor
    PyTypeObject* tp = Py_TYPE(op);
    tp->tp_free(op);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------------------------------
// Iteration

PyObject* EventReader_iter(PyObject* op) {
    auto& flag = reinterpret_cast<EventReaderObject*>(op)->borrow;
    std::uint32_t seen = flag.load();
    do {
        if (seen == kExclusive) {
            PyErr_SetString(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
            return nullptr;
        }
    } while (!flag.compare_exchange_weak(seen, seen + 1));
    Py_INCREF(op);
    flag.fetch_sub(1);
    return op;
}

constexpr const char kBuildFailure[] = "failed to build an event";

// A header value as the int the dict holds: signed fields through PyLong_FromLong,
// unsigned ones widened to 64 bits.
PyObject* field_int(std::int32_t v) {
    return PyLong_FromLong(v);
}
PyObject* field_int(std::uint32_t v) {
    return PyLong_FromUnsignedLongLong(v);
}
PyObject* field_int(std::uint64_t v) {
    return PyLong_FromUnsignedLongLong(v);
}

// Fills the event dict, header values in table order, then "data". On failure the
// record is left whole, to be returned again.
template <class Layout>
PyObject* event_dict(PyObject* dict, EventRecord<typename Layout::Header, typename Layout::Sample>& rec) {
    bool ok = true;
    std::size_t i = 0;
    for_each_field<Layout::kFields>(Layout::members(rec.header), [&](const Field&, auto value) {
        if (!ok) return;
        PyObject* v = field_int(value);
        ok = v != nullptr && PyDict_SetItem(dict, keys_of<Layout>().fields[i++], v) == 0;
        Py_XDECREF(v);
    });
    if (!ok) return raise_panic_from_pending(kBuildFailure);
    Ref array = Ref::steal(sample_array(rec.data));
    if (!array) return nullptr;
    if (PyDict_SetItem(dict, state.data_key, array.get()) < 0) {
        reclaim_samples(array.get(), rec.data);
        return raise_panic_from_pending(kBuildFailure);
    }
    return Py_NewRef(dict);
}

template <class Reader>
using LayoutOf = std::remove_cvref_t<decltype(std::declval<Reader&>().layout())>;

// Runs one decoder step and converts its outcome. Null without an exception at the end
// of data; a read error raises the OSError class its number stands for. A record whose
// event cannot be built stays with the decoder, so that the next call returns it.
template <class Reader>
PyObject* next_event(Reader& reader) {
    using Layout = LayoutOf<Reader>;
    Ref dict = Ref::steal(PyDict_Copy(keys_of<Layout>().dict_template));
    if (!dict) return raise_panic_from_pending(kBuildFailure);
    auto result = reader.next();
    using Kind = typename decltype(result)::Kind;
    switch (result.kind) {
        case Kind::End: return nullptr;
        case Kind::Error: return raise_io_error(result.error);
        case Kind::Record: break;
    }
    PyObject* event = event_dict<Layout>(dict.get(), result.record);
    if (event == nullptr) reader.unread(std::move(result.record));
    return event;
}

// Holds the exclusive use of a reader for one __next__ call.
class ExclusiveUse {
public:
    explicit ExclusiveUse(std::atomic<std::uint32_t>& flag) : flag_(flag) {
        std::uint32_t expected = 0;
        held_ = flag_.compare_exchange_strong(expected, kExclusive);
    }
    ~ExclusiveUse() {
        if (held_) flag_.store(0);
    }
    bool held() const { return held_; }

private:
    std::atomic<std::uint32_t>& flag_;
    bool held_;
};

PyObject* EventReader_iternext(PyObject* op) {
    auto* self = reinterpret_cast<EventReaderObject*>(op);
    Ref keep = Ref::borrow(op);  // released after the flag is given back
    ExclusiveUse use(self->borrow);
    if (!use.held()) {
        PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
        return nullptr;
    }
    return firewall(
        [&] { return std::visit([](auto& reader) { return next_event(reader); }, self->decoder); });
}

PyType_Slot event_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEventReaderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(EventReader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(EventReader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(EventReader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(EventReader_iternext)},
    {0, nullptr},
};

PyType_Spec event_reader_spec = {
    "builtins.EventReader", sizeof(EventReaderObject), 0, Py_TPFLAGS_DEFAULT, event_reader_slots,
};

// ---------------------------------------------------------------------------------------
// The module

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn",   // m_name
    "",       // m_doc
    0,        // m_size
    nullptr,  // m_methods
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

bool add_type(PyObject* module, PyObject* name, PyObject* type) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return false;
    }
    return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, type) == 0;
}

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoException);
        return nullptr;
    }
    if (state.interpreter_id >= 0 && state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError, kSubinterpreters);
        return nullptr;
    }
    state.interpreter_id = id;
    if (state.module != nullptr) return Py_NewRef(state.module);

    if (!fill_state()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    Ref name = module ? Ref::steal(PyUnicode_InternFromString("EventReader")) : Ref();
    if (!name || !add_type(module.get(), name.get(), reinterpret_cast<PyObject*>(state.event_reader_type))) {
        clear_state();
        return nullptr;
    }
    state.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

State state;

bool fill_state() {
    // Each step runs only when the ones before succeeded: no API call with an error pending.
    const bool ok = (state.panic_class = make_panic_class()) != nullptr &&
                    (state.event_reader_type =
                         reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&event_reader_spec))) != nullptr &&
                    (state.container_type = make_container_type()) != nullptr &&
                    (state.data_key = PyUnicode_InternFromString("data")) != nullptr &&
                    make_event_keys<WD1Layout>() && make_event_keys<WD2Layout>();
    if (!ok) clear_state();
    return ok;
}

void clear_state() {
    Py_CLEAR(state.module);
    Py_CLEAR(state.panic_class);
    Py_CLEAR(state.event_reader_type);
    Py_CLEAR(state.container_type);
    Py_CLEAR(state.data_key);
    clear_event_keys(state.wd1_keys);
    clear_event_keys(state.wd2_keys);
    Py_CLEAR(state.u16_descr);
    Py_CLEAR(state.f32_descr);
    forget_numpy_api();
}

}  // namespace vorn

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorn() {
    return vorn::firewall([] { return vorn::init_module(); });
}
