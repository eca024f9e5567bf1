// NumPy arrays over decoded sample storage, owned by PySliceContainer base objects.
#pragma once

#include "pyref.hpp"
#include "sample_storage.hpp"

namespace vorn {

// Builds the 1-D array (uint16 / float32) over the samples of `vec`, taking over its
// storage without a copy; `vec` is left empty. On failure returns null with
// PanicException raised, and the storage stays in `vec`.
PyObject* sample_array(SampleVec<std::uint16_t>& vec);
PyObject* sample_array(SampleVec<float>& vec);

// Takes the storage of an array made by sample_array() back into `vec`, for an event that
// could not be finished; the array is left over no samples and may then be dropped.
void reclaim_samples(PyObject* array, SampleVec<std::uint16_t>& vec);
void reclaim_samples(PyObject* array, SampleVec<float>& vec);

}  // namespace vorn
