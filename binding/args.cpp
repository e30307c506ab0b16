// The fast-call argument parser and the converters from Python objects to
// owned C++ values (NumPy arrays are only checked here; fit.cpp copies them).
#include "args.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <utility>

#include "numpy_api.h"

namespace velmar::binding {
namespace {

// An attribute name as an interned str, kept in the calling module's state
// and made there on first use. Borrowed; nullptr with an exception set if it
// cannot be created.
PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) slot = PyUnicode_InternFromString(text);
  return slot;
}

// getattr(obj, name) for one of the module's names; an empty PyRef with an
// exception set on failure.
PyRef get_attr(PyObject* obj, PyObject*& slot, const char* text) {
  PyObject* name = interned(slot, text);
  if (name == nullptr) return {};
  return PyRef::steal(PyObject_GetAttr(obj, name));
}

// Gives the pending exception the note "while processing '<param>'". A
// failure to add it (no add_note before Python 3.11, or an error inside it)
// is discarded and the exception stays as it was.
void add_processing_note(GlueState& glue, std::string_view param) {
  FetchedError error = fetch_error();
  if (error.value) {
    const std::string text = "while processing '" + std::string(param) + "'";
    PyRef note = PyRef::steal(PyUnicode_FromStringAndSize(
        text.data(), static_cast<Py_ssize_t>(text.size())));
    PyObject* method = interned(glue.name_add_note, "add_note");
    if (note && method != nullptr) {
      PyRef ignored = PyRef::steal(
          PyObject_CallMethodOneArg(error.value.get(), method, note.get()));
    }
    PyErr_Clear();
  }
  restore_error(std::move(error));
}

// The str check and the sequence check shared by every sequence parameter.
bool check_sequence(GlueState& glue, PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_not_instance(glue, obj, "Sequence");
    return false;
  }
  return true;
}

// Reserves room for len(obj) elements. The length is only a hint: a failing
// len() is cleared, and a reservation the allocator refuses (a huge
// __len__) is skipped; the vector then grows while the items are read.
template <class V>
void reserve_from_len(V& v, PyObject* obj) {
  const Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return;
  }
  try {
    v.reserve(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

std::optional<std::uint64_t> to_u64(PyObject* obj) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return std::nullopt;
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  // 2**64 - 1 is a valid value as well as the error sentinel.
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(v);
}

std::optional<double> to_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
  return v;
}

PyRef to_array(GlueState& glue, PyObject* obj, int type_num, int ndim) {
  ensure_numpy_api();
  if (PyArray_Check(obj)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) == ndim) {
      PyRef expected = PyRef::steal(
          reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
      if (!expected) return {};
      if (PyArray_EquivTypes(
              PyArray_DESCR(arr),
              reinterpret_cast<PyArray_Descr*>(expected.get()))) {
        return PyRef::borrow(obj);
      }
    }
  }
  raise_not_instance(glue, obj, "ndarray");
  return {};
}

std::optional<std::vector<double>> to_floats(GlueState& glue, PyObject* obj) {
  if (!check_sequence(glue, obj)) return std::nullopt;
  std::vector<double> out;
  reserve_from_len(out, obj);
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    auto v = to_double(item.get());
    if (!v) return std::nullopt;
    out.push_back(*v);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return out;
}

// Whether a looked-up attribute is a str equal to one of `texts`. A missing
// attribute (AttributeError pending) means no; any other lookup failure is
// an error.
std::optional<bool> attr_is_one_of(PyRef attr,
                                   std::initializer_list<const char*> texts) {
  if (!attr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(attr.get())) return false;
  for (const char* text : texts) {
    if (PyUnicode_CompareWithASCIIString(attr.get(), text) == 0) return true;
  }
  return false;
}

std::optional<bool> to_bool(GlueState& glue, PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  // NumPy's boolean scalar ("bool" from NumPy 2 on, "bool_" before).
  auto from_numpy =
      attr_is_one_of(get_attr(type, glue.name_module, "__module__"), {"numpy"});
  if (!from_numpy) return std::nullopt;
  if (*from_numpy) {
    auto is_bool = attr_is_one_of(get_attr(type, glue.name_name, "__name__"),
                                  {"bool_", "bool"});
    if (!is_bool) return std::nullopt;
    from_numpy = *is_bool;
  }
  if (!*from_numpy) {
    raise_not_instance(glue, obj, "bool");
    return std::nullopt;
  }
  PyRef method = get_attr(type, glue.name_bool, "__bool__");
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "object of type '%S' does not define a '__bool__' conversion",
                 type);
    return std::nullopt;
  }
  PyRef result = PyRef::steal(PyObject_CallOneArg(method.get(), obj));
  if (!result) return std::nullopt;
  if (!PyBool_Check(result.get())) {
    raise_not_instance(glue, result.get(), "bool");
    return std::nullopt;
  }
  return result.get() == Py_True;
}

