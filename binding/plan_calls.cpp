// memory_plan, set_num_threads and get_num_threads of `velmar._engine`: the
// bytes a run will allocate (and the widest column block that fits a limit)
// for the module's current worker count, and that count.
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "engine_args.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kPlanParams[] = {
    "num_nodes",    "num_entries",  "columns",        "block",
    "undirected",   "out_entries",  "result_owned",   "row_ptrs_32bit",
    "limit",        "scaled_rows",  "num_features",   "feature_dim",
    "input_copies", "one_block",    "reordered"};
constexpr CallSpec kPlan{"memory_plan", kPlanParams, 3};

}  // namespace

PyObject* memory_plan(PyObject* module, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kPlanParams)> slot{};  // borrowed
    if (!parse_args(kPlan, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kPlan, slot};
    auto n = in.u64(0);
    if (!n) return nullptr;
    auto nnz = in.u64(1);
    if (!nnz) return nullptr;
    auto columns = in.u64(2);
    if (!columns) return nullptr;
    auto block = optional_u64(in, slot[3], 3, *columns);
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
    GraphShape shape;
    shape.num_nodes = *n;
    shape.num_entries = *nnz;
    shape.out_entries = *out_entries;
    shape.row_ptrs_32bit = *narrow_rp;
    shape.build.undirected = *undirected;
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
    const std::uint64_t workers = st->pool->size();
    // Step normalisation needs every column in one block: the block is all
    // of them or, when they do not fit the limit, none.
    std::uint64_t chosen = *one_block ? *columns : *block;
    if (is_given(slot[8])) {
      auto limit = in.u64(8);
      if (!limit) return nullptr;
      if (*one_block) {
        const MemoryPlan whole =
            plan_memory(shape, *columns, *columns, *result_owned, workers,
                        options);
        chosen = whole.peak <= *limit ? *columns : 0;
      } else {
        // With a limit, `block` is the widest wanted.
        chosen = widest_block(shape, *columns, *result_owned, workers, *limit,
                              *block, options);
      }
    }
    const std::uint64_t planned = chosen != 0 ? chosen
                                  : *one_block ? *columns
                                               : 1;
    const MemoryPlan plan =
        plan_memory(shape, *columns, planned, *result_owned, workers, options);
    return Py_BuildValue(
        "{sKsKsKsKsKsKsKsK}", "graph_build_peak",
        static_cast<unsigned long long>(plan.graph_build_peak), "graph",
        static_cast<unsigned long long>(plan.graph), "result",
        static_cast<unsigned long long>(plan.result), "working",
        static_cast<unsigned long long>(plan.working), "options",
        static_cast<unsigned long long>(plan.options), "inputs",
        static_cast<unsigned long long>(plan.inputs), "peak",
        static_cast<unsigned long long>(plan.peak), "block",
        static_cast<unsigned long long>(chosen));
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
