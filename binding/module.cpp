// The module `_rust_core`: its definition, the exec slot that adds the three
// functions and __all__, and PanicException, the exception of internal faults.
// PyInit__rust_core is the only symbol the shared object exports.
#include "py_ref.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "args.h"
#include "fit.h"

namespace velmar::binding {

extern const char* const kResultOwnerTypeName;
const char* const kResultOwnerTypeName = "_rust_core.PySliceContainer";

namespace {

// Created at first need and kept for the life of the process.
PyObject* panic_exception = nullptr;

PyObject* get_panic_exception() {
  if (panic_exception == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc(  // new
        "_rust_core.PanicException",
        "Raised when native code called from Python fails.\n\n"
        "Like SystemExit, it derives from BaseException rather than "
        "Exception, so that it is usually not caught and propagates to the "
        "top, ending the interpreter.",
        PyExc_BaseException, nullptr);
    if (type == nullptr) return nullptr;
    if (panic_exception == nullptr) {
      panic_exception = type;
    } else {
      PyRef discard = PyRef::steal(type);
    }
  }
  return panic_exception;
}

// Cast for PyMethodDef::ml_meth, which is declared with the plain signature
// whatever the flags say.
template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Given to the interpreter by address: they must outlive every function
// object made from them.
PyMethodDef fit_dense_def = {
    "fit_dense", as_method(&fit_dense), kEntryPointFlags,
    "fit_dense(adj_matrix, dim, weights, seed=None, undirected=True)\n--\n\n"};
PyMethodDef fit_csr_def = {
    "fit_csr", as_method(&fit_csr), kEntryPointFlags,
    "fit_csr(row_ptrs, col_indices, values, num_nodes, dim, weights, "
    "seed=None, undirected=True)\n--\n\n"};
PyMethodDef fit_adj_list_def = {
    "fit_adj_list", as_method(&fit_adj_list), kEntryPointFlags,
    "fit_adj_list(adj_list, dim, iter_weights, seed=None, "
    "undirected=True)\n--\n\n"};

// Creates the function of `def` bound to `module` and adds it as an
// attribute and to __all__. Returns false with an exception set.
bool add_function(PyObject* module, PyMethodDef* def) {
  PyObject* dict = PyModule_GetDict(module);                       // borrowed
  PyObject* module_name = PyDict_GetItemString(dict, "__name__");  // borrowed
  if (module_name == nullptr || !PyUnicode_Check(module_name)) {
    raise_not_instance(module_name == nullptr ? Py_None : module_name, "str");
    return false;
  }
  PyRef function =
      PyRef::steal(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_not_instance(name.get(), "str");
    return false;
  }

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return false;
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_not_instance(all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;  // not stolen
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

int module_exec(PyObject* module) {
  return guarded([&]() -> int {
    if (!PyModule_Check(module)) {
      raise_not_instance(module, "module");
      return -1;
    }
    for (PyMethodDef* def : {&fit_dense_def, &fit_csr_def, &fit_adj_list_def}) {
      if (!add_function(module, def)) return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_rust_core",
    "",       // an empty docstring, not None
    0,        // no per-module state
    nullptr,  // functions are added by the exec slot
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

void raise_internal_fault(const char* message) noexcept {
  try {
    std::fprintf(stderr, "_rust_core: internal fault in native code: %s\n",
                 message);
    std::fflush(stderr);
    PyObject* type = get_panic_exception();  // borrowed from the cache
    if (type == nullptr) return;  // its MemoryError is what the call raises
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace velmar::binding

PyMODINIT_FUNC PyInit__rust_core(void) {
  return PyModuleDef_Init(&velmar::binding::module_def);
}
