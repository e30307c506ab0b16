// Argument checks that the functions of `velmar._engine` share: NumPy arrays
// taken as they are (no copy, the caller keeps them alive), optional settings,
// the features argument, and the exception of a core error.
//
// GIL held. A failing function returns an empty value (or false) with a
// Python exception set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "args.h"
#include "engine_state.h"

namespace velmar::binding::engine {

// Whether an optional argument was given: present and not None.
inline bool is_given(PyObject* slot) {
  return slot != nullptr && slot != Py_None;
}

// One accepted dtype of an array argument and the index type it stands for.
struct ArrayKind {
  int type_num;
  IndexType index;
};

// `obj` as a NumPy array with `ndim` dimensions whose dtype, in native byte
// order, is one of `kinds` (its position there goes to *which unless null);
// a 1-D array with elements must also be aligned and C-contiguous. Read-only
// arrays are accepted. A new reference to `obj`; `name` is the argument's
// name in the messages.
PyRef plain_array(PyObject* obj, const char* name,
                  std::initializer_list<ArrayKind> kinds, std::size_t* which,
                  int ndim = 1);

// Element count and data of an array plain_array accepted.
std::uint64_t length(const PyRef& a);
const void* data_of(const PyRef& a);

// Sets the exception of a core error: Cancelled, MemoryError for a refused
// allocation, ValueError otherwise.
void set_error(EngineState* st, const VelmarError& e);

// Parameter i given as `slot`: converted as an int (or a bool) when given,
// `dflt` (false) when omitted or None.
std::optional<std::uint64_t> optional_u64(Converter& in, PyObject* slot,
                                          std::size_t i, std::uint64_t dflt);
std::optional<bool> optional_bool(Converter& in, PyObject* slot, std::size_t i);

// A finite float, 0.0 when omitted or None.
std::optional<double> finite_double(PyObject* slot, const char* name);

// The features argument of embed for a graph of n nodes: a 2-D float32
// array with contiguous rows, or a tuple (row_ptrs int64, col_indices
// int32/int64, values float32, num_features) of CSR arrays. Fills `x` (all
// but feature_dim) with pointers into the arrays, which are appended to
// `keep` so that they outlive the run.
bool feature_input(PyObject* obj, FeatureInput& x, std::uint64_t n,
                   std::vector<PyRef>& keep);

}  // namespace velmar::binding::engine
