// The module `velmar._engine`: the package's own entry points over the core.
// A Graph is the validated compact graph (built from CSR arrays, or a view of
// compact arrays the caller keeps, memory-mapped ones included); embed writes
// any column range of the embedding into a new array or into caller memory;
// a RunControl lets another thread cancel a run and read its progress. The
// worker pool is the module's own and can be resized between calls.
//
// Module state (multi-phase initialisation) holds the types, the Cancelled
// exception and the pool; nothing lives in C++ globals.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "cpu_count.h"
#include "engine.h"
#include "graph.h"
#include "numpy_api.h"
#include "pool.h"
#include "result_array.h"
#include "rng.h"
#include "tuning.h"

namespace velmar::binding {

extern const char* const kResultOwnerTypeName;
const char* const kResultOwnerTypeName = "velmar._engine.BufferOwner";

namespace {

// The pool and its size; replaced whole on resize. A run holds its own
// reference, so a resize during a run frees the old pool when that run ends.
struct PoolSlot {
  std::mutex mutex;
  std::shared_ptr<WorkerPool> pool;
  std::size_t threads = 0;  // 0: the default count, taken when first needed

  std::shared_ptr<WorkerPool> get() {
    std::lock_guard lock(mutex);
    // A pool inherited through fork() has no threads; make a new one.
    if (!pool || !pool->usable()) {
      pool = std::make_shared<WorkerPool>(
          threads != 0 ? threads : detail::default_thread_count());
    }
    return pool;
  }
  void resize(std::size_t count) {
    std::lock_guard lock(mutex);
    threads = count;
    if (pool && pool->size() != count) pool.reset();
  }
  std::size_t size() {
    std::lock_guard lock(mutex);
    return threads != 0 ? threads : detail::default_thread_count();
  }
};

struct EngineState {
  PyTypeObject* graph_type;
  PyTypeObject* control_type;
  PyObject* cancelled;
  PoolSlot* pool;
};

EngineState* state_of(PyObject* module) {
  return static_cast<EngineState*>(PyModule_GetState(module));
}

// ---- Graph ------------------------------------------------------------------

struct GraphHolder {
  std::optional<CompactGraph> owned;
  GraphView view;
  std::vector<PyRef> keep;  // caller arrays the view borrows
};

struct GraphObject {
  PyObject ob_base;
  GraphHolder* holder;
};

void graph_dealloc(PyObject* self) {
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  delete reinterpret_cast<GraphObject*>(self)->holder;
  auto free_fn =
      reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free_fn(self);
}

const GraphView& view_of(PyObject* graph) {
  return reinterpret_cast<GraphObject*>(graph)->holder->view;
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
                            base.release() /* stolen, even on failure */) <
      0) {
    return PyRef();
  }
  return array;
}

PyObject* graph_arrays(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    ensure_numpy_api();
    const GraphView& v = view_of(self);
    PyRef rp = graph_array(self, NPY_INT64, v.row_ptrs(), v.num_nodes() + 1);
    if (!rp) return nullptr;
    PyRef cols = v.narrow_cols() != nullptr || v.wide_cols() == nullptr
                     ? graph_array(self, NPY_UINT32, v.narrow_cols(),
                                   v.num_entries())
                     : graph_array(self, NPY_INT64, v.wide_cols(),
                                   v.num_entries());
    if (!cols) return nullptr;
    PyRef scales =
        graph_array(self, NPY_FLOAT32, v.scales(), v.num_entries());
    if (!scales) return nullptr;
    return PyTuple_Pack(3, rp.get(), cols.get(), scales.get());
  });
}

