// memory_plan, set_num_threads and get_num_threads of `velmar._engine`: the
// bytes a run will allocate (and the widest column block that fits a limit)
// for the module's current worker count, and that count.
#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "engine_args.h"
#include "spectral.h"
#include "tuning.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kPlanParams[] = {
    "graph_shape", "run_shape", "columns", "block", "limit", "result"};
constexpr CallSpec kPlan{"memory_plan", kPlanParams, 3};

// The items of a tuple of `count` non-negative ints (bools included) named
// `name`; false with an exception set otherwise.
bool tuple_items(PyObject* obj, const char* name, std::size_t count,
                 std::uint64_t* items) {
  if (!PyTuple_Check(obj) ||
      PyTuple_GET_SIZE(obj) != static_cast<Py_ssize_t>(count)) {
    PyErr_Format(PyExc_TypeError, "%s must be a tuple of %zu ints", name,
                 count);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    // Borrowed from the tuple, which the caller keeps alive.
    items[i] = PyLong_AsUnsignedLongLong(
        PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i)));
    if (items[i] == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
      return false;
    }
  }
  return true;
}

PyObject* plan_dict(const MemoryPlan& plan, std::uint64_t block,
                    std::uint64_t segment_rows) {
  return Py_BuildValue("{sKsKsKsKsKsKsKsKsKsK}", "graph_build_peak",
                       static_cast<unsigned long long>(plan.graph_build_peak),
                       "graph", static_cast<unsigned long long>(plan.graph),
                       "result", static_cast<unsigned long long>(plan.result),
                       "working", static_cast<unsigned long long>(plan.working),
                       "options", static_cast<unsigned long long>(plan.options),
                       "inputs", static_cast<unsigned long long>(plan.inputs),
                       "segments",
                       static_cast<unsigned long long>(plan.segments), "peak",
                       static_cast<unsigned long long>(plan.peak), "block",
                       static_cast<unsigned long long>(block), "segment_rows",
                       static_cast<unsigned long long>(segment_rows));
}

// Shapes beyond these are planned as needing 2^64 - 1 bytes: the plan's
// sums and products stay exact below them (2^40 nodes or features times 2^18
// columns, 2^44 entries, 2^62 bytes held), and no machine's memory tells the
// difference above them.
constexpr std::uint64_t kPlanNodes = std::uint64_t{1} << 40;
constexpr std::uint64_t kPlanEntries = std::uint64_t{1} << 44;
constexpr std::uint64_t kPlanColumns = std::uint64_t{1} << 18;
constexpr std::uint64_t kPlanBytes = std::uint64_t{1} << 62;

PyObject* saturated_plan(std::uint64_t block, bool limited) {
  MemoryPlan plan;
  plan.graph_build_peak = plan.graph = plan.result = plan.working =
      plan.options = plan.inputs = plan.segments = plan.peak = UINT64_MAX;
  return plan_dict(plan, limited ? 0 : block, 0);
}

// The spectral method's plan: `block` is its filter's, the widest up to it
// that fits `limit_slot` when given (0 when none does); no segments.
PyObject* spectral_plan(const GraphShape& shape, std::uint64_t dim,
                        std::uint64_t block, PyObject* limit_slot,
                        Converter& in, ResultMemory result,
                        std::uint64_t workers, const OptionShape& options) {
  std::uint64_t chosen = block;
  if (is_given(limit_slot)) {
    auto limit = in.u64(4);
    if (!limit) return nullptr;
    chosen = widest_filter_block(shape, dim, result, workers, *limit, block,
                                 options);
  }
  const MemoryPlan plan = plan_spectral(shape, dim, chosen != 0 ? chosen : 1,
                                        result, workers, options);
  return plan_dict(plan, chosen, shape.num_nodes);
}

}  // namespace

