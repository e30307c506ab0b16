// The module `velmar._engine`: the package's own entry points over the core.
// A Graph is the validated compact graph (built from entry arrays, or a view
// of compact arrays the caller keeps, memory-mapped ones included); Settings
// hold what a run computes; embed writes any column range of the embedding
// into a new array or into caller memory; a RunControl lets another thread
// cancel a run and read its progress. The
// worker pool is the module's own and can be resized between calls.
//
// This file holds the definition, the method table and the module state's
// life (exec, traverse, clear, free); engine_state.h lists the others.
// Module state (multi-phase initialisation) holds the types, the Cancelled
// exception, the glue's objects and the pool; nothing lives in C++ globals.
#include <utility>

#include "checksum.h"
#include "engine_state.h"
#include "tuning.h"

namespace velmar::binding::engine {
namespace {

// Qualified name of the owner type of result arrays.
constexpr const char* kOwnerTypeName = "velmar._engine.BufferOwner";

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef engine_methods[] = {
    {"build_graph", as_method(&build_graph), kFast,
     "build_graph(row_ptrs, col_indices, values, num_nodes, undirected, "
     "control=None, keep_values=False)\n--\n\n"
     "Validate CSR arrays once and build the compact graph (of A + A^T when "
     "undirected). row_ptrs int32/int64, col_indices int32/uint32/int64, "
     "values float64, all 1-D and contiguous; they are read with the GIL "
     "released and must not change during the call. Rows whose columns do "
     "not strictly increase are sorted into a copy, entries sharing a "
     "column summed in their given order. A graph that reads caller arrays "
     "in place (a directed one of sorted rows) keeps references to them. "
     "keep_values keeps each entry's float64 weight (Graph.values())."},
    {"build_graph_coo", as_method(&build_graph_coo), kFast,
     "build_graph_coo(rows, col_indices, values, num_nodes, undirected, "
     "control=None, keep_values=False)\n--\n\n"
     "build_graph from entries in any order: entry k is (rows[k], "
     "col_indices[k], values[k]); they are bucketed by row in their given "
     "order, then sorted as build_graph sorts."},
    {"open_graph", as_method(&open_graph), kFast,
     "open_graph(row_ptrs, col_indices, scales, num_nodes, row_map=None, "
     "values=None)\n--\n\n"
     "A Graph over existing compact arrays, without a copy: row_ptrs int64 "
     "(num_nodes + 1), col_indices uint32 or int64, scales float32, each "
     "1-D and contiguous; read-only and memory-mapped arrays (np.load(..., "
     "mmap_mode='r')) are fine. Checks the structure once (O(n + nnz)) and "
     "keeps references to the arrays; their contents must not change while "
     "the graph is used. scales[k] is the factor of entry k: "
     "float32(weight) * (1.0f / float32(degree of its row)). row_map "
     "(int64, num_nodes elements, a permutation, checked once) says which "
     "node each stored row is: row p is seeded, reads features and is "
     "written as node row_map[p]. values (float64, one per entry) are the "
     "entries' weights, which the spectral method reads."},
    {"merge_sorted", as_method(&merge_sorted), kFast,
     "merge_sorted(rows, col_indices, sides, values, undirected)\n--\n\n"
     "Entries sorted by (row, column, side) and within that in the order "
     "read, holding whole positions (int64 rows, columns and sides 0 for A "
     "and 1 for A^T; float64 values): sums each run of one (row, column, "
     "side) in order and, when undirected, the two sides of a position as "
     "build_graph does. Writes the merged entries to the front of rows, "
     "col_indices and values (which must be writeable) and returns their "
     "count."},
    {"entry_scales", as_method(&entry_scales), kFast,
     "entry_scales(row_ptrs, values)\n--\n\n"
     "float32(value) * (1 / float32(degree)) of the entries of consecutive "
     "rows (row_ptrs int64 from 0 to len(values)), as a new float32 array."},
    {"settings", as_method(&make_settings), kFast,
     "settings(dim, weights, seed=None, normalization_strength=0.0, "
     "step_normalize=False, features=None, feature_dim=None, row_offset=0, "
     "degrees=None, method='projection', step_center=False)\n--\n\n"
     "The Settings of a run (see Settings)."},
    {"embed", as_method(&embed), kFast,
     "embed(graph, settings, columns=None, block=None, out=None, "
     "control=None)\n--\n\n"
     "Columns [j0, j1) of the embedding that settings describe "
     "(columns=(j0, j1), default all), computed block columns at a time "
     "(default all at once) with two num_nodes x block float32 working "
     "matrices. The columns are bit-identical to the same columns of a full "
     "run with the same seed, for any block and thread count. Without out, "
     "returns a new (num_nodes, j1 - j0) float32 array; with out, writes "
     "into it and returns it: a float32 array of that shape, writeable, "
     "with contiguous rows and any non-negative row stride (a memory-mapped "
     ".npy, a slice of a wider array, a buffer for a Zarr chunk). out is "
     "written with the GIL released: nothing else may use it meanwhile. "
     "Raises Cancelled when control.cancel() is called, MemoryError when "
     "memory is refused."},
    {"check", as_method(&check), kFast,
     "check(graph, settings)\n--\n\n"
     "The checks embed makes before it allocates, alone: the features "
     "against the graph, and the range of the values a run could reach "
     "(ValueError naming features, normalization_strength or weights when "
     "they could leave float32)."},
    {"memory_plan", as_method(&memory_plan), kFast,
     "memory_plan(graph_shape, run_shape, columns, block=None, limit=None, "
     "result='whole')\n--\n\n"
     "The bytes a run allocates. graph_shape is (num_nodes, num_entries, "
     "undirected, sorted, row_ptrs_32bit, held_bytes, reordered, "
     "held_entries): the "
     "entries the engine still builds from (0 for a graph it holds), "
     "whether their rows are known to be sorted, the bytes of arrays held "
     "during the run, whether the graph has a row map and the entries of a "
     "graph the engine holds already (which its segments copy); run_shape "
     "is "
     "(scaled_rows, num_features, feature_dim, input_copies, one_block, "
     "spectral); for the spectral method, block is its filter's; "
     "result is where the result goes: a new array of every column "
     "('whole'), a new array per block ('block'), caller memory ('caller'). "
     "Returns a dict with graph_build_peak, graph, result, working, options "
     "(row scales and the block of the feature projection), inputs, "
     "segments (the segmented graph, at most), peak, block (with limit: the "
     "widest block up to `block` whose peak fits, 0 if none; with one_block, "
     "all columns or 0) and segment_rows (rows per segment a run at that "
     "block takes; num_nodes or more: none). Without block, the width that "
     "suits this machine for num_nodes nodes (VELMAR_BLOCK_COLUMNS forces "
     "one). PREFERRED_BLOCK is the width a run takes once its working "
     "matrices outgrow the cache."},
    {"read_edge_text", as_method(&read_edge_text), kFast,
     "read_edge_text(data, header=None, control=None)\n--\n\n"
     "Read an edge list in text (any bytes-like object: the whole file) and "
     "number its node IDs in sorted order. header None detects a header "
     "line, True skips the first data line, False never does. Returns "
     "(fault, layout, rows, cols, weights, ids): fault None, or (problem, "
     "line, offset, found, expected, token) with nothing after the layout; "
     "layout as scan_edge_text gives it; int64 node numbers and float64 "
     "weights per edge; ids int64 or uint64 values, or the text IDs as a "
     "(num_nodes, width) uint32 array of code points."},
    {"scan_edge_text", as_method(&scan_edge_text), kFast,
     "scan_edge_text(data, header=None, control=None)\n--\n\n"
     "Check a whole edge list as read_edge_text does, keeping nothing. "
     "Returns (fault, layout), layout = (comma, width, first, first_begin, "
     "first_end, edges_offset, edges_line, kind, num_edges): first is "
     "'edge', 'header' or 'ambiguous', kind 'int64', 'uint64', 'wide' or "
     "'str'."},
    {"split_edge_text", as_method(&split_edge_text), kFast,
     "split_edge_text(data, layout, offset, line, max_edges, control=None)"
     "\n--\n\n"
     "Up to max_edges edges of a scanned text from the line that starts at "
     "byte offset (numbered line). Returns (fault, count, next_offset, "
     "next_line, sources, targets, weights): int64 or uint64 IDs, or for "
     "string IDs (offsets, bytes) pairs in Arrow's large_string layout."},
    {"checksums", as_method(&checksums), kFast,
     "checksums(data, chunk_bytes, control=None)\n--\n\n"
     "The CRC32C (Castagnoli) of each chunk_bytes piece of data (any "
     "contiguous buffer: a NumPy array, a memory map, bytes; the last piece "
     "may be shorter), as a new uint32 array, computed on the pool with the "
     "GIL released. CRC32C names the implementation: 'sse4.2', 'arm-crc' or "
     "'table'."},
    {"set_num_threads", as_method(&set_num_threads), METH_O,
     "set_num_threads(n)\n--\n\nUse n worker threads from the next call "
     "on."},
    {"get_num_threads", as_method(&get_num_threads), METH_NOARGS,
     "get_num_threads()\n--\n\nThe number of worker threads calls use."},
    {nullptr, nullptr, 0, nullptr},
};

int engine_exec(PyObject* module) {
  return guarded(module, [&]() -> int {
    EngineState* st = state_of(module);
    st->glue.owner_type_name = kOwnerTypeName;
    st->graph_type = make_graph_type();
    if (st->graph_type == nullptr) return -1;
    st->control_type = make_control_type();
    if (st->control_type == nullptr) return -1;
    st->settings_type = make_settings_type();
    if (st->settings_type == nullptr) return -1;
    st->cancelled = PyErr_NewExceptionWithDoc(
        "velmar._engine.Cancelled", "A run stopped by RunControl.cancel().",
        nullptr, nullptr);
    if (st->cancelled == nullptr) return -1;
    st->pool = new PoolSlot;
    for (auto [name, obj] :
         {std::pair{"Graph", reinterpret_cast<PyObject*>(st->graph_type)},
          std::pair{"RunControl",
                    reinterpret_cast<PyObject*>(st->control_type)},
          std::pair{"Settings", reinterpret_cast<PyObject*>(st->settings_type)},
          std::pair{"Cancelled", st->cancelled}}) {
      if (PyObject_SetAttrString(module, name, obj) < 0) return -1;
    }
    if (PyModule_AddIntConstant(module, "PREFERRED_BLOCK",
                                static_cast<long>(kMemoryBlock)) < 0) {
      return -1;
    }
    const char* crc = crc32c_implementation();
    if (PyModule_AddStringConstant(module, "CRC32C", crc) < 0) return -1;
    return 0;
  });
}

int engine_traverse(PyObject* module, visitproc visit, void* arg) {
  EngineState* st = state_of(module);
  if (st == nullptr) return 0;
  Py_VISIT(st->graph_type);
  Py_VISIT(st->control_type);
  Py_VISIT(st->settings_type);
  Py_VISIT(st->cancelled);
  return visit_glue_state(st->glue, visit, arg);
}

int engine_clear(PyObject* module) {
  EngineState* st = state_of(module);
  if (st == nullptr) return 0;
  PyRef graph = PyRef::steal(reinterpret_cast<PyObject*>(st->graph_type));
  PyRef control = PyRef::steal(reinterpret_cast<PyObject*>(st->control_type));
  PyRef settings = PyRef::steal(reinterpret_cast<PyObject*>(st->settings_type));
  PyRef cancelled = PyRef::steal(st->cancelled);
  st->graph_type = nullptr;
  st->control_type = nullptr;
  st->settings_type = nullptr;
  st->cancelled = nullptr;
  clear_glue_state(st->glue);
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
}  // namespace velmar::binding::engine

namespace velmar::binding {

// The package's internal faults are plain SystemErrors with the message,
// so no module object is needed to raise one.
void raise_internal_fault(PyObject*, const char* message) noexcept {
  try {
    PyErr_Format(PyExc_SystemError, "velmar._engine: internal fault: %s",
                 message);
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace velmar::binding

PyMODINIT_FUNC PyInit__engine(void) {
  return PyModuleDef_Init(&velmar::binding::engine::engine_def);
}