std::optional<AdjacencyLists> to_adj_lists(GlueState& glue, PyObject* obj) {
  if (!check_sequence(glue, obj)) return std::nullopt;
  AdjacencyLists lists;
  reserve_from_len(lists, obj);
  PyRef outer = PyRef::steal(PyObject_GetIter(obj));
  if (!outer) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(outer.get()))) {
    if (!check_sequence(glue, item.get())) return std::nullopt;
    auto& row = lists.emplace_back();
    reserve_from_len(row, item.get());
    PyRef inner = PyRef::steal(PyObject_GetIter(item.get()));
    if (!inner) return std::nullopt;
    while (PyRef pair = PyRef::steal(PyIter_Next(inner.get()))) {
      if (!PyTuple_Check(pair.get())) {
        raise_not_instance(glue, pair.get(), "tuple");
        return std::nullopt;
      }
      const Py_ssize_t len = PyTuple_GET_SIZE(pair.get());
      if (len != 2) {
        PyErr_Format(PyExc_ValueError,
                     "expected tuple of length 2, but got tuple of length %zd",
                     len);
        return std::nullopt;
      }
      // Tuples cannot change, and `pair` keeps both elements alive.
      auto target = to_u64(PyTuple_GET_ITEM(pair.get(), 0));
      if (!target) return std::nullopt;
      auto weight = to_double(PyTuple_GET_ITEM(pair.get(), 1));
      if (!weight) return std::nullopt;
      row.emplace_back(*target, *weight);
    }
    if (PyErr_Occurred()) return std::nullopt;
  }
  if (PyErr_Occurred()) return std::nullopt;
  return lists;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list grammar.
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) {
      if (names.size() > 2) out += ',';
      out += k + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[k];
    out += '\'';
  }
  return out;
}

}  // namespace

FetchedError fetch_error() {
  FetchedError e;
#if PY_VERSION_HEX >= 0x030C0000
  e.value = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  e.type = PyRef::steal(type);
  e.value = PyRef::steal(value);
  e.traceback = PyRef::steal(traceback);
#endif
  return e;
}

void restore_error(FetchedError e) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(e.value.release());  // stolen
#else
  PyErr_Restore(e.type.release(), e.value.release(),
                e.traceback.release());  // all three stolen
#endif
}

bool parse_args(const CallSpec& call, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::span<PyObject*> slot) {
  const std::size_t n_params = call.params.size();
  assert(slot.size() == n_params);
  const auto n_pos = static_cast<std::size_t>(nargs);
  std::copy_n(args, std::min(n_pos, n_params), slot.begin());
  if (n_pos > n_params) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s "
                 "given",
                 call.name, call.required, n_params, nargs,
                 nargs == 1 ? "was" : "were");
    return false;
  }

  const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_kw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);  // borrowed, always a str
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (utf8 == nullptr) PyErr_Clear();  // lone surrogates: matches nothing
    const std::size_t match =
        utf8 == nullptr
            ? n_params
            : static_cast<std::size_t>(
                  std::find(
                      call.params.begin(), call.params.end(),
                      std::string_view(utf8, static_cast<std::size_t>(len))) -
                  call.params.begin());
    if (match == n_params) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got an unexpected keyword argument '%U'", call.name,
                   key);
      return false;
    }
    if (slot[match] != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got multiple values for argument '%s'", call.name,
                   call.params[match].data());
      return false;
    }
    slot[match] = args[nargs + k];
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < call.required; ++i) {
    if (slot[i] == nullptr) missing.push_back(call.params[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s",
                 call.name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments",
                 quoted_list(missing).c_str());
    return false;
  }
  return true;
}

template <class T>
T Converter::noted(std::size_t i, T converted) {
  if (!converted) add_processing_note(glue_, call_.params[i]);
  return converted;
}

PyRef Converter::array(std::size_t i, int type_num, int ndim) {
  return noted(i, to_array(glue_, slot_[i], type_num, ndim));
}

std::optional<std::uint64_t> Converter::u64(std::size_t i) {
  return noted(i, to_u64(slot_[i]));
}

std::optional<std::vector<double>> Converter::floats(std::size_t i) {
  return noted(i, to_floats(glue_, slot_[i]));
}

std::optional<std::optional<std::uint64_t>> Converter::seed(std::size_t i) {
  PyObject* obj = slot_[i];
  if (obj == nullptr || obj == Py_None) {
    return std::optional<std::uint64_t>{};
  }
  auto value = u64(i);
  if (!value) return std::nullopt;
  return value;
}

std::optional<bool> Converter::boolean(std::size_t i) {
  if (slot_[i] == nullptr) return true;
  return noted(i, to_bool(glue_, slot_[i]));
}

std::optional<AdjacencyLists> Converter::adj_lists(std::size_t i) {
  return noted(i, to_adj_lists(glue_, slot_[i]));
}

void raise_not_instance(GlueState& glue, PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'",
                 expected);
    return;
  }
  PyRef name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                        glue.name_qualname, "__qualname__");
  if (!name) return;  // that failure is the one reported
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'",
               name.get(), expected);
}

std::string take_pending_error_text() {
  FetchedError error = fetch_error();
  if (!error.value) return {};
  std::string text = Py_TYPE(error.value.get())->tp_name;
  PyRef message = PyRef::steal(PyObject_Str(error.value.get()));
  const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
  if (utf8 != nullptr && *utf8 != '\0') {
    text += ": ";
    text += utf8;
  }
  PyErr_Clear();
  return text;
}

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_no_memory() noexcept {
  try {
    PyErr_NoMemory();
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace velmar::binding
