// The graph functions of `velmar._engine`: a Graph built from entry arrays
// (CSR or one row per entry, validated once, rows sorted and duplicates
// summed, symmetrized when asked, in the compact form) or over compact arrays
// the caller keeps (checked once, never copied); and the merge and the scales
// of entries sorted elsewhere, for a graph prepared out of core.
#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "engine_args.h"
#include "numpy_api.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kBuildParams[] = {
    "row_ptrs",   "col_indices", "values",     "num_nodes",
    "undirected", "control",     "keep_values"};
constexpr CallSpec kBuild{"build_graph", kBuildParams, 5};
constexpr std::string_view kBuildCooParams[] = {
    "rows",       "col_indices", "values",     "num_nodes",
    "undirected", "control",     "keep_values"};
constexpr CallSpec kBuildCoo{"build_graph_coo", kBuildCooParams, 5};

constexpr ArrayKind kInt32{NPY_INT32, IndexType::kInt32};
constexpr ArrayKind kUInt32{NPY_UINT32, IndexType::kUInt32};
constexpr ArrayKind kInt64{NPY_INT64, IndexType::kInt64};

constexpr std::string_view kOpenParams[] = {
    "row_ptrs", "col_indices", "scales", "num_nodes", "row_map", "values"};
constexpr CallSpec kOpen{"open_graph", kOpenParams, 4};

constexpr std::string_view kMergeParams[] = {"rows", "col_indices", "sides",
                                             "values", "undirected"};
constexpr CallSpec kMerge{"merge_sorted", kMergeParams, 5};

constexpr std::string_view kScalesParams[] = {"row_ptrs", "values"};
constexpr CallSpec kScales{"entry_scales", kScalesParams, 2};

// What both builders take after their first argument, checked.
struct BuildArgs {
  PyRef rows, cols, vals, control;
  std::size_t row_kind = 0, col_kind = 0;
  std::uint64_t n = 0;
  BuildOptions options;
};

bool build_args(EngineState* st, const CallSpec& call,
                std::span<PyObject* const> slot, bool compressed,
                BuildArgs& a) {
  Converter in{st->glue, call, slot};
  a.rows = plain_array(slot[0], compressed ? "row_ptrs" : "rows",
                       {kInt32, kInt64}, &a.row_kind);
  if (!a.rows) return false;
  a.cols = plain_array(slot[1], "col_indices", {kInt32, kUInt32, kInt64},
                       &a.col_kind);
  if (!a.cols) return false;
  a.vals = plain_array(slot[2], "values", {{NPY_FLOAT64, {}}}, nullptr);
  if (!a.vals) return false;
  auto n = in.u64(3);
  if (!n) return false;
  a.n = *n;
  auto undirected = in.boolean(4);
  if (!undirected) return false;
  a.options.undirected = *undirected;
  if (!control_arg(st, slot[5], a.control)) return false;
  auto keep = optional_bool(in, slot[6], 6);
  if (!keep) return false;
  a.options.keep_values = *keep;
  if (compressed && (length(a.rows) != a.n + 1 || a.n == UINT64_MAX)) {
    PyErr_Format(PyExc_ValueError,
                 "row_ptrs must have num_nodes + 1 elements, got %llu",
                 static_cast<unsigned long long>(length(a.rows)));
    return false;
  }
  if (!compressed && length(a.rows) != length(a.cols)) {
    PyErr_SetString(PyExc_ValueError,
                    "rows and col_indices must have the same length");
    return false;
  }
  if (length(a.cols) != length(a.vals)) {
    PyErr_SetString(PyExc_ValueError,
                    "col_indices and values must have the same length");
    return false;
  }
  return true;
}

IndexType index_type(std::size_t kind) {
  return std::data({kInt32, kUInt32, kInt64})[kind].index;
}

