// The NumPy C API as the binding sees it: every file includes NumPy through
// this header, so all of them share the one API table that numpy_api.cpp owns
// and fills on first use.
#pragma once

#include "py_ref.h"  // Python.h first, through compat.h

#define PY_ARRAY_UNIQUE_SYMBOL velmar_binding_PyArray_API
#ifndef VELMAR_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace velmar::binding {

// Makes the NumPy C API usable in this process, loading it on the first call
// (GIL held). Throws std::runtime_error with a message beginning "Failed to
// access NumPy array API capsule" when it cannot be obtained: an internal
// fault, raised as PanicException by the entry point's guard.
void ensure_numpy_api();

}  // namespace velmar::binding
