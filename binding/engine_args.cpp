// The argument checks of engine_args.h. Arrays are checked, never copied:
// the core reads them in place with the GIL released, so each entry point
// keeps a reference to every array it passes on until the run returns.
#include "engine_args.h"

#include <cmath>
#include <string>
#include <utility>
#include <variant>

#include "numpy_api.h"
#include "result_array.h"

namespace velmar::binding::engine {

PyRef plain_array(PyObject* obj, const char* name,
                  std::initializer_list<ArrayKind> kinds, std::size_t* which,
                  int ndim) {
  ensure_numpy_api();
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a NumPy array, got %s", name,
                 Py_TYPE(obj)->tp_name);
    return PyRef();
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  std::size_t k = 0;
  for (const ArrayKind& kind : kinds) {
    if (PyArray_EquivTypenums(PyArray_TYPE(arr), kind.type_num) &&
        PyArray_ISNOTSWAPPED(arr)) {
      break;
    }
    ++k;
  }
  if (k == kinds.size()) {
    PyErr_Format(PyExc_TypeError, "%s has an unsupported dtype", name);
    return PyRef();
  }
  if (which != nullptr) *which = k;
  if (PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_ValueError, "%s must have %d dimension(s), got %d", name,
                 ndim, PyArray_NDIM(arr));
    return PyRef();
  }
  if (ndim == 1 && PyArray_SIZE(arr) != 0 &&
      (!PyArray_ISALIGNED(arr) || !PyArray_IS_C_CONTIGUOUS(arr))) {
    PyErr_Format(PyExc_ValueError, "%s must be contiguous and aligned", name);
    return PyRef();
  }
  return PyRef::borrow(obj);
}

std::uint64_t length(const PyRef& a) {
  return static_cast<std::uint64_t>(
      PyArray_SIZE(reinterpret_cast<PyArrayObject*>(a.get())));
}

const void* data_of(const PyRef& a) {
  return PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get()));
}

void set_error(EngineState* st, const VelmarError& e) {
  if (e.is_cancelled()) {
    PyErr_SetString(st->cancelled, "the run was cancelled");
  } else if (std::holds_alternative<OutOfMemory>(e.kind)) {
    const std::string text = render(e);
    PyErr_SetString(PyExc_MemoryError, text.c_str());
  } else {
    set_engine_error(e);
  }
}

std::optional<std::uint64_t> optional_u64(Converter& in, PyObject* slot,
                                          std::size_t i, std::uint64_t dflt) {
  if (!is_given(slot)) return dflt;
  return in.u64(i);
}

std::optional<bool> optional_bool(Converter& in, PyObject* slot,
                                  std::size_t i) {
  if (!is_given(slot)) return false;
  return in.boolean(i);
}

std::optional<double> finite_double(PyObject* slot, const char* name) {
  if (!is_given(slot)) return 0.0;
  const double v = PyFloat_AsDouble(slot);
  if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
  if (!std::isfinite(v)) {
    PyErr_Format(PyExc_ValueError, "%s must be finite, got %R", name, slot);
    return std::nullopt;
  }
  return v;
}

bool feature_input(PyObject* obj, FeatureInput& x, std::uint64_t n,
                   std::vector<PyRef>& keep) {
  ensure_numpy_api();
  if (PyTuple_Check(obj)) {
    if (PyTuple_GET_SIZE(obj) != 4) {
      PyErr_SetString(PyExc_TypeError,
                      "features must be a float32 array or a tuple "
                      "(row_ptrs, col_indices, values, num_features)");
      return false;
    }
    // Items borrowed from the tuple, which the caller keeps alive.
    PyRef rp = plain_array(PyTuple_GET_ITEM(obj, 0), "features row_ptrs",
                           {{NPY_INT64, IndexType::kInt64}}, nullptr);
    if (!rp) return false;
    std::size_t col_kind = 0;
    PyRef cols = plain_array(
        PyTuple_GET_ITEM(obj, 1), "features col_indices",
        {{NPY_INT32, IndexType::kInt32}, {NPY_INT64, IndexType::kInt64}},
        &col_kind);
    if (!cols) return false;
    PyRef vals = plain_array(PyTuple_GET_ITEM(obj, 2), "features values",
                             {{NPY_FLOAT32, {}}}, nullptr);
    if (!vals) return false;
    const unsigned long long f =
        PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(obj, 3));
    if (f == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      return false;
    }
    if (length(rp) != n + 1 || length(cols) != length(vals)) {
      PyErr_Format(PyExc_ValueError,
                   "features must have %llu row pointers and as many columns "
                   "as values",
                   static_cast<unsigned long long>(n + 1));
      return false;
    }
    x.num_features = f;
    x.row_ptrs = static_cast<const std::int64_t*>(data_of(rp));
    x.col_indices = data_of(cols);
    x.col_type = col_kind == 0 ? IndexType::kInt32 : IndexType::kInt64;
    x.values = static_cast<const float*>(data_of(vals));
    x.num_entries = length(vals);
    keep.push_back(std::move(rp));
    keep.push_back(std::move(cols));
    keep.push_back(std::move(vals));
    return true;
  }
  PyRef dense = plain_array(obj, "features", {{NPY_FLOAT32, {}}}, nullptr, 2);
  if (!dense) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(dense.get());
  const npy_intp* shape = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  if (static_cast<std::uint64_t>(shape[0]) != n) {
    PyErr_Format(PyExc_ValueError, "features must have %llu rows, got %lld",
                 static_cast<unsigned long long>(n),
                 static_cast<long long>(shape[0]));
    return false;
  }
  if (!PyArray_ISALIGNED(arr) ||
      (shape[1] > 1 && strides[1] != sizeof(float)) ||
      (n > 1 && (strides[0] < 0 || strides[0] % sizeof(float) != 0))) {
    PyErr_SetString(PyExc_ValueError,
                    "features must be aligned, with contiguous rows and a "
                    "non-negative row stride");
    return false;
  }
  x.num_features = static_cast<std::uint64_t>(shape[1]);
  x.dense = static_cast<const float*>(PyArray_DATA(arr));
  x.dense_stride = n > 1
                       ? static_cast<std::uint64_t>(strides[0]) / sizeof(float)
                       : x.num_features;
  keep.push_back(std::move(dense));
  return true;
}

}  // namespace velmar::binding::engine
