// What the files of `velmar._engine` share: the module state (the glue's
// objects, the Graph and RunControl types, Cancelled, the worker pool), the
// two object types' accessors and the entry points each file defines.
//   engine_module.cpp   module definition, exec/traverse/clear/free, methods
//   graph_type.cpp      Graph            run_control_type.cpp  RunControl
//   settings_type.cpp   Settings (settings())
//   engine_args.cpp     argument checks shared by the entry points
//   graph_calls.cpp     build_graph(_coo), open_graph, merge_sorted,
//                       entry_scales
//   embed_call.cpp      embed, check     plan_calls.cpp  memory_plan, threads
//   text_calls.cpp      read_edge_text, scan_edge_text, split_edge_text
//   checksum_calls.cpp  checksums
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cpu_count.h"
#include "engine.h"
#include "glue_state.h"
#include "graph.h"
#include "pool.h"
#include "py_ref.h"

namespace velmar::binding::engine {

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
  // The workers a run would have: the pool's, once it exists (counting the
  // machine's CPUs reads /proc and the cgroup files).
  std::size_t size() {
    std::lock_guard lock(mutex);
    if (pool && pool->usable()) return pool->size();
    return threads != 0 ? threads : detail::default_thread_count();
  }
};

// Module state: zeroed memory from the interpreter, filled by the exec slot;
// the objects are released by m_clear, the pool by m_free.
struct EngineState {
  GlueState glue;
  PyTypeObject* graph_type;
  PyTypeObject* control_type;
  PyTypeObject* settings_type;
  PyObject* cancelled;  // the Cancelled exception
  PoolSlot* pool;
};

inline EngineState* state_of(PyObject* module) {
  return static_cast<EngineState*>(PyModule_GetState(module));
}

// ---- Graph (graph_type.cpp) ----

// What a Graph owns: the compact graph when it built one, the view every
// run reads, and the caller arrays the view borrows.
struct GraphHolder {
  std::optional<CompactGraph> owned;
  GraphView view;
  std::vector<PyRef> keep;
  // Each entry's float64 weight, when the graph has them: kept by a build
  // with keep_values, or given to open_graph (one of `keep`).
  const double* values = nullptr;
};

// A new reference to a new Graph type, or nullptr with an exception set.
PyTypeObject* make_graph_type();
// A new Graph that takes `holder` over; nullptr with an exception set.
PyObject* new_graph(EngineState* st, std::unique_ptr<GraphHolder> holder);
// The view of a Graph (borrowed; lives as long as the graph).
const GraphView& view_of(PyObject* graph);
// Its entries' weights, or null (borrowed likewise).
const double* values_of(PyObject* graph);

// ---- Settings (settings_type.cpp) ----

// What a Settings holds: the run's parameters, and the arrays it keeps
// (features and degrees are checked against a graph when embed reads them).
struct RunSettings {
  std::uint64_t dim = 0;
  std::vector<double> weights;
  std::optional<std::uint64_t> seed;
  double normalization_strength = 0.0;
  bool step_normalize = false;
  bool step_center = false;
  PyRef features;
  std::uint64_t feature_dim = 0;
  std::uint64_t row_offset = 0;
  PyRef degrees;
  // The spectral method (spectral.h) rather than the projection; it reads
  // only dim and seed.
  bool spectral = false;
  ~RunSettings();
};

PyTypeObject* make_settings_type();
const RunSettings& settings_of(PyObject* settings);

// ---- RunControl (run_control_type.cpp) ----

PyTypeObject* make_control_type();
RunControl& control_of(PyObject* control);
// The optional `control` argument at `slot`: omitted or None leave `control`
// empty, a RunControl of this module is borrowed into it, anything else
// raises TypeError (false).
bool control_arg(EngineState* st, PyObject* slot, PyRef& control);

// ---- the module's functions ----
// Fast-call entry points with keywords (METH_FASTCALL | METH_KEYWORDS) that
// get the module as their first argument. GIL held on entry; a new reference
// or nullptr with an exception set.

PyObject* build_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* build_graph_coo(PyObject* module, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);
PyObject* merge_sorted(PyObject* module, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames);
PyObject* entry_scales(PyObject* module, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames);
PyObject* make_settings(PyObject* module, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames);
PyObject* open_graph(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);
PyObject* embed(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames);
PyObject* check(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames);
PyObject* memory_plan(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* read_edge_text(PyObject* module, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);
PyObject* scan_edge_text(PyObject* module, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames);
PyObject* split_edge_text(PyObject* module, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames);
PyObject* checksums(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
PyObject* set_num_threads(PyObject* module, PyObject* arg);     // METH_O
PyObject* get_num_threads(PyObject* module, PyObject* unused);  // METH_NOARGS

}  // namespace velmar::binding::engine