PyGetSetDef graph_getset[] = {
    {"num_nodes", &graph_num_nodes, nullptr, "Number of nodes.", nullptr},
    {"num_entries", &graph_num_entries, nullptr, "Number of stored entries.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef graph_methods[] = {
    {"arrays", &graph_arrays, METH_NOARGS,
     "arrays()\n--\n\nThe compact arrays (row_ptrs int64, col_indices uint32 "
     "or int64, scales float32) as read-only NumPy arrays over the graph's "
     "memory, in the form open_graph accepts."},
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

PyType_Spec graph_spec = {"velmar._engine.Graph",
                          static_cast<int>(sizeof(GraphObject)), 0,
                          kInternalTypeFlags, graph_slots};

PyObject* new_graph(EngineState* st, std::unique_ptr<GraphHolder> holder) {
  PyRef obj = PyRef::steal(st->graph_type->tp_alloc(st->graph_type, 0));
  if (!obj) return nullptr;
  reinterpret_cast<GraphObject*>(obj.get())->holder = holder.release();
  return obj.release();
}

// ---- RunControl -------------------------------------------------------------

struct ControlObject {
  PyObject ob_base;
  RunControl* control;
};

RunControl& control_of(PyObject* obj) {
  return *reinterpret_cast<ControlObject*>(obj)->control;
}

PyObject* control_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
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
  return Py_BuildValue("(KK)",
                       static_cast<unsigned long long>(
                           c.done.load(std::memory_order_relaxed)),
                       static_cast<unsigned long long>(
                           c.total.load(std::memory_order_relaxed)));
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

PyType_Spec control_spec = {"velmar._engine.RunControl",
                            static_cast<int>(sizeof(ControlObject)), 0,
                            Py_TPFLAGS_DEFAULT, control_slots};

// ---- argument helpers -------------------------------------------------------

bool is_given(PyObject* slot) { return slot != nullptr && slot != Py_None; }

struct ArrayKind {
  int type_num;
  IndexType index;
};

// A 1-D, aligned, C-contiguous, native-order NumPy array whose dtype is one of
// `kinds` (read-only arrays accepted); its position in `kinds` is stored.
PyRef plain_array(PyObject* obj, const char* name,
                  std::initializer_list<ArrayKind> kinds, std::size_t* which,
                  int ndim = 1) {
  ensure_numpy_api();
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a NumPy array, got %s", name,
                 Py_TYPE(obj)->tp_name);
    return PyRef();
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  std::size_t k = 0;
  for (const ArrayKind& kind : kinds) {
    if (PyArray_EquivTypenums(PyArray_TYPE(arr), kind.type_num) &&
        PyArray_ISNOTSWAPPED(arr)) {
      break;
    }
    ++k;
  }
  if (k == kinds.size()) {
    PyErr_Format(PyExc_TypeError, "%s has an unsupported dtype", name);
    return PyRef();
  }
  if (which != nullptr) *which = k;
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_ValueError, "%s must have %d dimension(s), got %d",
                 name, ndim, PyArray_NDIM(arr));
    return PyRef();
  }
  if (ndim == 1 && PyArray_SIZE(arr) != 0 &&
      (!PyArray_ISALIGNED(arr) || !PyArray_IS_C_CONTIGUOUS(arr))) {
    PyErr_Format(PyExc_ValueError, "%s must be contiguous and aligned", name);
    return PyRef();
  }
  return PyRef::borrow(obj);
}

std::uint64_t length(const PyRef& a) {
  return static_cast<std::uint64_t>(
      PyArray_SIZE(reinterpret_cast<PyArrayObject*>(a.get())));
}

const void* data_of(const PyRef& a) {
  return PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get()));
}

// Sets the exception of a core error: Cancelled, MemoryError for a refused
// allocation, ValueError otherwise.
void set_error(EngineState* st, const VelmarError& e) {
  if (e.is_cancelled()) {
    PyErr_SetString(st->cancelled, "the run was cancelled");
  } else if (std::holds_alternative<OutOfMemory>(e.kind)) {
    const std::string text = render(e);
    PyErr_SetString(PyExc_MemoryError, text.c_str());
  } else {
    set_engine_error(e);
  }
}

std::optional<std::uint64_t> optional_u64(Converter& in, PyObject* slot,
                                          std::size_t i, std::uint64_t dflt) {
  if (!is_given(slot)) return dflt;
  return in.u64(i);
}

std::optional<bool> optional_bool(Converter& in, PyObject* slot,
                                  std::size_t i) {
  if (!is_given(slot)) return false;
  return in.boolean(i);
}

// A finite float, 0.0 when omitted.
std::optional<double> finite_double(PyObject* slot, const char* name) {
  if (!is_given(slot)) return 0.0;
  const double v = PyFloat_AsDouble(slot);
  if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
  if (!std::isfinite(v)) {
    PyErr_Format(PyExc_ValueError, "%s must be finite, got %R", name, slot);
    return std::nullopt;
  }
  return v;
}

