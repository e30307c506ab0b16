// The module's three functions, as fast-call entry points with keywords.
// Each takes `self` (the module on PyPy, nullptr on CPython: see
// entry_module), the argument vector, the count of positional arguments and
// the tuple of keyword names (or nullptr); returns a new reference or nullptr
// with an exception set. GIL held on entry.
#pragma once

#include "py_ref.h"

namespace velmar::binding {

PyObject* fit_dense(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
PyObject* fit_csr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames);
PyObject* fit_adj_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);

}  // namespace velmar::binding
