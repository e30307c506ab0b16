// The one place where the interpreters the module is built for differ:
// CPython 3.9 and later, and PyPy 7.3 (Python 3.9), whose C-API emulation
// exports the same calls under PyPy-prefixed names. Every file of the binding
// reaches Python.h through this header; nothing else tests for PyPy.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace velmar::binding {

// Names. PyPy's headers #define the standard names (PyCMethod_New,
// PyModuleDef_Init, PyType_FromSpec, ...) to their PyPy-prefixed symbols, so
// the sources use the standard names and the build only has to compile
// against the headers of the interpreter that runs it (FindPython does).

// Flags of the three entry points: fast call with keywords, and METH_STATIC
// so that the functions do not present the module as their self. The
// interpreters disagree on the self they pass (CPython passes null, PyPy the
// module) and PyPy's function objects have no __self__ at all; the entry
// points use self when it is given and otherwise look their module up
// (entry_module, module.cpp).
inline constexpr int kEntryPointFlags =
    METH_FASTCALL | METH_STATIC | METH_KEYWORDS;  // 0xA2
static_assert(kEntryPointFlags == 0xA2);

// Cast for PyMethodDef::ml_meth, which is declared with the plain signature
// whatever the flags say.
template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Per-interpreter storage. Because CPython calls the static entry points
// with a null self, they find their module through a dictionary of the
// calling interpreter (module.cpp). PyPy passes the module itself, and runs
// one interpreter per process: no dictionary there. Borrowed; nullptr with
// no exception set when there is none.
inline PyObject* interpreter_dict() noexcept {
#ifdef PYPY_VERSION
  return nullptr;
#else
  return PyInterpreterState_GetDict(PyInterpreterState_Get());
#endif
}

// Borrowed references. PyPy hands C code a proxy for each object and keeps a
// borrowed proxy alive only as long as its container holds the object, as
// CPython does; but reading list items by index makes PyPy convert the whole
// list to generic storage. The converters therefore read every sequence
// through its iterator, holding a strong reference to each item, and borrow
// only from tuples, dictionaries and the caller's argument vector. The
// singletons (None, True) have one fixed address on both interpreters, so
// comparing pointers with Py_None and Py_True is valid.

// The interpreter lock. PyEval_SaveThread and PyEval_RestoreThread release
// and retake it on both interpreters, and in both the engine's worker
// threads must never enter the interpreter; without_gil (py_ref.h) needs no
// variant.

// Buffer lifetime. CPython frees a result array, its PySliceContainer and
// with them the engine's buffer when the last reference goes. PyPy frees
// them only when its garbage collector finds them unreachable, and that
// collector does not see memory allocated outside it; result_array.cpp
// keeps its large buffers in step with the collections where this is set.
#ifdef PYPY_VERSION
inline constexpr bool kFreesOnlyWhenCollected = true;
#else
inline constexpr bool kFreesOnlyWhenCollected = false;
#endif

// Tells PyPy's collector about memory it does not see
// (PyTraceMalloc_Track is PyPy's add_memory_pressure). CPython's
// PyTraceMalloc_Track records a trace instead, which is not wanted here.
// GIL held.
inline void add_memory_pressure([[maybe_unused]] const void* data,
                                [[maybe_unused]] std::size_t bytes) {
#ifdef PYPY_VERSION
  // Only adds to PyPy's allocation count; it cannot fail in a way that
  // matters, so the result is not checked.
  PyTraceMalloc_Track(0, reinterpret_cast<std::uintptr_t>(data), bytes);
#endif
}

// Types whose instances only the module creates. Python 3.10 has a flag for
// that, which also drops tp_new; CPython 3.9 and PyPy 3.9 lack it, and there
// the tp_new slot refuses, with the message the flag gives.
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
inline constexpr unsigned int kInternalTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
inline constexpr unsigned int kInternalTypeFlags = Py_TPFLAGS_DEFAULT;
#endif
inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

}  // namespace velmar::binding
