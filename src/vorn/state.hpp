// The module's state: every object it makes once and keeps, in one struct. There is one per
// process, as the module refuses sub-interpreters. fill_state() fills it at the first
// import, all or nothing; the NumPy part follows at the first array, since NumPy is
// imported only then; clear_state() clears both.
#pragma once

#include <cstdint>
#include <iterator>

#include "layouts.hpp"
#include "pyref.hpp"

namespace vorn {

// One layout's event keys, interned (no caller can tell them from fresh strings): its
// field table's names, then "data" (shared, in State). The template is an event dict
// with every key in order, each mapped to None: copying it is much cheaper than growing a
// new dict key by key; the values are then replaced.
template <const auto& Table>
struct EventKeys {
    PyObject* fields[std::size(Table)] = {};  // owned
    PyObject* dict_template = nullptr;        // owned
};

struct State {
    // Filled at the first import.
    PyObject* module = nullptr;                 // owned: the module; later imports return it
    std::int64_t interpreter_id = -1;           // the interpreter of the first import; kept when it fails
    PyObject* panic_class = nullptr;            // owned: PanicException
    PyTypeObject* event_reader_type = nullptr;  // owned
    PyTypeObject* container_type = nullptr;     // owned: PySliceContainer, base of each "data" array
    PyObject* data_key = nullptr;               // owned, interned "data"
    EventKeys<kWD1Fields> wd1_keys;
    EventKeys<kWD2Fields> wd2_keys;

    // Filled at the first array (load_numpy_api), left empty when that fails so that the
    // next array tries again. NumPy's API table itself stays in the variables NumPy's
    // headers name, where its macros read it; clear_state() resets them too.
    PyObject* u16_descr = nullptr;  // owned: the uint16 sample dtype (a PyArray_Descr)
    PyObject* f32_descr = nullptr;  // owned: the float32 sample dtype
};

extern State state;

// Fills the first-import part of `state`. On failure raises, clears what was made and
// returns false.
bool fill_state();
// Drops every reference `state` holds, but keeps interpreter_id.
void clear_state();

// The makers fill_state() calls, each in the file of its type: new references, or null
// with an exception.
PyObject* make_panic_class();
PyTypeObject* make_container_type();
// Clears NumPy's API table.
void forget_numpy_api();

}  // namespace vorn
