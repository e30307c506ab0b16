// The edge-list text functions of `velmar._engine`: read_edge_text numbers
// the edges of a whole file in memory, scan_edge_text decides a file's
// layout without keeping anything, and split_edge_text hands a streamed
// preparation the edges of a scanned file a batch at a time. Each reads any
// object with the buffer protocol (bytes, a read-only mmap) with the GIL
// released; a text that is no edge list comes back as a fault tuple for the
// package to word, never as an exception.
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

#include "edge_text.h"
#include "engine_args.h"
#include "numpy_api.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kReadParams[] = {"data", "header", "control"};
constexpr CallSpec kRead{"read_edge_text", kReadParams, 1};
constexpr std::string_view kScanParams[] = {"data", "header", "control"};
constexpr CallSpec kScan{"scan_edge_text", kScanParams, 1};
constexpr std::string_view kSplitParams[] = {"data", "layout",    "offset",
                                             "line", "max_edges", "control"};
constexpr CallSpec kSplit{"split_edge_text", kSplitParams, 5};

// A caller's bytes, exported read-only for the call and released with the
// GIL held (declare it outside without_gil).
class BytesView {
 public:
  BytesView() = default;
  BytesView(const BytesView&) = delete;
  BytesView& operator=(const BytesView&) = delete;
  ~BytesView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    return true;
  }
  std::string_view text() const {
    return {static_cast<const char*>(view_.buf),
            static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// header=None detects a header line, True always skips the first data
// line, False never does.
bool header_rule(PyObject* slot, HeaderRule& rule) {
  if (!is_given(slot)) {
    rule = HeaderRule::kDetect;
  } else if (slot == Py_True) {
    rule = HeaderRule::kSkip;
  } else if (slot == Py_False) {
    rule = HeaderRule::kKeep;
  } else {
    PyErr_Format(PyExc_TypeError, "header must be None, True or False, got %R",
                 slot);
    return false;
  }
  return true;
}

const char* problem_name(TextProblem p) {
  switch (p) {
    case TextProblem::kNone:
      return "none";
    case TextProblem::kNotUtf8:
      return "not_utf8";
    case TextProblem::kNoEdges:
      return "no_edges";
    case TextProblem::kNoEdgesAfterHeader:
      return "no_edges_after_header";
    case TextProblem::kColumns:
      return "columns";
    case TextProblem::kRagged:
      return "ragged";
    case TextProblem::kBadWeight:
      return "bad_weight";
    case TextProblem::kEmptyId:
      return "empty_id";
    case TextProblem::kChanged:
      return "changed";
  }
  return "unknown";
}

const char* kind_name(IdKind k) {
  switch (k) {
    case IdKind::kInt64:
      return "int64";
    case IdKind::kUInt64:
      return "uint64";
    case IdKind::kWideInt:
      return "wide";
    case IdKind::kString:
      return "str";
  }
  return "unknown";
}

const char* first_name(FirstLine f) {
  switch (f) {
    case FirstLine::kEdge:
      return "edge";
    case FirstLine::kHeader:
      return "header";
    case FirstLine::kAmbiguous:
      return "ambiguous";
  }
  return "unknown";
}

// None, or (problem, line, offset, found, expected, token); a new reference.
PyObject* fault_tuple(const TextFault& f) {
  if (f.problem == TextProblem::kNone) Py_RETURN_NONE;
  PyRef token = PyRef::steal(PyUnicode_DecodeUTF8(
      f.token.data(), static_cast<Py_ssize_t>(f.token.size()), "replace"));
  if (!token) return nullptr;
  return Py_BuildValue("(sKKKKO)", problem_name(f.problem),
                       static_cast<unsigned long long>(f.line),
                       static_cast<unsigned long long>(f.offset),
                       static_cast<unsigned long long>(f.found),
                       static_cast<unsigned long long>(f.expected),
                       token.get());
}

// (comma, width, first, first_begin, first_end, edges_offset, edges_line,
// kind, num_edges); a new reference.
PyObject* layout_tuple(const EdgeTextLayout& l) {
  return Py_BuildValue(
      "(NIsKKKKsK)", PyBool_FromLong(l.comma), static_cast<unsigned>(l.width),
      first_name(l.first), static_cast<unsigned long long>(l.first_begin),
      static_cast<unsigned long long>(l.first_end),
      static_cast<unsigned long long>(l.edges_offset),
      static_cast<unsigned long long>(l.edges_line), kind_name(l.kind),
      static_cast<unsigned long long>(l.num_edges));
}

// The layout tuple's comma, width and kind, for split_edge_text.
bool layout_from(PyObject* obj, EdgeTextLayout& l) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 9) {
    PyErr_SetString(PyExc_TypeError,
                    "layout must be the tuple scan_edge_text returned");
    return false;
  }
  // Items borrowed from the tuple, which the caller keeps alive.
  const int comma = PyObject_IsTrue(PyTuple_GET_ITEM(obj, 0));
  if (comma < 0) return false;
  l.comma = comma != 0;
  const unsigned long width = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(obj, 1));
  if (width == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  const char* kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(obj, 7));
  if (kind == nullptr) return false;
  const std::string_view k = kind;
  if ((width != 2 && width != 3) ||
      (k != "int64" && k != "uint64" && k != "str")) {
    PyErr_SetString(PyExc_ValueError,
                    "layout must be that of an edge list with 2 or 3 fields "
                    "and int64, uint64 or str IDs");
    return false;
  }
  l.width = static_cast<std::uint32_t>(width);
  l.kind = k == "int64"    ? IdKind::kInt64
           : k == "uint64" ? IdKind::kUInt64
                           : IdKind::kString;
  return true;
}

