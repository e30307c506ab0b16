// embed of `velmar._engine`: any column range of the embedding, block by
// block, into a new array or into caller memory (a memory-mapped file, a
// slice of a wider array), with the quality options and cancellation.
#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine_args.h"
#include "numpy_api.h"
#include "result_array.h"
#include "rng.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kEmbedParams[] = {
    "graph",   "dim",     "weights",
    "seed",    "columns", "block",
    "out",     "control", "normalization_strength",
    "step_normalize", "features", "feature_dim",
    "row_offset", "row_map"};
constexpr CallSpec kEmbed{"embed", kEmbedParams, 3};

// The columns argument at `slot`: a tuple (j0, j1) with 0 <= j0 < j1 <= dim;
// all columns when omitted or None.
bool column_range(PyObject* slot, std::uint64_t dim, std::uint64_t& j0,
                  std::uint64_t& j1) {
  j0 = 0;
  j1 = dim;
  if (is_given(slot)) {
    if (!PyTuple_Check(slot) || PyTuple_GET_SIZE(slot) != 2) {
      PyErr_SetString(PyExc_TypeError, "columns must be a tuple (j0, j1)");
      return false;
    }
    // Items borrowed from the tuple, which the caller keeps alive.
    j0 = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(slot, 0));
    if (j0 == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
      return false;
    }
    j1 = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(slot, 1));
    if (j1 == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
      return false;
    }
  }
  if (!(j0 < j1 && j1 <= dim)) {
    PyErr_Format(PyExc_ValueError,
                 "columns must satisfy 0 <= j0 < j1 <= dim (%llu), got "
                 "(%llu, %llu)",
                 static_cast<unsigned long long>(dim),
                 static_cast<unsigned long long>(j0),
                 static_cast<unsigned long long>(j1));
    return false;
  }
  return true;
}

// The out argument: a writeable float32 (n, columns) array with contiguous
// rows and a non-negative row stride, which `target` then points into. A new
// reference to it.
PyRef caller_output(PyObject* obj, std::uint64_t n, std::uint64_t columns,
                    OutputBlock& target) {
  PyRef out = plain_array(obj, "out", {{NPY_FLOAT32, {}}}, nullptr, 2);
  if (!out) return out;
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
    return PyRef();
  }
  if (!PyArray_ISWRITEABLE(arr) || !PyArray_ISALIGNED(arr) ||
      (columns > 1 && strides[1] != sizeof(float)) ||
      (n > 1 && (strides[0] < 0 || strides[0] % sizeof(float) != 0))) {
    PyErr_SetString(PyExc_ValueError,
                    "out must be writeable, aligned, with contiguous rows "
                    "and a non-negative row stride");
    return PyRef();
  }
  target.data = static_cast<float*>(PyArray_DATA(arr));
  target.row_stride =
      n > 1 ? static_cast<std::uint64_t>(strides[0]) / sizeof(float) : columns;
  return out;
}

}  // namespace

PyObject* embed(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kEmbedParams)> slot{};  // borrowed
    if (!parse_args(kEmbed, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kEmbed, slot};
    if (!PyObject_TypeCheck(slot[0], st->graph_type)) {
      raise_not_instance(st->glue, slot[0], "Graph");
      return nullptr;
    }
    PyRef graph = PyRef::borrow(slot[0]);
    auto dim = in.u64(1);
    if (!dim) return nullptr;
    auto weights = in.floats(2);
    if (!weights) return nullptr;
    auto seed = in.seed(3);
    if (!seed) return nullptr;
    std::uint64_t j0 = 0, j1 = 0;
    if (!column_range(slot[4], *dim, j0, j1)) return nullptr;
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
      out = caller_output(slot[6], n, columns, target);
      if (!out) return nullptr;
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
    if (!control_arg(st, slot[7], control)) return nullptr;
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
    return wrap_result(st->glue, DenseMatrix{std::move(*owned), n, columns});
  });
}

}  // namespace velmar::binding::engine