// The features argument of embed: a 2-D float32 array with contiguous rows,
// or a tuple (row_ptrs int64, col_indices int32/int64, values float32,
// num_features) of CSR arrays. The arrays are kept in `keep`.
bool feature_input(PyObject* obj, FeatureInput& x, std::uint64_t n,
                   std::vector<PyRef>& keep) {
  ensure_numpy_api();
  if (PyTuple_Check(obj)) {
    if (PyTuple_GET_SIZE(obj) != 4) {
      PyErr_SetString(PyExc_TypeError,
                      "features must be a float32 array or a tuple "
                      "(row_ptrs, col_indices, values, num_features)");
      return false;
    }
    // Items borrowed from the tuple, which the caller keeps alive.
    PyRef rp = plain_array(PyTuple_GET_ITEM(obj, 0), "features row_ptrs",
                           {{NPY_INT64, IndexType::kInt64}}, nullptr);
    if (!rp) return false;
    std::size_t col_kind = 0;
    PyRef cols = plain_array(PyTuple_GET_ITEM(obj, 1), "features col_indices",
                             {{NPY_INT32, IndexType::kInt32},
                              {NPY_INT64, IndexType::kInt64}},
                             &col_kind);
    if (!cols) return false;
    PyRef vals = plain_array(PyTuple_GET_ITEM(obj, 2), "features values",
                             {{NPY_FLOAT32, {}}}, nullptr);
    if (!vals) return false;
    const unsigned long long f =
        PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(obj, 3));
    if (f == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      return false;
    }
    if (length(rp) != n + 1 || length(cols) != length(vals)) {
      PyErr_Format(PyExc_ValueError,
                   "features must have %llu row pointers and as many columns "
                   "as values",
                   static_cast<unsigned long long>(n + 1));
      return false;
    }
    x.num_features = f;
    x.row_ptrs = static_cast<const std::int64_t*>(data_of(rp));
    x.col_indices = data_of(cols);
    x.col_type = col_kind == 0 ? IndexType::kInt32 : IndexType::kInt64;
    x.values = static_cast<const float*>(data_of(vals));
    x.num_entries = length(vals);
    keep.push_back(std::move(rp));
    keep.push_back(std::move(cols));
    keep.push_back(std::move(vals));
    return true;
  }
  PyRef dense = plain_array(obj, "features", {{NPY_FLOAT32, {}}}, nullptr, 2);
  if (!dense) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(dense.get());
  const npy_intp* shape = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  if (static_cast<std::uint64_t>(shape[0]) != n) {
    PyErr_Format(PyExc_ValueError, "features must have %llu rows, got %lld",
                 static_cast<unsigned long long>(n),
                 static_cast<long long>(shape[0]));
    return false;
  }
  if (!PyArray_ISALIGNED(arr) ||
      (shape[1] > 1 && strides[1] != sizeof(float)) ||
      (n > 1 && (strides[0] < 0 || strides[0] % sizeof(float) != 0))) {
    PyErr_SetString(PyExc_ValueError,
                    "features must be aligned, with contiguous rows and a "
                    "non-negative row stride");
    return false;
  }
  x.num_features = static_cast<std::uint64_t>(shape[1]);
  x.dense = static_cast<const float*>(PyArray_DATA(arr));
  x.dense_stride = n > 1 ? static_cast<std::uint64_t>(strides[0]) /
                               sizeof(float)
                         : x.num_features;
  keep.push_back(std::move(dense));
  return true;
}

// ---- build_graph / open_graph -----------------------------------------------

constexpr std::string_view kBuildParams[] = {
    "row_ptrs", "col_indices", "values", "num_nodes", "undirected", "control"};
constexpr CallSpec kBuild{"build_graph", kBuildParams, 5};

constexpr ArrayKind kInt32{NPY_INT32, IndexType::kInt32};
constexpr ArrayKind kUInt32{NPY_UINT32, IndexType::kUInt32};
constexpr ArrayKind kInt64{NPY_INT64, IndexType::kInt64};

PyObject* build_graph(PyObject* module, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kBuildParams)> slot{};  // borrowed
    if (!parse_args(kBuild, args, nargs, kwnames, slot)) return nullptr;
    Converter in{kBuild, slot};
    std::size_t rp_kind = 0, col_kind = 0;
    PyRef rp = plain_array(slot[0], "row_ptrs", {kInt32, kInt64}, &rp_kind);
    if (!rp) return nullptr;
    PyRef cols = plain_array(slot[1], "col_indices", {kInt32, kUInt32, kInt64},
                             &col_kind);
    if (!cols) return nullptr;
    PyRef vals = plain_array(slot[2], "values", {{NPY_FLOAT64, {}}}, nullptr);
    if (!vals) return nullptr;
    auto n = in.u64(3);
    if (!n) return nullptr;
    auto undirected = in.boolean(4);
    if (!undirected) return nullptr;
    PyRef control;
    if (is_given(slot[5])) {
      if (!PyObject_TypeCheck(slot[5], st->control_type)) {
        raise_not_instance(slot[5], "RunControl");
        return nullptr;
      }
      control = PyRef::borrow(slot[5]);
    }
    if (length(rp) != *n + 1 || *n == UINT64_MAX) {
      PyErr_Format(PyExc_ValueError,
                   "row_ptrs must have num_nodes + 1 elements, got %llu",
                   static_cast<unsigned long long>(length(rp)));
      return nullptr;
    }
    if (length(cols) != length(vals)) {
      PyErr_SetString(PyExc_ValueError,
                      "col_indices and values must have the same length");
      return nullptr;
    }
    CsrInput input;
    input.row_ptrs = data_of(rp);
    input.row_ptr_type = rp_kind == 0 ? IndexType::kInt32 : IndexType::kInt64;
    input.col_indices = data_of(cols);
    input.col_type = std::data({kInt32, kUInt32, kInt64})[col_kind].index;
    input.values = static_cast<const double*>(data_of(vals));
    input.num_nodes = *n;
    input.num_entries = length(cols);
    const CancelFlag* cancel =
        control ? &control_of(control.get()).cancel : nullptr;
    std::shared_ptr<WorkerPool> pool = st->pool->get();
    auto outcome = without_gil([&] {
      PoolScope scope(*pool);
      return build_compact(input, *undirected, cancel);
    });
    if (!outcome.ok()) {
      set_error(st, outcome.error());
      return nullptr;
    }
    if (std::holds_alternative<UnsortedRows>(outcome.value())) Py_RETURN_NONE;
    auto& graph = std::get<CompactGraph>(outcome.value());
    auto holder = std::unique_ptr<GraphHolder>(
        new GraphHolder{std::nullopt, graph.view(), {}});
    holder->owned.emplace(std::move(graph));
    // A directed graph borrows the caller's row pointers and columns.
    if (!*undirected) {
      holder->keep.push_back(std::move(rp));
      holder->keep.push_back(std::move(cols));
    }
    return new_graph(st, std::move(holder));
  });
}