PyRef new_array(int ndim, const std::uint64_t* shape, int type_num) {
  npy_intp dims[2] = {static_cast<npy_intp>(shape[0]),
                      ndim > 1 ? static_cast<npy_intp>(shape[1]) : 0};
  return PyRef::steal(PyArray_SimpleNew(ndim, dims, type_num));
}

void* array_data(const PyRef& a) {
  return PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get()));
}

// a[lo:hi], a view; a new reference.
PyRef slice_of(const PyRef& a, std::uint64_t lo, std::uint64_t hi) {
  PyRef start = PyRef::steal(PyLong_FromUnsignedLongLong(lo));
  if (!start) return {};
  PyRef stop = PyRef::steal(PyLong_FromUnsignedLongLong(hi));
  if (!stop) return {};
  PyRef slice = PyRef::steal(PySlice_New(start.get(), stop.get(), nullptr));
  if (!slice) return {};
  return PyRef::steal(PyObject_GetItem(a.get(), slice.get()));
}

// The node IDs of a read text: int64 or uint64 values, or the texts as a
// (num_nodes, width) uint32 array of code points (width at least 1).
PyRef id_array(const EdgeText& t) {
  const std::uint64_t n = t.num_nodes;
  if (t.layout.kind == IdKind::kInt64 || t.layout.kind == IdKind::kUInt64) {
    PyRef ids = new_array(
        1, &n, t.layout.kind == IdKind::kInt64 ? NPY_INT64 : NPY_UINT64);
    if (ids && n != 0) {
      std::memcpy(array_data(ids), t.numbers.data(), n * sizeof(std::int64_t));
    }
    return ids;
  }
  const std::uint64_t shape[2] = {n, t.max_chars == 0 ? 1 : t.max_chars};
  PyRef ids = new_array(2, shape, NPY_UINT32);
  if (!ids) return {};
  auto* out = static_cast<std::uint32_t*>(array_data(ids));
  without_gil([&] { text_ids_utf32(t, out, shape[1]); });
  return ids;
}

// Checked arguments of read and scan.
struct TextArgs {
  BytesView bytes;
  HeaderRule rule = HeaderRule::kDetect;
  PyRef control;
};

bool text_args(EngineState* st, std::span<PyObject* const> slot, TextArgs& a) {
  if (!a.bytes.acquire(slot[0])) return false;
  if (!header_rule(slot[1], a.rule)) return false;
  return control_arg(st, slot[2], a.control);
}

const CancelFlag* cancel_of(const PyRef& control) {
  return control ? &control_of(control.get()).cancel : nullptr;
}

}  // namespace

PyObject* read_edge_text(PyObject* module, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kReadParams)> slot{};  // borrowed
    if (!parse_args(kRead, args, nargs, kwnames, slot)) return nullptr;
    TextArgs a;
    if (!text_args(st, slot, a)) return nullptr;
    ensure_numpy_api();
    const std::string_view text = a.bytes.text();
    const std::uint64_t capacity =
        without_gil([&] { return edge_capacity(text); });
    // Pages of the arrays that no edge reaches are never touched.
    PyRef rows = new_array(1, &capacity, NPY_INT64);
    if (!rows) return nullptr;
    PyRef cols = new_array(1, &capacity, NPY_INT64);
    if (!cols) return nullptr;
    PyRef weights = new_array(1, &capacity, NPY_FLOAT64);
    if (!weights) return nullptr;
    const EdgeSink sink{static_cast<std::int64_t*>(array_data(rows)),
                        static_cast<std::int64_t*>(array_data(cols)),
                        static_cast<double*>(array_data(weights)), capacity};
    const CancelFlag* cancel = cancel_of(a.control);
    auto outcome = without_gil(
        [&] { return velmar::read_edge_text(text, a.rule, &sink, cancel); });
    if (!outcome.ok()) {
      set_error(st, outcome.error());
      return nullptr;
    }
    const EdgeText& t = outcome.value();
    PyRef fault = PyRef::steal(fault_tuple(t.fault));
    if (!fault) return nullptr;
    PyRef layout = PyRef::steal(layout_tuple(t.layout));
    if (!layout) return nullptr;
    if (t.fault.problem != TextProblem::kNone) {
      return PyTuple_Pack(6, fault.get(), layout.get(), Py_None, Py_None,
                          Py_None, Py_None);
    }
    const std::uint64_t lo = t.first_edge, hi = lo + t.layout.num_edges;
    PyRef r = slice_of(rows, lo, hi);
    if (!r) return nullptr;
    PyRef c = slice_of(cols, lo, hi);
    if (!c) return nullptr;
    PyRef w = slice_of(weights, lo, hi);
    if (!w) return nullptr;
    PyRef ids = id_array(t);
    if (!ids) return nullptr;
    return PyTuple_Pack(6, fault.get(), layout.get(), r.get(), c.get(), w.get(),
                        ids.get());
  });
}

