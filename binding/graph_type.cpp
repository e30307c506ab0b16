// The Graph type of `velmar._engine`: a validated compact graph, built from
// CSR arrays or a view of compact arrays the caller keeps (memory-mapped ones
// included). Read-only; only build_graph and open_graph make one.
#include <cstdint>
#include <memory>
#include <utility>

#include "engine_state.h"
#include "numpy_api.h"

namespace velmar::binding::engine {
namespace {

struct GraphObject {
  PyObject ob_base;  // PyObject_HEAD
  GraphHolder* holder;
};

void graph_dealloc(PyObject* self) {
  // Instances of a heap type hold a reference to it; drop it only after
  // tp_free, which still reads the type.
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  delete reinterpret_cast<GraphObject*>(self)->holder;
  auto free_fn =
      reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free_fn(self);
}

PyObject* graph_num_nodes(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(view_of(self).num_nodes());
}
PyObject* graph_num_entries(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(view_of(self).num_entries());
}

// A read-only 1-D array over graph memory, kept alive by the graph.
PyRef graph_array(PyObject* graph, int type_num, const void* data,
                  std::uint64_t count) {
  alignas(16) static const std::uint64_t kEmpty[1] = {0};
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  PyRef array = PyRef::steal(PyArray_New(
      &PyArray_Type, 1, dims, type_num, nullptr,
      const_cast<void*>(data != nullptr ? data : kEmpty), 0, 0, nullptr));
  if (!array) return array;
  PyRef base = PyRef::borrow(graph);
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                            base.release() /* stolen, even on failure */) < 0) {
    return PyRef();
  }
  return array;
}

PyObject* graph_arrays(PyObject* self, PyObject*) {
  // A method gets its instance, not the module; the module's internal fault
  // needs none (engine_module.cpp).
  return guarded(nullptr, [&]() -> PyObject* {
    ensure_numpy_api();
    const GraphView& v = view_of(self);
    PyRef rp = graph_array(self, NPY_INT64, v.row_ptrs(), v.num_nodes() + 1);
    if (!rp) return nullptr;
    PyRef cols =
        v.narrow_cols() != nullptr || v.wide_cols() == nullptr
            ? graph_array(self, NPY_UINT32, v.narrow_cols(), v.num_entries())
            : graph_array(self, NPY_INT64, v.wide_cols(), v.num_entries());
    if (!cols) return nullptr;
    PyRef scales = graph_array(self, NPY_FLOAT32, v.scales(), v.num_entries());
    if (!scales) return nullptr;
    return PyTuple_Pack(3, rp.get(), cols.get(), scales.get());
  });
}

PyObject* graph_values(PyObject* self, PyObject*) {
  return guarded(nullptr, [&]() -> PyObject* {
    ensure_numpy_api();
    const GraphHolder& h = *reinterpret_cast<GraphObject*>(self)->holder;
    const double* values = h.values;
    if (values == nullptr) Py_RETURN_NONE;
    return graph_array(self, NPY_FLOAT64, values, h.view.num_entries())
        .release();
  });
}

// Bytes of the arrays a run reads: row pointers, columns, scales and the
// row map.
PyObject* graph_nbytes(PyObject* self, void*) {
  const GraphView& v = view_of(self);
  const std::uint64_t index = v.wide_cols() != nullptr ? 8 : 4;
  const std::uint64_t bytes = 8 * (v.num_nodes() + 1) +
                              (index + 4) * v.num_entries() +
                              (v.row_map() != nullptr ? 8 * v.num_nodes() : 0);
  return PyLong_FromUnsignedLongLong(bytes);
}

PyGetSetDef graph_getset[] = {
    {"num_nodes", &graph_num_nodes, nullptr, "Number of nodes.", nullptr},
    {"num_entries", &graph_num_entries, nullptr, "Number of stored entries.",
     nullptr},
    {"nbytes", &graph_nbytes, nullptr,
     "Bytes of the arrays an embedding reads (row pointers, columns, scales, "
     "row map).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef graph_methods[] = {
    {"arrays", &graph_arrays, METH_NOARGS,
     "arrays()\n--\n\nThe compact arrays (row_ptrs int64, col_indices uint32 "
     "or int64, scales float32) as read-only NumPy arrays over the graph's "
     "memory, in the form open_graph accepts."},
    {"values", &graph_values, METH_NOARGS,
     "values()\n--\n\nEach entry's float64 weight (read-only), when the graph "
     "was built with keep_values=True; otherwise None."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&graph_dealloc)},
    {Py_tp_getset, graph_getset},
    {Py_tp_methods, graph_methods},
    {Py_tp_doc,
     const_cast<char*>("A validated compact graph, made by build_graph or "
                       "open_graph; read-only.")},
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* make_graph_type() {
  PyType_Spec spec = {"velmar._engine.Graph",
                      static_cast<int>(sizeof(GraphObject)), 0,
                      kInternalTypeFlags, graph_slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));  // new
}

PyObject* new_graph(EngineState* st, std::unique_ptr<GraphHolder> holder) {
  PyRef obj = PyRef::steal(st->graph_type->tp_alloc(st->graph_type, 0));
  if (!obj) return nullptr;
  reinterpret_cast<GraphObject*>(obj.get())->holder = holder.release();
  return obj.release();
}

const GraphView& view_of(PyObject* graph) {
  return reinterpret_cast<GraphObject*>(graph)->holder->view;
}

const double* values_of(PyObject* graph) {
  return reinterpret_cast<GraphObject*>(graph)->holder->values;
}

}  // namespace velmar::binding::engine
