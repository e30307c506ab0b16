// The Python objects the shared glue keeps for one module instance: interned
// attribute names and the result owner type. Each module embeds a GlueState
// in its module state and passes it to the glue; nothing the glue creates
// lives in a C++ global, so module instances and interpreters share none.
#pragma once

#include "py_ref.h"

#include <initializer_list>
#include <utility>

namespace velmar::binding {

// Lives in module state: zeroed memory that the interpreter allocates, so
// plain pointers, released by clear_glue_state (m_clear). Every object is
// created at first use with the GIL held, and again if a clear dropped it.
struct GlueState {
  // Interned attribute names; fresh name objects on every lookup would also
  // pile up in the interpreter's type-attribute cache.
  PyObject* name_qualname;
  PyObject* name_module;
  PyObject* name_name;
  PyObject* name_bool;
  PyObject* name_add_note;
  // The qualified name of the result owner type (static text, set by the
  // module's exec slot) and the type itself (result_array.cpp).
  const char* owner_type_name;
  PyTypeObject* owner_type;
};

// For a module's m_traverse and m_clear.
inline int visit_glue_state(const GlueState& glue, visitproc visit, void* arg) {
  Py_VISIT(glue.name_qualname);
  Py_VISIT(glue.name_module);
  Py_VISIT(glue.name_name);
  Py_VISIT(glue.name_bool);
  Py_VISIT(glue.name_add_note);
  Py_VISIT(glue.owner_type);
  return 0;
}

inline void clear_glue_state(GlueState& glue) {
  for (PyObject** slot :
       {&glue.name_qualname, &glue.name_module, &glue.name_name,
        &glue.name_bool, &glue.name_add_note}) {
    PyRef drop = PyRef::steal(std::exchange(*slot, nullptr));
  }
  PyRef drop = PyRef::steal(
      reinterpret_cast<PyObject*>(std::exchange(glue.owner_type, nullptr)));
}

}  // namespace velmar::binding