PyObject* memory_plan(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kPlanParams)> slot{};  // borrowed
    if (!parse_args(kPlan, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kPlan, slot};
    // (num_nodes, num_entries, undirected, sorted, row_ptrs_32bit,
    //  held_bytes, reordered, held_entries)
    std::uint64_t g[8];
    if (!tuple_items(slot[0], "graph_shape", 8, g)) return nullptr;
    // (scaled_rows, num_features, feature_dim, input_copies, one_block,
    //  spectral, centered)
    std::uint64_t r[7];
    if (!tuple_items(slot[1], "run_shape", 7, r)) return nullptr;
    auto columns = in.u64(2);
    if (!columns) return nullptr;
    if (g[0] >= kPlanNodes || g[1] >= kPlanEntries || g[7] >= kPlanEntries ||
        g[5] >= kPlanBytes || r[1] >= kPlanNodes || r[2] >= kPlanColumns ||
        r[3] >= kPlanBytes || *columns >= kPlanColumns) {
      auto block = optional_u64(in, slot[3], 3, *columns);
      if (!block) return nullptr;
      return saturated_plan(*block, is_given(slot[4]));
    }
    const bool spectral = r[5] != 0;
    // Without a block, the width that suits this machine for n nodes (the
    // filter's, for the spectral method).
    auto block = optional_u64(in, slot[3], 3,
                              spectral ? preferred_filter_block(g[0], *columns)
                                       : preferred_block(g[0], *columns));
    if (!block) return nullptr;
    ResultMemory result = ResultMemory::kWhole;
    if (is_given(slot[5])) {
      const char* text =
          PyUnicode_Check(slot[5]) ? PyUnicode_AsUTF8(slot[5]) : nullptr;
      const std::string_view kind = text != nullptr ? text : "";
      if (kind == "block") {
        result = ResultMemory::kPerBlock;
      } else if (kind == "caller") {
        result = ResultMemory::kCaller;
      } else if (kind != "whole") {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError,
                        "result must be 'whole', 'block' or 'caller'");
        return nullptr;
      }
    }
    GraphShape shape;
    shape.num_nodes = g[0];
    shape.num_entries = g[1];
    shape.build.undirected = g[2] != 0;
    shape.out_entries = shape.build.undirected ? 2 * g[1] : g[1];
    shape.sorted = g[3] != 0;
    shape.row_ptrs_32bit = g[4] != 0;
    OptionShape options;
    options.reordered = g[6] != 0;
    options.scaled_rows = r[0] != 0;
    options.num_features = r[1];
    options.feature_dim = r[2];
    options.input_copies = r[3] + g[5];
    options.opened_entries = g[7];
    options.centered = r[6] != 0;
    const bool one_block = r[4] != 0;
    const std::uint64_t workers = st->pool->size();
    if (spectral)
      return spectral_plan(shape, *columns, *block, slot[4], in, result,
                           workers, options);
    // Step normalisation needs every column in one block: the block is all
    // of them or, when they do not fit the limit, none.
    std::uint64_t chosen = one_block ? *columns : *block;
    if (is_given(slot[4])) {
      auto limit = in.u64(4);
      if (!limit) return nullptr;
      if (one_block) {
        const MemoryPlan whole =
            plan_memory(shape, *columns, *columns, result, workers, options);
        chosen = whole.peak <= *limit ? *columns : 0;
      } else {
        // With a limit, `block` is the widest wanted.
        chosen = widest_block(shape, *columns, result, workers, *limit, *block,
                              options);
      }
    }
    const std::uint64_t planned = chosen != 0 ? chosen
                                  : one_block ? *columns
                                              : 1;
    const MemoryPlan plan =
        plan_memory(shape, *columns, planned, result, workers, options);
    const std::uint64_t entries =
        std::max(shape.out_entries, options.opened_entries);
    return plan_dict(plan, chosen, segment_rows_for(g[0], entries, planned));
  });
}

PyObject* set_num_threads(PyObject* module, PyObject* arg) {
  return guarded(module, [&]() -> PyObject* {
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
  return guarded(module, [&]() -> PyObject* {
    return PyLong_FromSize_t(state_of(module)->pool->size());
  });
}

}  // namespace velmar::binding::engine
