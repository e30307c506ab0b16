// build_graph and open_graph of `velmar._engine`: a Graph from CSR arrays
// (validated once, symmetrized when asked, in the compact form) or over
// compact arrays the caller keeps (checked once, never copied).
#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "engine_args.h"
#include "numpy_api.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kBuildParams[] = {
    "row_ptrs", "col_indices", "values", "num_nodes", "undirected", "control"};
constexpr CallSpec kBuild{"build_graph", kBuildParams, 5};

constexpr ArrayKind kInt32{NPY_INT32, IndexType::kInt32};
constexpr ArrayKind kUInt32{NPY_UINT32, IndexType::kUInt32};
constexpr ArrayKind kInt64{NPY_INT64, IndexType::kInt64};

constexpr std::string_view kOpenParams[] = {"row_ptrs", "col_indices",
                                            "scales", "num_nodes"};
constexpr CallSpec kOpen{"open_graph", kOpenParams, 4};

}  // namespace

PyObject* build_graph(PyObject* module, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kBuildParams)> slot{};  // borrowed
    if (!parse_args(kBuild, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kBuild, slot};
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
    if (!control_arg(st, slot[5], control)) return nullptr;
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
      return build_compact(input, BuildOptions{*undirected, false}, cancel);
    });
    if (!outcome.ok()) {
      set_error(st, outcome.error());
      return nullptr;
    }
    CompactGraph& graph = outcome.value();
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

}  // namespace velmar::binding::engine