PyObject* scan_edge_text(PyObject* module, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kScanParams)> slot{};  // borrowed
    if (!parse_args(kScan, args, nargs, kwnames, slot)) return nullptr;
    TextArgs a;
    if (!text_args(st, slot, a)) return nullptr;
    const std::string_view text = a.bytes.text();
    const CancelFlag* cancel = cancel_of(a.control);
    auto outcome = without_gil(
        [&] { return velmar::read_edge_text(text, a.rule, nullptr, cancel); });
    if (!outcome.ok()) {
      set_error(st, outcome.error());
      return nullptr;
    }
    PyRef fault = PyRef::steal(fault_tuple(outcome->fault));
    if (!fault) return nullptr;
    PyRef layout = PyRef::steal(layout_tuple(outcome->layout));
    if (!layout) return nullptr;
    return PyTuple_Pack(2, fault.get(), layout.get());
  });
}

PyObject* split_edge_text(PyObject* module, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kSplitParams)> slot{};  // borrowed
    if (!parse_args(kSplit, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kSplit, slot};
    BytesView bytes;
    if (!bytes.acquire(slot[0])) return nullptr;
    EdgeTextLayout layout;
    if (!layout_from(slot[1], layout)) return nullptr;
    auto offset = in.u64(2);
    if (!offset) return nullptr;
    auto line = in.u64(3);
    if (!line) return nullptr;
    auto max_edges = in.u64(4);
    if (!max_edges) return nullptr;
    PyRef control;
    if (!control_arg(st, slot[5], control)) return nullptr;
    ensure_numpy_api();
    const bool strings = layout.kind == IdKind::kString;
    const std::uint64_t n = strings ? 0 : *max_edges;
    const int id_type = layout.kind == IdKind::kUInt64 ? NPY_UINT64 : NPY_INT64;
    PyRef sources = new_array(1, &n, id_type);
    if (!sources) return nullptr;
    PyRef targets = new_array(1, &n, id_type);
    if (!targets) return nullptr;
    PyRef weights = new_array(1, &*max_edges, NPY_FLOAT64);
    if (!weights) return nullptr;
    // String IDs go to the batch's own byte arrays; the sink's ID arrays
    // are then empty and never written.
    const EdgeSink sink{static_cast<std::int64_t*>(array_data(sources)),
                        static_cast<std::int64_t*>(array_data(targets)),
                        static_cast<double*>(array_data(weights)), *max_edges};
    const std::string_view text = bytes.text();
    const CancelFlag* cancel = cancel_of(control);
    auto outcome = without_gil([&] {
      return velmar::split_edge_text(text, layout, *offset, *line, *max_edges,
                                     sink, cancel);
    });
    if (!outcome.ok()) {
      set_error(st, outcome.error());
      return nullptr;
    }
    const EdgeTextBatch& b = outcome.value();
    PyRef fault = PyRef::steal(fault_tuple(b.fault));
    if (!fault) return nullptr;
    PyRef w = slice_of(weights, 0, b.count);
    if (!w) return nullptr;
    PyRef s, t;
    if (strings) {
      // Arrow's large_string layout: int64 offsets and UTF-8 bytes.
      const auto pair = [&](const std::vector<std::int64_t>& offsets,
                            const std::vector<char>& data) -> PyRef {
        const std::uint64_t count = offsets.size(), size = data.size();
        PyRef o = new_array(1, &count, NPY_INT64);
        if (!o) return {};
        PyRef d = new_array(1, &size, NPY_UINT8);
        if (!d) return {};
        if (count) std::memcpy(array_data(o), offsets.data(), count * 8);
        if (size) std::memcpy(array_data(d), data.data(), size);
        return PyRef::steal(PyTuple_Pack(2, o.get(), d.get()));
      };
      s = pair(b.source_offsets, b.sources);
      if (!s) return nullptr;
      t = pair(b.target_offsets, b.targets);
      if (!t) return nullptr;
    } else {
      s = slice_of(sources, 0, b.count);
      if (!s) return nullptr;
      t = slice_of(targets, 0, b.count);
      if (!t) return nullptr;
    }
    return Py_BuildValue("(OKKKOOO)", fault.get(),
                         static_cast<unsigned long long>(b.count),
                         static_cast<unsigned long long>(b.next_offset),
                         static_cast<unsigned long long>(b.next_line), s.get(),
                         t.get(), w.get());
  });
}

}  // namespace velmar::binding::engine