// Builds with the GIL released on the module's pool and wraps the graph; the
// caller arrays it reads in place stay referenced by it.
template <class Input>
PyObject* build_and_wrap(EngineState* st, const Input& input, BuildArgs& a) {
  const CancelFlag* cancel =
      a.control ? &control_of(a.control.get()).cancel : nullptr;
  std::shared_ptr<WorkerPool> pool = st->pool->get();
  auto outcome = without_gil([&] {
    PoolScope scope(*pool);
    return build_compact(input, a.options, cancel);
  });
  if (!outcome.ok()) {
    set_error(st, outcome.error());
    return nullptr;
  }
  CompactGraph& graph = outcome.value();
  const GraphView view = graph.view();
  auto holder =
      std::unique_ptr<GraphHolder>(new GraphHolder{std::nullopt, view, {}});
  for (PyRef* array : {&a.rows, &a.cols, &a.vals}) {
    const char* begin = static_cast<const char*>(data_of(*array));
    const char* end =
        begin + PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(array->get()));
    const auto borrows = [&](const void* p) {
      const char* c = static_cast<const char*>(p);
      return c != nullptr && begin <= c && c < end;
    };
    if (borrows(view.row_ptrs()) || borrows(view.narrow_cols()) ||
        borrows(view.wide_cols()) || borrows(graph.values())) {
      holder->keep.push_back(std::move(*array));
    }
  }
  holder->owned.emplace(std::move(graph));
  holder->values = holder->owned->values();
  return new_graph(st, std::move(holder));
}

}  // namespace

PyObject* build_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kBuildParams)> slot{};  // borrowed
    if (!parse_args(kBuild, args, nargs, kwnames, slot)) return nullptr;
    BuildArgs a;
    if (!build_args(st, kBuild, slot, true, a)) return nullptr;
    CsrInput input;
    input.row_ptrs = data_of(a.rows);
    input.row_ptr_type =
        a.row_kind == 0 ? IndexType::kInt32 : IndexType::kInt64;
    input.col_indices = data_of(a.cols);
    input.col_type = index_type(a.col_kind);
    input.values = static_cast<const double*>(data_of(a.vals));
    input.num_nodes = a.n;
    input.num_entries = length(a.cols);
    return build_and_wrap(st, input, a);
  });
}

PyObject* build_graph_coo(PyObject* module, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kBuildCooParams)> slot{};  // borrowed
    if (!parse_args(kBuildCoo, args, nargs, kwnames, slot)) return nullptr;
    BuildArgs a;
    if (!build_args(st, kBuildCoo, slot, false, a)) return nullptr;
    CooInput input;
    input.rows = data_of(a.rows);
    input.row_type = a.row_kind == 0 ? IndexType::kInt32 : IndexType::kInt64;
    input.cols = data_of(a.cols);
    input.col_type = index_type(a.col_kind);
    input.values = static_cast<const double*>(data_of(a.vals));
    input.num_nodes = a.n;
    input.num_entries = length(a.cols);
    return build_and_wrap(st, input, a);
  });
}

PyObject* open_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kOpenParams)> slot{};  // borrowed
    if (!parse_args(kOpen, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kOpen, slot};
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
    PyRef row_map;
    if (is_given(slot[4])) {
      row_map = plain_array(slot[4], "row_map", {kInt64}, nullptr);
      if (!row_map) return nullptr;
      if (length(row_map) != *n) {
        PyErr_Format(PyExc_ValueError,
                     "row_map must have num_nodes (%llu) elements, got %llu",
                     static_cast<unsigned long long>(*n),
                     static_cast<unsigned long long>(length(row_map)));
        return nullptr;
      }
    }
    PyRef values;
    if (is_given(slot[5])) {
      values = plain_array(slot[5], "values", {{NPY_FLOAT64, {}}}, nullptr);
      if (!values) return nullptr;
      if (length(values) != length(cols)) {
        PyErr_SetString(PyExc_ValueError,
                        "values must have one element per entry");
        return nullptr;
      }
    }
    CompactInput input;
    input.row_ptrs = static_cast<const std::int64_t*>(data_of(rp));
    input.col_indices = data_of(cols);
    input.col_type = col_kind == 0 ? IndexType::kUInt32 : IndexType::kInt64;
    input.scales = static_cast<const float*>(data_of(scales));
    input.num_nodes = *n;
    input.num_entries = length(cols);
    // Negative entries read as values >= 2^63, out of range: refused.
    input.row_map =
        row_map ? static_cast<const std::uint64_t*>(data_of(row_map)) : nullptr;
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
    if (row_map) holder->keep.push_back(std::move(row_map));
    if (values) {
      holder->values = static_cast<const double*>(data_of(values));
      holder->keep.push_back(std::move(values));
    }
    return new_graph(st, std::move(holder));
  });
}

