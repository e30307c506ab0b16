// The module state of `_rust_core` and the way its entry points reach it.
// Everything the module creates (the glue's names and result owner type,
// PanicException) lives here, per module instance; module.cpp owns it.
#pragma once

#include "glue_state.h"
#include "py_ref.h"

namespace velmar::binding {

// Zeroed by the interpreter when the module is created; every object in it
// is made at first need, with the GIL held, and dropped by m_clear.
struct CoreState {
  GlueState glue;
  PyObject* panic_exception;  // PanicException
};

// The state of a `_rust_core` module (borrowed; the state lives as long as
// the module).
CoreState& core_state(PyObject* module) noexcept;

// A new reference to the module an entry point was called for: `self` where
// the interpreter passes it (PyPy). CPython passes none to the static entry
// points, and they get the newest `_rust_core` module of the calling
// interpreter that is still alive. Empty with an exception set on failure.
PyRef entry_module(PyObject* self);

}  // namespace velmar::binding