constexpr std::string_view kOpenParams[] = {"row_ptrs", "col_indices",
                                            "scales", "num_nodes"};
constexpr CallSpec kOpen{"open_graph", kOpenParams, 4};

PyObject* open_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kOpenParams)> slot{};  // borrowed
    if (!parse_args(kOpen, args, nargs, kwnames, slot)) return nullptr;
    Converter in{kOpen, slot};
    PyRef rp = plain_array(slot[0], "row_ptrs", {kInt64}, nullptr);
    if (!rp) return nullptr;
    std::size_t col_kind = 0;
    PyRef cols =
        plain_array(slot[1], "col_indices", {kUInt32, kInt64}, &col_kind);
    if (!cols) return nullptr;
    PyRef scales = plain_array(slot[2], "scales", {{NPY_FLOAT32, {}}}, nullptr);
    if (!scales) return nullptr;
    auto n = in.u64(3);
    if (!n) return nullptr;
    if (length(rp) != *n + 1 || *n == UINT64_MAX) {
      PyErr_Format(PyExc_ValueError,
                   "row_ptrs must have num_nodes + 1 elements, got %llu",
                   static_cast<unsigned long long>(length(rp)));
      return nullptr;
    }
    if (length(cols) != length(scales)) {
      PyErr_SetString(PyExc_ValueError,
                      "col_indices and scales must have the same length");
      return nullptr;
    }
    CompactInput input;
    input.row_ptrs = static_cast<const std::int64_t*>(data_of(rp));
    input.col_indices = data_of(cols);
    input.col_type = col_kind == 0 ? IndexType::kUInt32 : IndexType::kInt64;
    input.scales = static_cast<const float*>(data_of(scales));
    input.num_nodes = *n;
    input.num_entries = length(cols);
    std::shared_ptr<WorkerPool> pool = st->pool->get();
    auto view = without_gil([&] {
      PoolScope scope(*pool);
      return view_compact(input);
    });
    if (!view.ok()) {
      set_error(st, view.error());
      return nullptr;
    }
    auto holder = std::unique_ptr<GraphHolder>(
        new GraphHolder{std::nullopt, view.value(), {}});
    holder->keep.push_back(std::move(rp));
    holder->keep.push_back(std::move(cols));
    holder->keep.push_back(std::move(scales));
    return new_graph(st, std::move(holder));
  });
}

// ---- embed ------------------------------------------------------------------

constexpr std::string_view kEmbedParams[] = {
    "graph",   "dim",     "weights",
    "seed",    "columns", "block",
    "out",     "control", "normalization_strength",
    "step_normalize", "features", "feature_dim",
    "row_offset", "row_map"};
constexpr CallSpec kEmbed{"embed", kEmbedParams, 3};

