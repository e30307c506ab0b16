// The binding's ownership and boundary helpers: PyRef (one strong reference),
// without_gil (runs plain C++ with the interpreter lock released) and guarded
// (the fault barrier every entry point returns through).
//
// This is the only file of the binding that drops references by hand.
#pragma once

#include "compat.h"  // Python.h, with PY_SSIZE_T_CLEAN

#include <cassert>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace velmar::binding {

// Owns one strong reference, or none. Must be destroyed with the GIL held.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept {
    PyRef r;
    r.p_ = o;
    return r;
  }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return steal(o);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to an API that steals it.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Runs f with the GIL released and retakes it before returning or unwinding.
// f must see only C++ values: no PyObject*, no PyRef.
template <class F>
decltype(auto) without_gil(F&& f) {
  struct Relock {
    PyThreadState* ts;
    ~Relock() { PyEval_RestoreThread(ts); }
  };
  Relock relock{PyEval_SaveThread()};
  return std::forward<F>(f)();
}

// Raise MemoryError, or the module's internal-fault exception, for a C++
// exception caught at the boundary. If raising itself fails by throwing, the
// process ends through abort_at_boundary ("uncaught panic at ffi boundary"):
// no C++ exception reaches the interpreter. raise_internal_fault is defined
// by each module and takes the module whose exception to raise (borrowed;
// nullptr where the caller was given none, see guarded); the other two are
// defined by the shared glue.
void raise_no_memory() noexcept;
void raise_internal_fault(PyObject* module, const char* message) noexcept;
[[noreturn]] void abort_at_boundary() noexcept;

// Runs an entry point's body. The body returns a new reference (or 0 for the
// module's exec slot) on success, nullptr (or -1) with a Python exception set
// on failure. Nothing thrown escapes: allocation failures become MemoryError,
// every other exception the module's internal fault, raised for `module`
// (borrowed): the module the entry point was called for, or nullptr where
// the interpreter passes none (methods of a type, CPython's static
// functions), and raise_internal_fault finds the exception by itself.
template <class Body>
auto guarded(PyObject* module, Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_same_v<R, PyObject*> || std::is_same_v<R, int>);
  constexpr R kFailure = [] {
    if constexpr (std::is_same_v<R, int>) {
      return -1;
    } else {
      return static_cast<PyObject*>(nullptr);
    }
  }();
  try {
    R r = body();
    assert((r == kFailure) == (PyErr_Occurred() != nullptr));
    return r;
  } catch (const std::bad_alloc&) {
    raise_no_memory();
  } catch (const std::exception& e) {
    raise_internal_fault(module, e.what());
  } catch (...) {
    raise_internal_fault(module, "internal error in native code");
  }
  return kFailure;
}

}  // namespace velmar::binding
