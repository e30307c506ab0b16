// embed of `velmar._engine`: any column range of the embedding of a Graph
// with a run's Settings, block by block, into a new array or into caller
// memory (a memory-mapped file, a slice of a wider array), with cancellation;
// and check, which makes embed's checks of its inputs alone.
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
#include "spectral.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kEmbedParams[] = {"graph", "settings", "columns",
                                             "block", "out",      "control"};
constexpr CallSpec kEmbed{"embed", kEmbedParams, 2};
constexpr std::string_view kCheckParams[] = {"graph", "settings"};
constexpr CallSpec kCheck{"check", kCheckParams, 2};

// A run's graph and settings, checked against each other, as the engine
// takes them: `features` and `feature_arrays` must outlive `settings`.
// False with an exception set when they do not fit.
bool engine_settings(EngineState* st, PyObject* graph_obj,
                     PyObject* settings_obj, FeatureInput& features,
                     std::vector<PyRef>& feature_arrays,
                     EmbedSettings& settings) {
  if (!PyObject_TypeCheck(graph_obj, st->graph_type)) {
    raise_not_instance(st->glue, graph_obj, "Graph");
    return false;
  }
  if (!PyObject_TypeCheck(settings_obj, st->settings_type)) {
    raise_not_instance(st->glue, settings_obj, "Settings");
    return false;
  }
  const RunSettings& run = settings_of(settings_obj);
  const std::uint64_t n = view_of(graph_obj).num_nodes();
  if (run.features) {
    if (!feature_input(run.features.get(), features, n, feature_arrays)) {
      return false;
    }
    features.feature_dim = run.feature_dim;
  }
  if (run.degrees && length(run.degrees) != n) {
    PyErr_Format(PyExc_ValueError,
                 "degrees must have num_nodes (%llu) elements, got %llu",
                 static_cast<unsigned long long>(n),
                 static_cast<unsigned long long>(length(run.degrees)));
    return false;
  }
  settings.weights = run.weights;
  settings.base_seed = run.seed ? *run.seed : thread_rng_next_u64();
  settings.j1 = run.dim;
  settings.block = run.dim;
  settings.dim = run.dim;
  settings.normalization_strength = run.normalization_strength;
  settings.degrees =
      run.degrees ? static_cast<const std::uint64_t*>(data_of(run.degrees))
                  : nullptr;
  settings.step_normalize = run.step_normalize;
  settings.step_center = run.step_center;
  settings.features = run.features ? &features : nullptr;
  settings.row_offset = run.row_offset;
  settings.bound_weights = true;
  return true;
}

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
    PyErr_Format(
        PyExc_ValueError, "out must have shape (%llu, %llu), got (%lld, %lld)",
        static_cast<unsigned long long>(n),
        static_cast<unsigned long long>(columns),
        static_cast<long long>(shape[0]), static_cast<long long>(shape[1]));
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
    PyRef graph = PyRef::borrow(slot[0]);
    PyRef settings_obj = PyRef::borrow(slot[1]);
    std::vector<PyRef> feature_arrays;
    FeatureInput features;
    EmbedSettings settings;
    if (!engine_settings(st, graph.get(), settings_obj.get(), features,
                         feature_arrays, settings)) {
      return nullptr;
    }
    const RunSettings& run = settings_of(settings_obj.get());
    std::uint64_t j0 = 0, j1 = 0;
    if (!column_range(slot[2], run.dim, j0, j1)) return nullptr;
    const std::uint64_t columns = j1 - j0;
    if (run.spectral && columns != run.dim) {
      PyErr_SetString(PyExc_ValueError,
                      "the spectral method computes every column at once");
      return nullptr;
    }
    // The spectral method's block is that of its filter (0: this
    // machine's choice).
    auto block = optional_u64(in, slot[3], 3, run.spectral ? 0 : columns);
    if (!block) return nullptr;
    if (*block == 0 && (!run.spectral || is_given(slot[3]))) {
      PyErr_SetString(PyExc_ValueError, "block must be at least 1");
      return nullptr;
    }
    const GraphView& view = view_of(graph.get());
    const std::uint64_t n = view.num_nodes();
    PyRef control;
    if (!control_arg(st, slot[5], control)) return nullptr;
    RunControl* ctl = control ? &control_of(control.get()) : nullptr;
    std::shared_ptr<WorkerPool> pool = st->pool->get();
    if (!run.spectral) {
      // The values are checked before the result is allocated: a run that
      // cannot be made is refused for what it is, not for its size. (The
      // spectral method checks its weights as it reads them.)
      const Status checked = without_gil([&] {
        PoolScope scope(*pool);
        return check_inputs(view, settings, ctl ? &ctl->cancel : nullptr);
      });
      if (!checked.ok()) {
        set_error(st, checked.error());
        return nullptr;
      }
      settings.inputs_checked = true;
    }

    PyRef out;
    OutputBlock target;
    std::optional<FloatBuffer> owned;
    if (is_given(slot[4])) {
      out = caller_output(slot[4], n, columns, target);
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
    // The graph, the settings, the output and the control stay referenced
    // until the run returns: no other thread can free them meanwhile.
    Status status = ok_status();
    if (run.spectral) {
      SpectralSettings spectral;
      spectral.dim = run.dim;
      spectral.base_seed = settings.base_seed;
      spectral.filter_block = *block;
      const double* values = values_of(graph.get());
      status = without_gil([&] {
        PoolScope scope(*pool);
        return embed_spectral(view, values, spectral, target, ctl);
      });
    } else {
      settings.j0 = j0;
      settings.j1 = j1;
      settings.block = *block;
      status = without_gil([&] {
        PoolScope scope(*pool);
        return embed_columns(view, settings, target, ctl);
      });
    }
    if (!status.ok()) {
      set_error(st, status.error());
      return nullptr;
    }
    if (out) return out.release();
    return wrap_result(st->glue, DenseMatrix{std::move(*owned), n, columns});
  });
}

PyObject* check(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kCheckParams)> slot{};  // borrowed
    if (!parse_args(kCheck, args, nargs, kwnames, slot)) return nullptr;
    PyRef graph = PyRef::borrow(slot[0]);
    PyRef settings_obj = PyRef::borrow(slot[1]);
    std::vector<PyRef> feature_arrays;
    FeatureInput features;
    EmbedSettings settings;
    if (!engine_settings(st, graph.get(), settings_obj.get(), features,
                         feature_arrays, settings)) {
      return nullptr;
    }
    const GraphView& view = view_of(graph.get());
    std::shared_ptr<WorkerPool> pool = st->pool->get();
    const Status status = without_gil([&] {
      PoolScope scope(*pool);
      return check_inputs(view, settings, nullptr);
    });
    if (!status.ok()) {
      set_error(st, status.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace velmar::binding::engine