PyObject* embed(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kEmbedParams)> slot{};  // borrowed
    if (!parse_args(kEmbed, args, nargs, kwnames, slot)) return nullptr;
    Converter in{kEmbed, slot};
    if (!PyObject_TypeCheck(slot[0], st->graph_type)) {
      raise_not_instance(slot[0], "Graph");
      return nullptr;
    }
    PyRef graph = PyRef::borrow(slot[0]);
    auto dim = in.u64(1);
    if (!dim) return nullptr;
    auto weights = in.floats(2);
    if (!weights) return nullptr;
    auto seed = in.seed(3);
    if (!seed) return nullptr;
    std::uint64_t j0 = 0, j1 = *dim;
    if (is_given(slot[4])) {
      if (!PyTuple_Check(slot[4]) || PyTuple_GET_SIZE(slot[4]) != 2) {
        PyErr_SetString(PyExc_TypeError, "columns must be a tuple (j0, j1)");
        return nullptr;
      }
      // Items borrowed from the tuple, which the caller keeps alive.
      j0 = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(slot[4], 0));
      if (j0 == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        return nullptr;
      }
      j1 = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(slot[4], 1));
      if (j1 == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        return nullptr;
      }
    }
    if (!(j0 < j1 && j1 <= *dim)) {
      PyErr_Format(PyExc_ValueError,
                   "columns must satisfy 0 <= j0 < j1 <= dim (%llu), got "
                   "(%llu, %llu)",
                   static_cast<unsigned long long>(*dim),
                   static_cast<unsigned long long>(j0),
                   static_cast<unsigned long long>(j1));
      return nullptr;
    }
    const std::uint64_t columns = j1 - j0;
    auto block = optional_u64(in, slot[5], 5, columns);
    if (!block) return nullptr;
    if (*block == 0) {
      PyErr_SetString(PyExc_ValueError, "block must be at least 1");
      return nullptr;
    }
    const GraphView& view = view_of(graph.get());
    const std::uint64_t n = view.num_nodes();

    PyRef out;
    OutputBlock target;
    std::optional<FloatBuffer> owned;
    if (is_given(slot[6])) {
      out = plain_array(slot[6], "out", {{NPY_FLOAT32, {}}}, nullptr, 2);
      if (!out) return nullptr;
      auto* arr = reinterpret_cast<PyArrayObject*>(out.get());
      const npy_intp* shape = PyArray_DIMS(arr);
      const npy_intp* strides = PyArray_STRIDES(arr);
      if (static_cast<std::uint64_t>(shape[0]) != n ||
          static_cast<std::uint64_t>(shape[1]) != columns) {
        PyErr_Format(PyExc_ValueError,
                     "out must have shape (%llu, %llu), got (%lld, %lld)",
                     static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(columns),
                     static_cast<long long>(shape[0]),
                     static_cast<long long>(shape[1]));
        return nullptr;
      }
      if (!PyArray_ISWRITEABLE(arr) || !PyArray_ISALIGNED(arr) ||
          (columns > 1 && strides[1] != sizeof(float)) ||
          (n > 1 && (strides[0] < 0 || strides[0] % sizeof(float) != 0))) {
        PyErr_SetString(PyExc_ValueError,
                        "out must be writeable, aligned, with contiguous rows "
                        "and a non-negative row stride");
        return nullptr;
      }
      target.data = static_cast<float*>(PyArray_DATA(arr));
      target.row_stride = n > 1 ? static_cast<std::uint64_t>(strides[0]) /
                                      sizeof(float)
                                : columns;
    } else {
      std::uint64_t count = 0;
      if (__builtin_mul_overflow(n, columns, &count)) {
        PyErr_SetString(PyExc_ValueError, "Shape mismatch: Capacity overflow");
        return nullptr;
      }
      auto buffer = FloatBuffer::allocate_zeroed(count);
      if (!buffer.ok()) {
        set_error(st, buffer.error());
        return nullptr;
      }
      owned.emplace(std::move(buffer).value());
      target.data = owned->data();
      target.row_stride = columns;
      target.zeroed = true;
    }
    PyRef control;
    if (is_given(slot[7])) {
      if (!PyObject_TypeCheck(slot[7], st->control_type)) {
        raise_not_instance(slot[7], "RunControl");
        return nullptr;
      }
      control = PyRef::borrow(slot[7]);
    }
    auto beta = finite_double(slot[8], "normalization_strength");
    if (!beta) return nullptr;
    auto step_normalize = optional_bool(in, slot[9], 9);
    if (!step_normalize) return nullptr;
    std::vector<PyRef> feature_arrays;
    FeatureInput features;
    if (is_given(slot[10])) {
      if (!feature_input(slot[10], features, n, feature_arrays)) {
        return nullptr;
      }
      if (!is_given(slot[11])) {
        PyErr_SetString(PyExc_TypeError, "features need feature_dim");
        return nullptr;
      }
      auto k = in.u64(11);
      if (!k) return nullptr;
      features.feature_dim = *k;
    }
    auto row_offset = optional_u64(in, slot[12], 12, 0);
    if (!row_offset) return nullptr;
    PyRef row_map;
    if (is_given(slot[13])) {
      row_map = plain_array(slot[13], "row_map", {{NPY_INT64, {}}}, nullptr);
      if (!row_map) return nullptr;
      if (length(row_map) != n) {
        PyErr_Format(PyExc_ValueError,
                     "row_map must have num_nodes (%llu) elements, got %llu",
                     static_cast<unsigned long long>(n),
                     static_cast<unsigned long long>(length(row_map)));
        return nullptr;
      }
    }
    EmbedSettings settings;
    settings.weights = *weights;
    settings.base_seed = *seed ? **seed : thread_rng_next_u64();
    settings.j0 = j0;
    settings.j1 = j1;
    settings.block = *block;
    settings.dim = *dim;
    settings.normalization_strength = *beta;
    settings.step_normalize = *step_normalize;
    settings.features = is_given(slot[10]) ? &features : nullptr;
    settings.row_offset = *row_offset;
    // Negative entries read as values >= 2^63, out of range: refused.
    settings.row_map =
        row_map ? static_cast<const std::uint64_t*>(data_of(row_map)) : nullptr;
    RunControl* ctl = control ? &control_of(control.get()) : nullptr;
    std::shared_ptr<WorkerPool> pool = st->pool->get();
    // The graph, the output and the control stay referenced until the run
    // returns: no other thread can free them meanwhile.
    const Status status = without_gil([&] {
      PoolScope scope(*pool);
      return embed_columns(view, settings, target, ctl);
    });
    if (!status.ok()) {
      set_error(st, status.error());
      return nullptr;
    }
    if (out) return out.release();
    return wrap_result(DenseMatrix{std::move(*owned), n, columns});
  });
}

