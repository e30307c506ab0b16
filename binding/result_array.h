// Turning the engine's outcome into Python: an embedding becomes a float32
// NumPy array over the engine's own buffer, a VelmarError a ValueError.
#pragma once

#include "py_ref.h"

#include "algorithm.h"
#include "error.h"

namespace velmar::binding {

// The qualified name of the array owner type; each module defines it.
extern const char* const kResultOwnerTypeName;

// A new reference to a writeable, C-contiguous (rows, cols) float32 array
// whose memory is the matrix's buffer, taken over without a copy; the
// array's base is a PySliceContainer that releases the buffer with the
// function the engine handed over. Failures to build it are internal faults
// (thrown). GIL held.
PyObject* wrap_result(DenseMatrix matrix);

// Sets ValueError with the error's rendered text. GIL held.
void set_engine_error(const VelmarError& error);

// Converts a run's outcome: the array above, or nullptr with ValueError set
// to the error's rendered text.
PyObject* finish_run(Result<DenseMatrix> outcome);

}  // namespace velmar::binding
