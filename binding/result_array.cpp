// The result owner type (one per module instance, in its GlueState) and the
// wrapping of an embedding as a NumPy array over the engine's buffer; the
// ValueError of a VelmarError.
#include "result_array.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "args.h"
#include "buffer.h"
#include "numpy_api.h"

namespace velmar::binding {
namespace {

// Owns one float buffer handed over by the engine. Field order: start,
// length and capacity in elements, release function.
struct SliceContainer {
  PyObject ob_base;  // PyObject_HEAD
  float* ptr;
  std::size_t len;
  std::size_t cap;
  void (*release)(float* data, std::size_t length, std::size_t capacity);
};

// Where the interpreter frees results only when its collector runs (PyPy),
// reporting each buffer as memory pressure brings the next major collection
// forward; but PyPy checks that only at a minor collection, when its nursery
// is full, and it sizes the nursery from the cache size the CPU reports:
// hundreds of megabytes on some virtual machines. A loop that drops large
// results and allocates little else would then run gigabytes ahead of any
// collection. So the module also counts the bytes of its live buffers, and
// collects by itself once they have grown by kCollectStep and doubled since
// its last collection: PyPy's own rule for major collections, which bounds
// the garbage by the results the caller keeps. GIL held throughout. The
// counts are the process's, not a module's: the collector they pace is the
// process's (PyPy runs one interpreter), and they hold no Python object.
constexpr std::size_t kCollectStep = std::size_t{256} << 20;
std::size_t live_buffer_bytes = 0;
std::size_t live_bytes_after_collect = 0;

void collect_garbage() {
  // The caller may be on its way to return an error; keep it aside.
  FetchedError pending = fetch_error();
  {
    PyRef gc = PyRef::steal(PyImport_ImportModule("gc"));
    PyRef done = PyRef::steal(
        gc ? PyObject_CallMethod(gc.get(), "collect", nullptr) : nullptr);
    // A failed collection costs memory only for a while: say so, go on.
    if (!done) PyErr_WriteUnraisable(nullptr);
  }
  restore_error(std::move(pending));
}

void track_buffer(const void* data, std::size_t bytes) {
  if constexpr (kFreesOnlyWhenCollected) {
    if (bytes == 0) return;
    add_memory_pressure(data, bytes);
    live_buffer_bytes += bytes;
    if (live_buffer_bytes - live_bytes_after_collect >= kCollectStep &&
        live_buffer_bytes >= 2 * live_bytes_after_collect) {
      collect_garbage();
      live_bytes_after_collect = live_buffer_bytes;
    }
  }
}

void forget_buffer(std::size_t bytes) {
  if constexpr (kFreesOnlyWhenCollected) live_buffer_bytes -= bytes;
}

void slice_container_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<SliceContainer*>(self);
  // Instances of a heap type hold a reference to it; drop it only after
  // tp_free, which still reads the type.
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  if (c->release != nullptr) c->release(c->ptr, c->len, c->cap);
  forget_buffer(c->cap * sizeof(float));
  auto free_fn =
      reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free_fn(self);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of an embedding array.")},
    // Only the module creates instances; an empty one from Python would be
    // pointless.
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {0, nullptr},
};

// The module's owner type, made on first use. Its qualified name is the
// module's (glue.owner_type_name); the spec is only read while the type is
// made.
PyTypeObject* owner_type(GlueState& glue) {
  if (glue.owner_type == nullptr) {
    PyType_Spec spec = {glue.owner_type_name,
                        static_cast<int>(sizeof(SliceContainer)), 0,
                        kInternalTypeFlags, slice_container_slots};
    PyObject* type = PyType_FromSpec(&spec);  // new
    if (type == nullptr) return nullptr;
    // Creating the type may run Python code and so let another thread in
    // first; keep whichever type was stored first.
    if (glue.owner_type == nullptr) {
      glue.owner_type = reinterpret_cast<PyTypeObject*>(type);
    } else {
      PyRef discard = PyRef::steal(type);
    }
  }
  return glue.owner_type;
}

[[noreturn]] void fault(const char* what) {
  std::string message = what;
  const std::string detail = take_pending_error_text();
  if (!detail.empty()) message += ": " + detail;
  throw std::runtime_error(message);
}

// A valid address for arrays with no elements, which the engine gives no
// buffer. Nothing is ever read or written through it.
alignas(16) float empty_array_storage[1];

}  // namespace

PyObject* wrap_result(GlueState& glue, DenseMatrix matrix) {
  ensure_numpy_api();
  constexpr std::uint64_t kMaxIntp = static_cast<std::uint64_t>(NPY_MAX_INTP);
  // The shape and the row stride in bytes must fit NumPy's index type. Only a
  // result without rows can have a dim that large; the engine accepts it, so
  // it is the caller's input, not an internal fault, that NumPy cannot hold.
  if (matrix.rows > kMaxIntp || matrix.cols > kMaxIntp / sizeof(float)) {
    PyErr_SetString(PyExc_ValueError, "Shape mismatch: Capacity overflow");
    return nullptr;
  }

  PyTypeObject* type = owner_type(glue);
  if (type == nullptr) fault("Failed to create slice container");
  PyRef container = PyRef::steal(type->tp_alloc(type, 0));
  if (!container) fault("Failed to create slice container");
  const RawFloatBuffer raw = matrix.data.release();
  auto* c = reinterpret_cast<SliceContainer*>(container.get());
  c->ptr = raw.data;
  c->len = raw.length;
  c->cap = raw.capacity;
  c->release = raw.release;
  track_buffer(raw.data, raw.capacity * sizeof(float));

  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows),
                      static_cast<npy_intp>(matrix.cols)};
  npy_intp strides[2] = {static_cast<npy_intp>(matrix.cols * sizeof(float)),
                         static_cast<npy_intp>(sizeof(float))};
  // NumPy allocates memory of its own when given no data pointer.
  float* data = raw.data != nullptr ? raw.data : empty_array_storage;
  PyRef array = PyRef::steal(PyArray_NewFromDescr(
      &PyArray_Type, PyArray_DescrFromType(NPY_FLOAT) /* stolen */, 2, dims,
      strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) fault("Failed to create result array");  // container frees
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                            container.release() /* stolen, even on failure */) <
      0) {
    fault("Failed to set the base of the result array");
  }
  return array.release();
}

void set_engine_error(const VelmarError& error) {
  const std::string text = render(error);
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
      text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return;  // its MemoryError is what the call raises
  PyErr_SetObject(PyExc_ValueError, message.get());
}

PyObject* finish_run(GlueState& glue, Result<DenseMatrix> outcome) {
  if (outcome.ok()) return wrap_result(glue, std::move(outcome).value());
  set_engine_error(outcome.error());
  return nullptr;
}

}  // namespace velmar::binding