// ---- memory plan, threads ---------------------------------------------------

constexpr std::string_view kPlanParams[] = {
    "num_nodes",    "num_entries",  "columns",        "block",
    "undirected",   "out_entries",  "result_owned",   "row_ptrs_32bit",
    "limit",        "scaled_rows",  "num_features",   "feature_dim",
    "input_copies", "one_block",    "reordered",      "opened_entries"};
constexpr CallSpec kPlan{"memory_plan", kPlanParams, 3};

PyObject* memory_plan(PyObject* module, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kPlanParams)> slot{};  // borrowed
    if (!parse_args(kPlan, args, nargs, kwnames, slot)) return nullptr;
    Converter in{kPlan, slot};
    auto n = in.u64(0);
    if (!n) return nullptr;
    auto nnz = in.u64(1);
    if (!nnz) return nullptr;
    auto columns = in.u64(2);
    if (!columns) return nullptr;
    // Without a block, the width that suits this machine for n nodes.
    auto block = optional_u64(in, slot[3], 3, preferred_block(*n, *columns));
    if (!block) return nullptr;
    auto undirected = in.boolean(4);
    if (!undirected) return nullptr;
    const std::uint64_t bound = *undirected ? 2 * *nnz : *nnz;
    auto out_entries = optional_u64(in, slot[5], 5, bound);
    if (!out_entries) return nullptr;
    auto result_owned = in.boolean(6);
    if (!result_owned) return nullptr;
    std::optional<bool> narrow_rp = false;
    if (slot[7] != nullptr) narrow_rp = in.boolean(7);
    if (!narrow_rp) return nullptr;
    CsrInput shape;
    shape.num_nodes = *n;
    shape.num_entries = *nnz;
    shape.row_ptr_type = *narrow_rp ? IndexType::kInt32 : IndexType::kInt64;
    OptionShape options;
    auto scaled = optional_bool(in, slot[9], 9);
    if (!scaled) return nullptr;
    options.scaled_rows = *scaled;
    auto f = optional_u64(in, slot[10], 10, 0);
    if (!f) return nullptr;
    options.num_features = *f;
    auto k = optional_u64(in, slot[11], 11, 0);
    if (!k) return nullptr;
    options.feature_dim = *k;
    auto copies = optional_u64(in, slot[12], 12, 0);
    if (!copies) return nullptr;
    options.input_copies = *copies;
    auto one_block = optional_bool(in, slot[13], 13);
    if (!one_block) return nullptr;
    auto reordered = optional_bool(in, slot[14], 14);
    if (!reordered) return nullptr;
    options.reordered = *reordered;
    auto opened = optional_u64(in, slot[15], 15, 0);
    if (!opened) return nullptr;
    options.opened_entries = *opened;
    const std::uint64_t workers = st->pool->size();
    // Step normalisation needs every column in one block: the block is all
    // of them or, when they do not fit the limit, none.
    std::uint64_t chosen = *one_block ? *columns : *block;
    if (is_given(slot[8])) {
      auto limit = in.u64(8);
      if (!limit) return nullptr;
      if (*one_block) {
        const MemoryPlan whole =
            plan_memory(shape, *undirected, *out_entries, *columns, *columns,
                        *result_owned, workers, options);
        chosen = whole.peak <= *limit ? *columns : 0;
      } else {
        // With a limit, `block` is the widest wanted.
        chosen = widest_block(shape, *undirected, *out_entries, *columns,
                              *result_owned, workers, *limit, *block, options);
      }
    }
    const std::uint64_t planned = chosen != 0 ? chosen
                                  : *one_block ? *columns
                                               : 1;
    const MemoryPlan plan =
        plan_memory(shape, *undirected, *out_entries, *columns, planned,
                    *result_owned, workers, options);
    return Py_BuildValue(
        "{sKsKsKsKsKsKsKsKsKsK}", "graph_build_peak",
        static_cast<unsigned long long>(plan.graph_build_peak), "graph",
        static_cast<unsigned long long>(plan.graph), "result",
        static_cast<unsigned long long>(plan.result), "working",
        static_cast<unsigned long long>(plan.working), "options",
        static_cast<unsigned long long>(plan.options), "inputs",
        static_cast<unsigned long long>(plan.inputs), "segments",
        static_cast<unsigned long long>(plan.segments), "peak",
        static_cast<unsigned long long>(plan.peak), "block",
        static_cast<unsigned long long>(chosen), "segment_rows",
        static_cast<unsigned long long>(segment_rows_for(
            *n, std::max(*out_entries, options.opened_entries), planned)));
  });
}

