// Argument handling shared by the three entry points: the call descriptions,
// the fast-call parser with the interpreter's messages, and the converters
// from Python objects to owned C++ values.
//
// Everything here runs with the GIL held. A failing function returns an empty
// value (or false) with a Python exception set.
#pragma once

#include "glue_state.h"
#include "py_ref.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "csr.h"

namespace velmar::binding {

// One function's parameter list, as the parser and the messages see it.
struct CallSpec {
  const char* name;                          // "fit_csr"; messages append "()"
  std::span<const std::string_view> params;  // signature order
  std::size_t required;  // leading params that must be given
};

// Fills `slot` (one entry per parameter, borrowed references; empty for an
// omitted parameter) from a fast-call argument vector, or sets the TypeError
// that a Python function with the same signature would raise.
bool parse_args(const CallSpec& call, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::span<PyObject*> slot);

// Converts the parsed slots of one call, each by the kind of its parameter.
// When a conversion fails, its exception gets the note
// "while processing '<parameter>'" before it is returned to the caller.
// `glue` is the calling module's (attribute names are looked up through it).
class Converter {
 public:
  Converter(GlueState& glue, const CallSpec& call,
            std::span<PyObject* const> slot)
      : glue_(glue), call_(call), slot_(slot) {}

  // A NumPy array (or subclass) of exactly `ndim` dimensions whose dtype is
  // equivalent to `type_num`; a new reference to it.
  PyRef array(std::size_t i, int type_num, int ndim);
  // An int (bool included) or an object with __index__, in [0, 2**64).
  std::optional<std::uint64_t> u64(std::size_t i);
  // A sequence (not a str) of objects convertible to float.
  std::optional<std::vector<double>> floats(std::size_t i);
  // Omitted or None: no seed; otherwise as u64. The outer optional is empty
  // on failure.
  std::optional<std::optional<std::uint64_t>> seed(std::size_t i);
  // Omitted: true; a bool or a NumPy bool scalar.
  std::optional<bool> boolean(std::size_t i);
  // A sequence of sequences of (int, float) tuples.
  std::optional<AdjacencyLists> adj_lists(std::size_t i);

 private:
  template <class T>
  T noted(std::size_t i, T converted);

  GlueState& glue_;
  const CallSpec& call_;
  std::span<PyObject* const> slot_;
};

// Sets TypeError "'<qualified type name>' object is not an instance of
// '<expected>'" ("'None' is not an instance of '<expected>'" for None).
void raise_not_instance(GlueState& glue, PyObject* obj, const char* expected);

// The pending exception, taken out of the interpreter's error indicator and
// put back unchanged, so that Python can be called in between.
struct FetchedError {
  PyRef type, value, traceback;
};
FetchedError fetch_error();
void restore_error(FetchedError e);

// "<type name>: <message>" of the pending exception, which is cleared; an
// empty text when none is pending. For folding a Python failure into an
// internal fault's message.
std::string take_pending_error_text();

}  // namespace velmar::binding
