// The checksum function of `velmar._engine`: the CRC32C of each fixed-size
// chunk of any contiguous buffer (a memory-mapped array, bytes read from a
// store), computed on the module's pool with the GIL released.
#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>

#include "checksum.h"
#include "engine_args.h"
#include "numpy_api.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kChecksumParams[] = {"data", "chunk_bytes",
                                                "control"};
constexpr CallSpec kChecksums{"checksums", kChecksumParams, 2};

// A buffer exported by an object, released (GIL held) when this goes.
struct HeldBuffer {
  Py_buffer view{};
  bool held = false;
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held) PyBuffer_Release(&view);
  }
};

}  // namespace

PyObject* checksums(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kChecksumParams)> slot{};  // borrowed
    if (!parse_args(kChecksums, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kChecksums, slot};
    // PyBUF_SIMPLE: contiguous bytes, read-only exports (memory maps)
    // included; anything else raises the exporter's own BufferError.
    HeldBuffer data;
    if (PyObject_GetBuffer(slot[0], &data.view, PyBUF_SIMPLE) < 0) {
      return nullptr;
    }
    data.held = true;
    auto chunk = in.u64(1);
    if (!chunk) return nullptr;
    if (*chunk == 0) {
      PyErr_SetString(PyExc_ValueError, "chunk_bytes must be at least 1");
      return nullptr;
    }
    PyRef control;
    if (!control_arg(st, slot[2], control)) return nullptr;
    const auto size = static_cast<std::uint64_t>(data.view.len);
    const std::uint64_t count = size / *chunk + (size % *chunk != 0);
    ensure_numpy_api();
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    PyRef out = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_UINT32));
    if (!out) return nullptr;
    auto* sums = static_cast<std::uint32_t*>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const CancelFlag* cancel =
        control ? &control_of(control.get()).cancel : nullptr;
    std::shared_ptr<WorkerPool> pool = st->pool->get();
    const void* bytes = data.view.buf;
    const Status done = without_gil([&] {
      PoolScope scope(*pool);
      return chunk_checksums(bytes, size, *chunk, sums, cancel);
    });
    if (!done.ok()) {
      set_error(st, done.error());
      return nullptr;
    }
    return out.release();
  });
}

}  // namespace velmar::binding::engine