PyObject* set_num_threads(PyObject* module, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    const unsigned long long count = PyLong_AsUnsignedLongLong(arg);
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      return nullptr;
    }
    if (count == 0 || count > 4096) {
      PyErr_SetString(PyExc_ValueError,
                      "the number of threads must be between 1 and 4096");
      return nullptr;
    }
    state_of(module)->pool->resize(static_cast<std::size_t>(count));
    Py_RETURN_NONE;
  });
}

PyObject* get_num_threads(PyObject* module, PyObject*) {
  return guarded([&]() -> PyObject* {
    return PyLong_FromSize_t(state_of(module)->pool->size());
  });
}

template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef engine_methods[] = {
    {"build_graph", as_method(&build_graph), kFast,
     "build_graph(row_ptrs, col_indices, values, num_nodes, undirected, "
     "control=None)\n--\n\n"
     "Validate CSR arrays once and build the compact graph (of A + A^T when "
     "undirected). row_ptrs int32/int64, col_indices int32/uint32/int64, "
     "values float64, all 1-D and contiguous; they are read with the GIL "
     "released and must not change during the call. A directed graph keeps "
     "references to row_ptrs and col_indices and reads them later. Returns "
     "None when a row's columns do not strictly increase (sort the rows, "
     "merging duplicates, and call again)."},
    {"open_graph", as_method(&open_graph), kFast,
     "open_graph(row_ptrs, col_indices, scales, num_nodes)\n--\n\n"
     "A Graph over existing compact arrays, without a copy: row_ptrs int64 "
     "(num_nodes + 1), col_indices uint32 or int64, scales float32, each "
     "1-D and contiguous; read-only and memory-mapped arrays (np.load(..., "
     "mmap_mode='r')) are fine. Checks the structure once (O(n + nnz)) and "
     "keeps references to the arrays; their contents must not change while "
     "the graph is used. scales[k] is the factor of entry k: "
     "float32(weight) * (1.0f / float32(degree of its row))."},
    {"embed", as_method(&embed), kFast,
     "embed(graph, dim, weights, seed=None, columns=None, block=None, "
     "out=None, control=None, normalization_strength=0.0, "
     "step_normalize=False, features=None, feature_dim=None, "
     "row_offset=0, row_map=None)\n--\n\n"
     "Columns [j0, j1) of the dim-column embedding (columns=(j0, j1), "
     "default all), computed block columns at a time (default all at once) "
     "with two num_nodes x block float32 working matrices. The columns are "
     "bit-identical to the same columns of a full run with the same seed, "
     "for any block and thread count. Without out, returns a new "
     "(num_nodes, j1 - j0) float32 array; with out, writes into it and "
     "returns it: a float32 array of that shape, writeable, with contiguous "
     "rows and any non-negative row stride (a memory-mapped .npy, a slice of "
     "a wider array, a buffer for a Zarr chunk). out is written with the GIL "
     "released: nothing else may use it meanwhile. Raises Cancelled when "
     "control.cancel() is called, MemoryError when memory is refused. "
     "normalization_strength=beta scales row i of the initial matrix by "
     "float32(deg_i ** beta) (rows without entries unscaled); "
     "step_normalize=True scales every H_i, i >= 1, to unit row length and "
     "needs every column in one block; features (a 2-D float32 array with "
     "contiguous rows, or a tuple (row_ptrs int64, col_indices int32/int64, "
     "values float32, num_features) of sorted CSR arrays) fill the last "
     "feature_dim columns of the initial matrix with features @ R; "
     "row_offset seeds row i's generator as that of row row_offset + i; "
     "row_map (int64, num_nodes elements, a permutation) says which node "
     "each stored row of the graph is: row p is seeded, reads features and "
     "is written as node row_map[p]."},
    {"memory_plan", as_method(&memory_plan), kFast,
     "memory_plan(num_nodes, num_entries, columns, block=None, "
     "undirected=True, out_entries=None, result_owned=True, "
     "row_ptrs_32bit=False, limit=None, scaled_rows=False, num_features=0, "
     "feature_dim=0, input_copies=0, one_block=False, reordered=False, "
     "opened_entries=0)\n--\n\n"
     "The bytes a build_graph + embed run allocates: a dict with "
     "graph_build_peak, graph, result, working, options (row scales and the "
     "block of the feature projection), inputs (input_copies, the caller's "
     "copies held during the run), segments (the segmented graph, at most, "
     "and segment_rows, the rows per segment a run at that block takes; "
     "num_nodes or more: none), peak and block (with limit: the widest block up to `block` whose peak "
     "fits, 0 if none; with one_block, all columns or 0). Without block, "
     "the width that suits this machine for num_nodes nodes "
     "(VELMAR_BLOCK_COLUMNS forces one). reordered counts the third working "
     "matrix of a run with a row_map; opened_entries are the entries of a "
     "graph opened rather than built (open_graph), which its segments copy. "
     "PREFERRED_BLOCK is the width a run takes once its working matrices "
     "outgrow the cache."},
    {"set_num_threads", as_method(&set_num_threads), METH_O,
     "set_num_threads(n)\n--\n\nUse n worker threads from the next call "
     "on."},
    {"get_num_threads", as_method(&get_num_threads), METH_NOARGS,
     "get_num_threads()\n--\n\nThe number of worker threads calls use."},
    {nullptr, nullptr, 0, nullptr},
};

