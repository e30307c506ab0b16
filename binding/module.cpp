// The module `_rust_core`: its definition, its state (the glue's objects and
// PanicException, the exception of internal faults), the exec slot that adds
// the three functions and __all__, and the lookup through which the entry
// points find their module. PyInit__rust_core is the only exported symbol.
#include "py_ref.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "args.h"
#include "core_state.h"
#include "fit.h"

namespace velmar::binding {
namespace {

// Qualified name of the owner type of result arrays.
constexpr const char* kOwnerTypeName = "_rust_core.PySliceContainer";

// PanicException of the module, made at first need. Borrowed from the state;
// nullptr with an exception set if it cannot be made.
PyObject* panic_exception(CoreState& st) {
  if (st.panic_exception == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc(  // new
        "_rust_core.PanicException",
        "Raised when native code called from Python fails.\n\n"
        "Like SystemExit, it derives from BaseException rather than "
        "Exception, so that it is usually not caught and propagates to the "
        "top, ending the interpreter.",
        PyExc_BaseException, nullptr);
    if (type == nullptr) return nullptr;
    // Making the class may run Python code and so let another thread in
    // first; keep whichever class was stored first.
    if (st.panic_exception == nullptr) {
      st.panic_exception = type;
    } else {
      PyRef discard = PyRef::steal(type);
    }
  }
  return st.panic_exception;
}

// ---- the module instances of an interpreter ---------------------------------
//
// The entry points are static functions (their __self__ is None), and CPython
// calls those with a null self: they cannot be told which module instance
// they belong to. So each exec slot appends a weak reference to its module to
// a list in the interpreter's own dictionary, and an entry point called
// without its module takes the newest module of that list still alive.
// Interpreters never share an object this way; two instances in one
// interpreter (the module made again from its spec) share the newer one's.

constexpr const char* kInstancesKey = "velmar.binding._rust_core.instances";

// The interpreter's list of weak references to its modules, made when
// `create` is set; borrowed from the dictionary, which nothing else writes
// under this key. nullptr with an exception set, or without one when the
// list does not exist yet.
PyObject* instance_list(PyObject* dict, bool create) {
  PyRef key = PyRef::steal(PyUnicode_FromString(kInstancesKey));
  if (!key) return nullptr;
  PyObject* list = PyDict_GetItemWithError(dict, key.get());  // borrowed
  if (list == nullptr) {
    if (PyErr_Occurred() || !create) return nullptr;
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyDict_SetItem(dict, key.get(), fresh.get()) < 0) {
      return nullptr;
    }
    list = fresh.get();  // the dictionary keeps it
  }
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_SystemError, "_rust_core: bad list of modules");
    return nullptr;
  }
  return list;
}

// The object of a weak reference: empty without an exception when it is
// gone, empty with one on failure.
PyRef weak_target(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj = nullptr;
  if (PyWeakref_GetRef(ref, &obj) < 0) return {};
  return PyRef::steal(obj);  // new, or nullptr when gone
#else
  PyObject* obj = PyWeakref_GetObject(ref);  // borrowed; None when gone
  if (obj == nullptr || obj == Py_None) return {};
  return PyRef::borrow(obj);
#endif
}

bool register_instance(PyObject* module) {
  PyObject* dict = interpreter_dict();  // borrowed
  if (dict == nullptr) return true;     // the entry points get their module
  PyObject* list = instance_list(dict, true);
  if (list == nullptr) return false;
  // Modules made and dropped again leave dead references behind.
  for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;) {
    PyRef alive = weak_target(PyList_GET_ITEM(list, i));
    if (PyErr_Occurred()) return false;
    if (!alive && PyList_SetSlice(list, i, i + 1, nullptr) < 0) return false;
  }
  PyRef ref = PyRef::steal(PyWeakref_NewRef(module, nullptr));
  return ref && PyList_Append(list, ref.get()) == 0;  // not stolen
}

// ---- functions, exec slot, definition ---------------------------------------

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
bool add_function(CoreState& st, PyObject* module, PyMethodDef* def) {
  PyObject* dict = PyModule_GetDict(module);                       // borrowed
  PyObject* module_name = PyDict_GetItemString(dict, "__name__");  // borrowed
  if (module_name == nullptr || !PyUnicode_Check(module_name)) {
    raise_not_instance(st.glue, module_name == nullptr ? Py_None : module_name,
                       "str");
    return false;
  }
  PyRef function =
      PyRef::steal(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_not_instance(st.glue, name.get(), "str");
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
    raise_not_instance(st.glue, all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return false;  // not stolen
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

int module_exec(PyObject* module) {
  return guarded(module, [&]() -> int {
    // The interpreter made the module with its state (m_size), zeroed.
    auto* st = static_cast<CoreState*>(PyModule_GetState(module));
    if (st == nullptr) return -1;  // not a module: SystemError set
    st->glue.owner_type_name = kOwnerTypeName;
    if (!register_instance(module)) return -1;
    for (PyMethodDef* def : {&fit_dense_def, &fit_csr_def, &fit_adj_list_def}) {
      if (!add_function(*st, module, def)) return -1;
    }
    return 0;
  });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  auto* st = static_cast<CoreState*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  Py_VISIT(st->panic_exception);
  return visit_glue_state(st->glue, visit, arg);
}

int module_clear(PyObject* module) {
  auto* st = static_cast<CoreState*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  clear_glue_state(st->glue);
  PyRef drop = PyRef::steal(std::exchange(st->panic_exception, nullptr));
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_rust_core",
    "",  // an empty docstring, not None
    static_cast<Py_ssize_t>(sizeof(CoreState)),
    nullptr,  // functions are added by the exec slot
    module_slots,
    &module_traverse,
    &module_clear,
    &module_free,
};

}  // namespace

CoreState& core_state(PyObject* module) noexcept {
  return *static_cast<CoreState*>(PyModule_GetState(module));
}

PyRef entry_module(PyObject* self) {
  if (self != nullptr) return PyRef::borrow(self);
  PyObject* dict = interpreter_dict();  // borrowed
  PyObject* list = dict != nullptr ? instance_list(dict, false) : nullptr;
  if (list == nullptr && PyErr_Occurred()) return {};
  // The caller's own module is in the list: its functions keep it alive.
  for (Py_ssize_t i = list != nullptr ? PyList_GET_SIZE(list) : 0; i-- > 0;) {
    PyRef module = weak_target(PyList_GET_ITEM(list, i));
    if (module || PyErr_Occurred()) return module;
  }
  PyErr_SetString(PyExc_SystemError,
                  "_rust_core: no module found in this interpreter");
  return {};
}

// Writes the diagnostic and raises the PanicException of the module the
// failing call belongs to. The fixed text of abort_at_boundary, shared by
// the whole process, is left for the one case where no Python object may
// be touched any more: raising itself threw.
void raise_internal_fault(PyObject* module, const char* message) noexcept {
  try {
    std::fprintf(stderr, "_rust_core: internal fault in native code: %s\n",
                 message);
    std::fflush(stderr);
    // Whatever the body left pending is replaced, and finding the module
    // must not see it.
    PyErr_Clear();
    PyRef owner = entry_module(module);
    if (!owner) return;  // its exception is what the call raises
    PyObject* type = panic_exception(core_state(owner.get()));  // borrowed
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
