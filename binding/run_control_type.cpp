// The RunControl type of `velmar._engine`: the cancellation flag and the
// progress counters of one run, which another thread may set or read while
// the run goes on with the GIL released.
#include <atomic>

#include "args.h"
#include "engine_state.h"

namespace velmar::binding::engine {
namespace {

struct ControlObject {
  PyObject ob_base;  // PyObject_HEAD
  RunControl* control;
};

PyObject* control_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  // tp_new gets the type, not the module; the module's internal fault needs
  // none (engine_module.cpp).
  return guarded(nullptr, [&]() -> PyObject* {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs))) {
      PyErr_SetString(PyExc_TypeError, "RunControl() takes no arguments");
      return nullptr;
    }
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    reinterpret_cast<ControlObject*>(obj.get())->control = new RunControl;
    return obj.release();
  });
}

void control_dealloc(PyObject* self) {
  // As for every heap type: the type goes after tp_free.
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  delete reinterpret_cast<ControlObject*>(self)->control;
  auto free_fn =
      reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free_fn(self);
}

PyObject* control_cancel(PyObject* self, PyObject*) {
  control_of(self).cancel.raised.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* control_progress(PyObject* self, PyObject*) {
  const RunControl& c = control_of(self);
  return Py_BuildValue(
      "(KK)",
      static_cast<unsigned long long>(c.done.load(std::memory_order_relaxed)),
      static_cast<unsigned long long>(c.total.load(std::memory_order_relaxed)));
}

PyMethodDef control_methods[] = {
    {"cancel", &control_cancel, METH_NOARGS,
     "cancel()\n--\n\nAsk the run to stop; it ends within a few milliseconds "
     "of work and raises Cancelled. Safe from any thread."},
    {"progress", &control_progress, METH_NOARGS,
     "progress()\n--\n\n(done, total) units of work: one per column block "
     "and step."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot control_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&control_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&control_dealloc)},
    {Py_tp_methods, control_methods},
    {Py_tp_doc,
     const_cast<char*>("RunControl()\n--\n\nCancellation flag and progress "
                       "counters of one embed call.")},
    {0, nullptr},
};

}  // namespace

PyTypeObject* make_control_type() {
  PyType_Spec spec = {"velmar._engine.RunControl",
                      static_cast<int>(sizeof(ControlObject)), 0,
                      Py_TPFLAGS_DEFAULT, control_slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));  // new
}

RunControl& control_of(PyObject* control) {
  return *reinterpret_cast<ControlObject*>(control)->control;
}

bool control_arg(EngineState* st, PyObject* slot, PyRef& control) {
  if (slot == nullptr || slot == Py_None) return true;
  if (!PyObject_TypeCheck(slot, st->control_type)) {
    raise_not_instance(st->glue, slot, "RunControl");
    return false;
  }
  control = PyRef::borrow(slot);
  return true;
}

}  // namespace velmar::binding::engine
