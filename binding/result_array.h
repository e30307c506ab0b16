// Turning the engine's outcome into Python: an embedding becomes a float32
// NumPy array over the engine's own buffer, a VelmarError a ValueError.
#pragma once

#include "glue_state.h"
#include "py_ref.h"

#include "algorithm.h"
#include "error.h"

namespace velmar::binding {

// A new reference to a writeable, C-contiguous (rows, cols) float32 array
// whose memory is the matrix's buffer, taken over without a copy; the
// array's base is an instance of the calling module's owner type
// (glue.owner_type, made on first use) that releases the buffer with the
// function the engine handed over. Failures to build it are internal faults
// (thrown). GIL held.
PyObject* wrap_result(GlueState& glue, DenseMatrix matrix);

// Sets ValueError with the error's rendered text. GIL held.
void set_engine_error(const VelmarError& error);

// Converts a run's outcome: the array above, or nullptr with ValueError set
// to the error's rendered text.
PyObject* finish_run(GlueState& glue, Result<DenseMatrix> outcome);

}  // namespace velmar::binding
