// The entry points fit_csr, fit_dense and fit_adj_list: parse and convert the
// arguments, copy the input arrays, run the engine with the GIL released and
// convert its outcome.
//
// The engine only ever sees copies: while the GIL is released other threads
// may change or free the caller's arrays.
#include "fit.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "core_state.h"
#include "numpy_api.h"
#include "result_array.h"
#include "velmar.h"

namespace velmar::binding {
namespace {

constexpr std::string_view kFitCsrParams[] = {
    "row_ptrs", "col_indices", "values", "num_nodes",
    "dim",      "weights",     "seed",   "undirected"};
constexpr CallSpec kFitCsr{"fit_csr", kFitCsrParams, 6};

constexpr std::string_view kFitDenseParams[] = {"adj_matrix", "dim", "weights",
                                                "seed", "undirected"};
constexpr CallSpec kFitDense{"fit_dense", kFitDenseParams, 3};

constexpr std::string_view kFitAdjListParams[] = {
    "adj_list", "dim", "iter_weights", "seed", "undirected"};
constexpr CallSpec kFitAdjList{"fit_adj_list", kFitAdjListParams, 3};

PyArrayObject* as_array(const PyRef& ref) {
  return reinterpret_cast<PyArrayObject*>(ref.get());
}

// A copy of the caller's arrays that cannot be made is reported like the
// engine's own refused reservations (the out-of-memory ValueError) rather
// than ending the process, so the caller keeps its session.
void raise_copy_failed(std::uint64_t count, std::uint64_t elem_size) {
  const auto bytes = checked_bytes(count, elem_size, 8);
  set_engine_error(
      VelmarError::out_of_memory(bytes ? TryReserveError::alloc_error(*bytes, 8)
                                       : TryReserveError::capacity_overflow()));
}

// The engine copies a 1-dimensional array with one block copy, so its
// memory must be one aligned block. Empty arrays pass whatever their strides.
bool check_contiguous(const PyRef& ref, const char* name) {
  PyArrayObject* arr = as_array(ref);
  if (PyArray_SIZE(arr) == 0) return true;
  const int flags = PyArray_FLAGS(arr);
  if ((flags & NPY_ARRAY_ALIGNED) != 0 &&
      (flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0 &&
      PyArray_DATA(arr) != nullptr) {
    return true;
  }
  PyErr_Format(PyExc_ValueError,
               "%s must be contiguous: The given array is not contiguous or "
               "is misaligned.",
               name);
  return false;
}

// One block copy of a contiguous 1-dimensional array. T is the element type
// of the array or its unsigned counterpart (int64 is read as uint64 with the
// same bits, which the aliasing rules allow).
template <class T>
std::optional<std::vector<T>> copy_1d(const PyRef& ref) {
  PyArrayObject* arr = as_array(ref);
  const auto count = static_cast<std::size_t>(PyArray_SIZE(arr));
  std::vector<T> out;
  if (count == 0) return out;
  const T* src = static_cast<const T*>(PyArray_DATA(arr));
  try {
    out.assign(src, src + count);
  } catch (const std::bad_alloc&) {
    raise_copy_failed(count, sizeof(T));
    return std::nullopt;
  }
  return out;
}

// An owned copy of a 2-dimensional float64 array and the view the engine
// reads it through.
struct DenseCopy {
  std::unique_ptr<double[]> data;
  DenseView view;
};

// Copies adj_matrix[i, j] for every (i, j). A C- or Fortran-contiguous
// source is one gap-free block and is copied as such, keeping its layout;
// any other is gathered element by element through its byte strides, which
// may be zero, negative, not multiples of 8, or leave elements misaligned.
std::optional<DenseCopy> copy_dense(const PyRef& ref) {
  PyArrayObject* arr = as_array(ref);
  const npy_intp* shape = PyArray_DIMS(arr);
  const auto rows = static_cast<std::uint64_t>(shape[0]);
  const auto cols = static_cast<std::uint64_t>(shape[1]);
  DenseCopy copy;
  copy.view.rows = rows;
  copy.view.cols = cols;
  copy.view.row_stride = static_cast<std::int64_t>(cols);
  copy.view.col_stride = 1;
  // A broadcast view may describe far more elements than it stores.
  if (cols != 0 && rows > std::numeric_limits<std::uint64_t>::max() / cols) {
    set_engine_error(
        VelmarError::out_of_memory(TryReserveError::capacity_overflow()));
    return std::nullopt;
  }
  const std::uint64_t count = rows * cols;
  if (count == 0) return copy;
  if (count > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
    raise_copy_failed(count, sizeof(double));
    return std::nullopt;
  }
  try {
    copy.data = std::make_unique_for_overwrite<double[]>(count);
  } catch (const std::bad_alloc&) {
    raise_copy_failed(count, sizeof(double));
    return std::nullopt;
  }
  copy.view.data = copy.data.get();

  const char* src = static_cast<const char*>(PyArray_DATA(arr));
  const int flags = PyArray_FLAGS(arr);
  // The flags ignore the strides of length-1 axes, so the view takes the
  // canonical strides of the block rather than the array's own.
  if ((flags & NPY_ARRAY_C_CONTIGUOUS) != 0) {
    std::memcpy(copy.data.get(), src, count * sizeof(double));
  } else if ((flags & NPY_ARRAY_F_CONTIGUOUS) != 0) {
    std::memcpy(copy.data.get(), src, count * sizeof(double));
    copy.view.row_stride = 1;
    copy.view.col_stride = static_cast<std::int64_t>(rows);
  } else {
    const npy_intp* strides = PyArray_STRIDES(arr);
    double* out = copy.data.get();
    for (npy_intp i = 0; i < shape[0]; ++i) {
      const char* row = src + i * strides[0];
      for (npy_intp j = 0; j < shape[1]; ++j) {
        std::memcpy(out++, row + j * strides[1], sizeof(double));
      }
    }
  }
  return copy;
}

// Converts the settings every entry point ends with, dim, weights, seed and
// undirected, at parameters first to first + 3, and configures the builder:
// new(dim) -> with_weights -> with_undirected -> with_seed (when given).
std::optional<VelmarBuilder> convert_settings(Converter& in,
                                              std::size_t first) {
  auto dim = in.u64(first);
  if (!dim) return std::nullopt;
  auto weights = in.floats(first + 1);
  if (!weights) return std::nullopt;
  auto seed = in.seed(first + 2);
  if (!seed) return std::nullopt;
  auto undirected = in.boolean(first + 3);
  if (!undirected) return std::nullopt;
  VelmarBuilder builder = VelmarBuilder{*dim}
                              .with_weights(std::move(*weights))
                              .with_undirected(*undirected);
  if (*seed) builder = std::move(builder).with_seed(**seed);
  return builder;
}

}  // namespace

PyObject* fit_csr(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return guarded(self, [&]() -> PyObject* {
    PyRef module = entry_module(self);
    if (!module) return nullptr;
    GlueState& glue = core_state(module.get()).glue;
    std::array<PyObject*, std::size(kFitCsrParams)> slot{};  // borrowed
    if (!parse_args(kFitCsr, args, nargs, kwnames, slot)) return nullptr;
    Converter in{glue, kFitCsr, slot};
    // Declared in parameter order, so released in reverse. NPY_INT64 rather
    // than NPY_LONG: C long has 32 bits on Windows.
    PyRef row_ptrs = in.array(0, NPY_INT64, 1);
    if (!row_ptrs) return nullptr;
    PyRef col_indices = in.array(1, NPY_INT64, 1);
    if (!col_indices) return nullptr;
    PyRef values = in.array(2, NPY_DOUBLE, 1);
    if (!values) return nullptr;
    auto num_nodes = in.u64(3);
    if (!num_nodes) return nullptr;
    const auto builder = convert_settings(in, 4);
    if (!builder) return nullptr;

    if (!check_contiguous(row_ptrs, "row_ptrs") ||
        !check_contiguous(col_indices, "col_indices") ||
        !check_contiguous(values, "values")) {
      return nullptr;
    }
    auto rows = copy_1d<std::uint64_t>(row_ptrs);
    if (!rows) return nullptr;
    auto cols = copy_1d<std::uint64_t>(col_indices);
    if (!cols) return nullptr;
    auto vals = copy_1d<double>(values);
    if (!vals) return nullptr;

    auto outcome = without_gil([&] {
      return builder->from_csr(std::move(*rows), std::move(*cols),
                               std::move(*vals), *num_nodes);
    });
    return finish_run(glue, std::move(outcome));
  });
}

PyObject* fit_dense(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return guarded(self, [&]() -> PyObject* {
    PyRef module = entry_module(self);
    if (!module) return nullptr;
    GlueState& glue = core_state(module.get()).glue;
    std::array<PyObject*, std::size(kFitDenseParams)> slot{};  // borrowed
    if (!parse_args(kFitDense, args, nargs, kwnames, slot)) return nullptr;
    Converter in{glue, kFitDense, slot};
    PyRef adj_matrix = in.array(0, NPY_DOUBLE, 2);
    if (!adj_matrix) return nullptr;
    const auto builder = convert_settings(in, 1);
    if (!builder) return nullptr;

    auto matrix = copy_dense(adj_matrix);
    if (!matrix) return nullptr;
    auto outcome =
        without_gil([&] { return builder->fit_dense(matrix->view); });
    return finish_run(glue, std::move(outcome));
  });
}

PyObject* fit_adj_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded(self, [&]() -> PyObject* {
    PyRef module = entry_module(self);
    if (!module) return nullptr;
    GlueState& glue = core_state(module.get()).glue;
    std::array<PyObject*, std::size(kFitAdjListParams)> slot{};  // borrowed
    if (!parse_args(kFitAdjList, args, nargs, kwnames, slot)) return nullptr;
    Converter in{glue, kFitAdjList, slot};
    auto adj_list = in.adj_lists(0);
    if (!adj_list) return nullptr;
    const auto builder = convert_settings(in, 1);
    if (!builder) return nullptr;

    auto outcome = without_gil(
        [&] { return builder->fit_adj_list(std::move(*adj_list)); });
    return finish_run(glue, std::move(outcome));
  });
}

}  // namespace velmar::binding