int engine_exec(PyObject* module) {
  return guarded([&]() -> int {
    EngineState* st = state_of(module);
    st->graph_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromSpec(&graph_spec));
    if (st->graph_type == nullptr) return -1;
    st->control_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromSpec(&control_spec));
    if (st->control_type == nullptr) return -1;
    st->cancelled = PyErr_NewExceptionWithDoc(
        "velmar._engine.Cancelled", "A run stopped by RunControl.cancel().",
        nullptr, nullptr);
    if (st->cancelled == nullptr) return -1;
    st->pool = new PoolSlot;
    for (auto [name, obj] :
         {std::pair{"Graph", reinterpret_cast<PyObject*>(st->graph_type)},
          std::pair{"RunControl",
                    reinterpret_cast<PyObject*>(st->control_type)},
          std::pair{"Cancelled", st->cancelled}}) {
      if (PyObject_SetAttrString(module, name, obj) < 0) return -1;
    }
    if (PyModule_AddIntConstant(module, "PREFERRED_BLOCK",
                                static_cast<long>(kMemoryBlock)) < 0) {
      return -1;
    }
    return 0;
  });
}

int engine_traverse(PyObject* module, visitproc visit, void* arg) {
  EngineState* st = state_of(module);
  if (st == nullptr) return 0;
  Py_VISIT(st->graph_type);
  Py_VISIT(st->control_type);
  Py_VISIT(st->cancelled);
  return 0;
}

int engine_clear(PyObject* module) {
  EngineState* st = state_of(module);
  if (st == nullptr) return 0;
  PyRef graph = PyRef::steal(reinterpret_cast<PyObject*>(st->graph_type));
  PyRef control = PyRef::steal(reinterpret_cast<PyObject*>(st->control_type));
  PyRef cancelled = PyRef::steal(st->cancelled);
  st->graph_type = nullptr;
  st->control_type = nullptr;
  st->cancelled = nullptr;
  return 0;
}

void engine_free(void* module) {
  engine_clear(static_cast<PyObject*>(module));
  EngineState* st = state_of(static_cast<PyObject*>(module));
  if (st != nullptr) {
    delete st->pool;
    st->pool = nullptr;
  }
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&engine_exec)},
    {0, nullptr},
};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT,
    "velmar._engine",
    "The package's engine: compact graphs, column blocks, cancellation.",
    static_cast<Py_ssize_t>(sizeof(EngineState)),
    engine_methods,
    engine_slots,
    &engine_traverse,
    &engine_clear,
    &engine_free,
};

}  // namespace

// The package's internal faults are plain SystemErrors with the message.
void raise_internal_fault(const char* message) noexcept {
  try {
    PyErr_Format(PyExc_SystemError, "velmar._engine: internal fault: %s",
                 message);
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace velmar::binding

PyMODINIT_FUNC PyInit__engine(void) {
  return PyModuleDef_Init(&velmar::binding::engine_def);
}