PyObject* merge_sorted(PyObject* module, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kMergeParams)> slot{};  // borrowed
    if (!parse_args(kMerge, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kMerge, slot};
    std::array<PyRef, 4> a;
    const char* names[] = {"rows", "col_indices", "sides", "values"};
    for (std::size_t i = 0; i < 4; ++i) {
      a[i] =
          plain_array(slot[i], names[i],
                      {i == 3 ? ArrayKind{NPY_FLOAT64, {}} : kInt64}, nullptr);
      if (!a[i]) return nullptr;
      if (length(a[i]) != length(a[0])) {
        PyErr_SetString(PyExc_ValueError,
                        "rows, col_indices, sides and values must have the "
                        "same length");
        return nullptr;
      }
      if (i != 2 &&
          !PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(a[i].get()))) {
        PyErr_Format(PyExc_ValueError, "%s must be writeable", names[i]);
        return nullptr;
      }
    }
    auto undirected = in.boolean(4);
    if (!undirected) return nullptr;
    auto* r = static_cast<std::int64_t*>(const_cast<void*>(data_of(a[0])));
    auto* c = static_cast<std::int64_t*>(const_cast<void*>(data_of(a[1])));
    const auto* side = static_cast<const std::int64_t*>(data_of(a[2]));
    auto* w = static_cast<double*>(const_cast<void*>(data_of(a[3])));
    const std::uint64_t count = length(a[0]);
    const std::uint64_t merged = without_gil([&] {
      return velmar::merge_sorted(r, c, side, w, count, *undirected);
    });
    return PyLong_FromUnsignedLongLong(merged);
  });
}

PyObject* entry_scales(PyObject* module, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    std::array<PyObject*, std::size(kScalesParams)> slot{};  // borrowed
    if (!parse_args(kScales, args, nargs, kwnames, slot)) return nullptr;
    PyRef rp = plain_array(slot[0], "row_ptrs", {kInt64}, nullptr);
    if (!rp) return nullptr;
    PyRef vals = plain_array(slot[1], "values", {{NPY_FLOAT64, {}}}, nullptr);
    if (!vals) return nullptr;
    const auto* p = static_cast<const std::int64_t*>(data_of(rp));
    const std::uint64_t rows = length(rp) == 0 ? 0 : length(rp) - 1;
    bool valid = length(rp) != 0 && p[0] == 0 &&
                 static_cast<std::uint64_t>(p[rows]) == length(vals);
    for (std::uint64_t i = 0; valid && i < rows; ++i) valid = p[i] <= p[i + 1];
    if (!valid) {
      PyErr_SetString(PyExc_ValueError,
                      "row_ptrs must run from 0 to the number of values, "
                      "never decreasing");
      return nullptr;
    }
    ensure_numpy_api();
    npy_intp dims[1] = {static_cast<npy_intp>(length(vals))};
    PyRef out = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_FLOAT32));
    if (!out) return nullptr;
    auto* scales = static_cast<float*>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const auto* v = static_cast<const double*>(data_of(vals));
    without_gil([&] { velmar::entry_scales(p, rows, v, scales); });
    return out.release();
  });
}

}  // namespace velmar::binding::engine
