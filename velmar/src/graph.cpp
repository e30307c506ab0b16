// Builders of the compact graph: one validating pass over caller arrays,
// rows sorted into a copy where they need it, A + A^T written straight into
// compact form, and the check of caller compact arrays. The sorting, the sums
// and the scales are the shared builder's (builder.h), so a graph built here
// holds exactly the entries of the graph store's matrix of the same input.
#include "graph.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "builder.h"
#include "platform.h"
#include "pool.h"

namespace velmar {

// The only code that constructs views and compact graphs.
class GraphBuilderAccess {
 public:
  template <class O>
  static GraphView make_view(const std::uint64_t* row_ptrs, const O* cols,
                             const float* scales, std::uint64_t n,
                             std::uint64_t nnz) {
    GraphView v;
    v.row_ptrs_ = row_ptrs;
    if constexpr (sizeof(O) == 4) {
      v.narrow_ = reinterpret_cast<const std::uint32_t*>(cols);
    } else {
      v.wide_ = reinterpret_cast<const std::uint64_t*>(cols);
    }
    v.scales_ = scales;
    v.n_ = n;
    v.nnz_ = nnz;
    return v;
  }
  static CompactGraph empty_graph() { return CompactGraph{}; }
  static Buffer<std::uint64_t>& row_ptrs(CompactGraph& g) {
    return g.row_ptrs_;
  }
  static Buffer<std::uint32_t>& narrow(CompactGraph& g) { return g.narrow_; }
  static Buffer<std::uint64_t>& wide(CompactGraph& g) { return g.wide_; }
  static Buffer<float>& scales(CompactGraph& g) { return g.scales_; }
  static GraphView& view(CompactGraph& g) { return g.view_; }
  static void own_values(CompactGraph& g, Buffer<double> values) {
    g.values_ = values.data();
    g.values_owned_ = std::move(values);
  }
  static void borrow_values(CompactGraph& g, const double* values) {
    g.values_ = values;
  }
  static void set_row_map(GraphView& v, const std::uint64_t* row_map) {
    v.row_map_ = row_map;
  }
  static GraphView rescaled(const GraphView& v, const float* scales) {
    GraphView out = v;
    out.scales_ = scales;
    return out;
  }
};

namespace {

using detail::as_u64;
using detail::kMergeGrain;
using detail::part_count;
using detail::split_rows;

std::string dec(std::uint64_t x) { return std::to_string(x); }
std::string dec_signed(std::int64_t x) { return std::to_string(x); }

VelmarError cancelled() { return VelmarError::cancelled(); }
bool raised(const CancelFlag* c) { return c != nullptr && c->is_raised(); }

// Entries a serial loop handles between looks at the cancel flag: a few
// milliseconds of work.
constexpr std::uint64_t kCheckEntries = std::uint64_t{1} << 20;

// body(lo, hi) over [0, count) in pieces of `piece` (kCheckEntries unless
// each index stands for more work); false, with the rest skipped, once
// `cancel` is raised.
template <class Body>
bool serial_pieces(std::uint64_t count, const CancelFlag* cancel, Body&& body,
                   std::uint64_t piece = kCheckEntries) {
  for (std::uint64_t lo = 0; lo < count; lo += piece) {
    if (raised(cancel)) return false;
    body(lo, std::min(count, lo + piece));
  }
  return !raised(cancel);
}

// Column type of the graphs and copies the builders allocate.
constexpr bool narrow_columns(std::uint64_t n) noexcept {
  return n <= (std::uint64_t{1} << 32);
}

// An index out of range: where, and the value as stored.
struct BadIndex {
  std::uint64_t position = 0;
  std::uint64_t value = 0;
  bool negative = false;
};

template <class C>
std::optional<BadIndex> check_index(const C* a, std::uint64_t k,
                                    std::uint64_t n) {
  const C c = a[k];
  if constexpr (std::is_signed_v<C>) {
    if (c < 0) return BadIndex{k, as_u64(c), true};
  }
  if (as_u64(c) >= n) return BadIndex{k, as_u64(c), false};
  return std::nullopt;
}

VelmarError index_error(const char* array, const BadIndex& p, std::uint64_t n) {
  const std::string value = p.negative
                                ? dec_signed(static_cast<std::int64_t>(p.value))
                                : dec(p.value);
  return VelmarError::shape_mismatch(
      std::string(array) + "[" + dec(p.position) + "] = " + value +
      " is out of bounds for graph with " + dec(n) + " nodes");
}

// What one part of the rows holds: its first column out of range, and
// whether some row's columns fail to strictly increase.
struct RowScan {
  std::optional<BadIndex> bad;
  bool unsorted = false;
};

template <class P, class C>
RowScan scan_rows(const P* rp, const C* col, std::uint64_t n, std::uint64_t lo,
                  std::uint64_t hi, const CancelFlag* cancel) {
  RowScan scan;
  for (std::uint64_t i = lo; i < hi; ++i) {
    if ((i - lo) % detail::kStopRows == 0 && raised(cancel)) return scan;
    const std::uint64_t begin = as_u64(rp[i]);
    const std::uint64_t end = as_u64(rp[i + 1]);
    for (std::uint64_t k = begin; k < end; ++k) {
      if (auto bad = check_index(col, k, n)) {
        scan.bad = bad;
        return scan;
      }
    }
    if (!scan.unsorted && !detail::row_sorted(col, begin, end)) {
      scan.unsorted = true;
    }
  }
  return scan;
}

template <class P>
std::optional<VelmarError> check_row_ptrs(const P* rp, std::uint64_t n,
                                          std::uint64_t nnz) {
  if (rp[0] != 0) {
    return VelmarError::shape_mismatch("row_ptrs[0] must be 0, got " +
                                       dec_signed(rp[0]));
  }
  for (std::uint64_t i = 1; i <= n; ++i) {
    if (rp[i] < rp[i - 1]) {
      return VelmarError::shape_mismatch(
          "row_ptrs must be non-decreasing, found " + dec_signed(rp[i - 1]) +
          " followed by " + dec_signed(rp[i]) + " at position " + dec(i));
    }
  }
  if (as_u64(rp[n]) != nnz) {
    return VelmarError::shape_mismatch(
        "row_ptrs last element (" + dec_signed(rp[n]) +
        ") must equal the number of entries (" + dec(nnz) + ")");
  }
  return std::nullopt;
}

// The first index of a[0, m) outside [0, n), scanned in parts (none when
// `cancel` is raised meanwhile: the caller looks at it).
template <class C>
std::optional<BadIndex> first_bad_index(const C* a, std::uint64_t m,
                                        std::uint64_t n,
                                        const CancelFlag* cancel) {
  const std::uint64_t parts = part_count(m, num_threads());
  std::vector<std::optional<BadIndex>> found(parts);
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      const std::uint64_t b = p * (m / parts) + p * (m % parts) / parts;
      const std::uint64_t q = p + 1;
      const std::uint64_t e = q * (m / parts) + q * (m % parts) / parts;
      for (std::uint64_t k = b; k < e; ++k) {
        if ((k - b) % kCheckEntries == 0 && raised(cancel)) return;
        if (auto bad = check_index(a, k, n)) {
          found[p] = bad;
          break;
        }
      }
    }
  });
  for (const auto& bad : found) {
    if (bad) return bad;
  }
  return std::nullopt;
}

// Owned rows in canonical form: what the builders make of caller entries
// whose rows are not.
template <class O>
struct SortedRows {
  Buffer<std::uint64_t> row_ptrs;
  Buffer<O> cols;
  Buffer<double> values;
};

template <class O>
Result<SortedRows<O>> allocate_rows(std::uint64_t n, std::uint64_t nnz) {
  SortedRows<O> s;
  auto rp = Buffer<std::uint64_t>::allocate(n + 1);
  if (!rp.ok()) return std::move(rp).error();
  auto cols = Buffer<O>::allocate(nnz);
  if (!cols.ok()) return std::move(cols).error();
  auto vals = Buffer<double>::allocate(nnz);
  if (!vals.ok()) return std::move(vals).error();
  s.row_ptrs = std::move(rp).value();
  s.cols = std::move(cols).value();
  s.values = std::move(vals).value();
  return s;
}

// Sorts every row of `s` (builder.h's sort_row) and closes the gaps that
// summed duplicates leave; Cancelled, with `s` unusable, once `cancel` is
// raised.
template <class O>
Status sort_rows(SortedRows<O>& s, std::uint64_t n, const CancelFlag* cancel) {
  auto len_buf = Buffer<std::uint64_t>::allocate(n);
  if (!len_buf.ok()) return std::move(len_buf).error();
  std::uint64_t* const rp = s.row_ptrs.data();
  O* const col = s.cols.data();
  double* const val = s.values.data();
  std::uint64_t* const len = len_buf->data();
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    std::vector<detail::RowEntry<O>> scratch;
    for (std::uint64_t i = lo; i < hi; ++i) {
      // A look per kMergeGrain rows: a block may hold many of them.
      if ((i - lo) % kMergeGrain == 0 && raised(cancel)) return;
      len[i] =
          detail::row_sorted(col, rp[i], rp[i + 1])
              ? rp[i + 1] - rp[i]
              : detail::sort_row(col, val, rp[i], rp[i + 1], rp[i], scratch);
    }
  });
  std::uint64_t k = 0;
  // Rows in pieces of about kCheckEntries entries.
  const std::uint64_t per_row = rp[n] / (n + 1) + 1;
  const bool done = serial_pieces(
      n, cancel,
      [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t i = lo; i < hi; ++i) {
          const std::uint64_t from = rp[i];
          if (from != k) {
            std::copy(col + from, col + from + len[i], col + k);
            std::copy(val + from, val + from + len[i], val + k);
          }
          rp[i] = k;
          k += len[i];
        }
      },
      std::max<std::uint64_t>(1, kCheckEntries / per_row));
  if (!done) return cancelled();
  rp[n] = k;
  return ok_status();
}

// A canonical copy of caller CSR rows.
template <class O, class P, class C>
Result<SortedRows<O>> sorted_copy(const P* rp, const C* col, const double* val,
                                  std::uint64_t n, std::uint64_t nnz,
                                  const CancelFlag* cancel) {
  auto made = allocate_rows<O>(n, nnz);
  if (!made.ok()) return made;
  SortedRows<O>& s = made.value();
  for (std::uint64_t i = 0; i <= n; ++i) s.row_ptrs.data()[i] = as_u64(rp[i]);
  const bool copied =
      serial_pieces(nnz, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t k = lo; k < hi; ++k) {
          s.cols.data()[k] = static_cast<O>(col[k]);
          s.values.data()[k] = val[k];
        }
      });
  if (!copied) return cancelled();
  if (Status sorted = sort_rows(s, n, cancel); !sorted.ok()) {
    return sorted.error();
  }
  return made;
}

// Caller entries in any order, bucketed by row in their given order (a
// stable counting sort), then sorted.
template <class O, class R, class C>
Result<SortedRows<O>> bucketed_copy(const R* rows, const C* cols,
                                    const double* val, std::uint64_t n,
                                    std::uint64_t nnz,
                                    const CancelFlag* cancel) {
  auto made = allocate_rows<O>(n, nnz);
  if (!made.ok()) return made;
  SortedRows<O>& s = made.value();
  std::uint64_t* const rp = s.row_ptrs.data();
  // rp[r + 1] first counts row r; the running sum turns rp[r] into the start
  // of row r; placing entries moves rp[r] to the end of row r, and a shift
  // by one restores the starts.
  std::fill(rp, rp + n + 1, std::uint64_t{0});
  const bool counted =
      serial_pieces(nnz, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t k = lo; k < hi; ++k) ++rp[as_u64(rows[k]) + 1];
      });
  if (!counted) return cancelled();
  for (std::uint64_t r = 0; r < n; ++r) rp[r + 1] += rp[r];
  const auto stop = [cancel] { return raised(cancel); };
  detail::first_touch(s.cols.data(), nnz, stop);
  detail::first_touch(s.values.data(), nnz, stop);
  const bool placed =
      serial_pieces(nnz, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t k = lo; k < hi; ++k) {
          const std::uint64_t pos = rp[as_u64(rows[k])]++;
          s.cols.data()[pos] = static_cast<O>(cols[k]);
          s.values.data()[pos] = val[k];
        }
      });
  if (!placed) return cancelled();
  for (std::uint64_t r = n; r > 0; --r) rp[r] = rp[r - 1];
  rp[0] = 0;
  if (Status sorted = sort_rows(s, n, cancel); !sorted.ok()) {
    return sorted.error();
  }
  return made;
}

// Writes the symmetrized entries into a compact graph's buffers.
template <class O>
struct CompactSink {
  std::uint64_t n = 0;
  bool keep_values = false;
  Buffer<std::uint64_t> row_ptrs;
  Buffer<O> cols;
  Buffer<float> scales;
  Buffer<double> values;

  Result<std::uint64_t*> row_pointers() {
    auto rp = Buffer<std::uint64_t>::allocate(n + 1);
    if (!rp.ok()) return std::move(rp).error();
    row_ptrs = std::move(rp).value();
    return row_ptrs.data();
  }
  Status reserve(std::uint64_t total) {
    auto c = Buffer<O>::allocate(total);
    if (!c.ok()) return std::move(c).error();
    cols = std::move(c).value();
    auto sc = Buffer<float>::allocate(total);
    if (!sc.ok()) return std::move(sc).error();
    scales = std::move(sc).value();
    if (keep_values) {
      auto v = Buffer<double>::allocate(total);
      if (!v.ok()) return std::move(v).error();
      values = std::move(v).value();
    }
    return ok_status();
  }
  void put(std::uint64_t pos, std::uint64_t c, double w,
           float inverse) noexcept {
    cols.data()[pos] = static_cast<O>(c);
    scales.data()[pos] = detail::entry_scale(w, inverse);
    if (keep_values) values.data()[pos] = w;
  }
};

template <class O, class P, class C>
Result<CompactGraph> symmetrized(const P* rp, const C* a_col,
                                 const double* a_val, std::uint64_t n,
                                 bool keep_values, const CancelFlag* cancel) {
  CompactSink<O> sink;
  sink.n = n;
  sink.keep_values = keep_values;
  Status done = detail::symmetrize<O>(rp, a_col, a_val, n, sink,
                                      [cancel] { return raised(cancel); });
  if (!done.ok()) return std::move(done).error();
  const std::uint64_t total = sink.row_ptrs.data()[n];
  CompactGraph g = GraphBuilderAccess::empty_graph();
  GraphBuilderAccess::view(g) = GraphBuilderAccess::make_view<O>(
      sink.row_ptrs.data(), sink.cols.data(), sink.scales.data(), n, total);
  GraphBuilderAccess::row_ptrs(g) = std::move(sink.row_ptrs);
  GraphBuilderAccess::scales(g) = std::move(sink.scales);
  if constexpr (sizeof(O) == 4) {
    GraphBuilderAccess::narrow(g) = std::move(sink.cols);
  } else {
    GraphBuilderAccess::wide(g) = std::move(sink.cols);
  }
  if (keep_values) GraphBuilderAccess::own_values(g, std::move(sink.values));
  return g;
}

// A itself: the scales are new; row pointers are borrowed when 64-bit and
// columns always (32-bit ones as uint32, 64-bit ones as uint64: the same
// bits, every value validated non-negative), as are the values when kept.
template <class P, class C>
Result<CompactGraph> directed(const P* rp, const C* col, const double* val,
                              std::uint64_t n, std::uint64_t nnz,
                              bool keep_values) {
  CompactGraph g = GraphBuilderAccess::empty_graph();
  const std::uint64_t* row_ptrs = nullptr;
  if constexpr (sizeof(P) == 8) {
    row_ptrs = reinterpret_cast<const std::uint64_t*>(rp);
  } else {
    auto copy = Buffer<std::uint64_t>::allocate(n + 1);
    if (!copy.ok()) return std::move(copy).error();
    for (std::uint64_t i = 0; i <= n; ++i) copy->data()[i] = as_u64(rp[i]);
    row_ptrs = copy->data();
    GraphBuilderAccess::row_ptrs(g) = std::move(copy).value();
  }
  auto scales = Buffer<float>::allocate(nnz);
  if (!scales.ok()) return std::move(scales).error();
  float* s = scales->data();
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      const std::uint64_t b = row_ptrs[i];
      const std::uint64_t e = row_ptrs[i + 1];
      if (b == e) continue;
      const float inverse = detail::inverse_degree(e - b);
      for (std::uint64_t k = b; k < e; ++k) {
        s[k] = detail::entry_scale(val[k], inverse);
      }
    }
  });
  using U = std::conditional_t<sizeof(C) == 4, std::uint32_t, std::uint64_t>;
  GraphBuilderAccess::view(g) = GraphBuilderAccess::make_view<U>(
      row_ptrs, reinterpret_cast<const U*>(col), s, n, nnz);
  GraphBuilderAccess::scales(g) = std::move(scales).value();
  if (keep_values) GraphBuilderAccess::borrow_values(g, val);
  return g;
}

// The compact graph of validated rows whose columns strictly increase.
template <class P, class C>
Result<CompactGraph> from_sorted(const P* rp, const C* col, const double* val,
                                 std::uint64_t n, std::uint64_t nnz,
                                 const BuildOptions& options,
                                 const CancelFlag* cancel) {
  if (!options.undirected) {
    return directed(rp, col, val, n, nnz, options.keep_values);
  }
  if (narrow_columns(n)) {
    return symmetrized<std::uint32_t>(rp, col, val, n, options.keep_values,
                                      cancel);
  }
  return symmetrized<std::uint64_t>(rp, col, val, n, options.keep_values,
                                    cancel);
}

// The compact graph of an owned canonical copy; a directed graph takes the
// copy's arrays over.
template <class O>
Result<CompactGraph> from_copy(SortedRows<O> s, std::uint64_t n,
                               const BuildOptions& options,
                               const CancelFlag* cancel) {
  if (raised(cancel)) return cancelled();
  const std::uint64_t nnz = s.row_ptrs.data()[n];
  auto g = from_sorted(s.row_ptrs.data(), s.cols.data(), s.values.data(), n,
                       nnz, options, cancel);
  if (!g.ok() || options.undirected) return g;
  CompactGraph& graph = g.value();
  GraphBuilderAccess::row_ptrs(graph) = std::move(s.row_ptrs);
  if constexpr (sizeof(O) == 4) {
    GraphBuilderAccess::narrow(graph) = std::move(s.cols);
  } else {
    GraphBuilderAccess::wide(graph) = std::move(s.cols);
  }
  if (options.keep_values) {
    GraphBuilderAccess::own_values(graph, std::move(s.values));
  }
  return g;
}

template <class P, class C>
Result<CompactGraph> build_typed(const CsrInput& in,
                                 const BuildOptions& options,
                                 const CancelFlag* cancel) {
  const auto* rp = static_cast<const P*>(in.row_ptrs);
  const auto* col = static_cast<const C*>(in.col_indices);
  const std::uint64_t n = in.num_nodes;
  const std::uint64_t nnz = in.num_entries;
  if (auto err = check_row_ptrs(rp, n, nnz)) return std::move(*err);

  const std::uint64_t parts = part_count(nnz + n, num_threads());
  const std::vector<std::uint64_t> bounds = split_rows(rp, n, parts);
  std::vector<RowScan> scans(parts);
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      scans[p] = scan_rows(rp, col, n, bounds[p], bounds[p + 1], cancel);
    }
  });
  if (raised(cancel)) return cancelled();
  bool unsorted = false;
  for (const auto& scan : scans) {
    if (scan.bad) return index_error("col_indices", *scan.bad, n);
    unsorted = unsorted || scan.unsorted;
  }
  if (!unsorted)
    return from_sorted(rp, col, in.values, n, nnz, options, cancel);
  if (narrow_columns(n)) {
    auto copy = sorted_copy<std::uint32_t>(rp, col, in.values, n, nnz, cancel);
    if (!copy.ok()) return std::move(copy).error();
    return from_copy(std::move(copy).value(), n, options, cancel);
  }
  auto copy = sorted_copy<std::uint64_t>(rp, col, in.values, n, nnz, cancel);
  if (!copy.ok()) return std::move(copy).error();
  return from_copy(std::move(copy).value(), n, options, cancel);
}

template <class P>
Result<CompactGraph> build_by_col(const CsrInput& in,
                                  const BuildOptions& options,
                                  const CancelFlag* cancel) {
  switch (in.col_type) {
    case IndexType::kInt32:
      return build_typed<P, std::int32_t>(in, options, cancel);
    case IndexType::kUInt32:
      return build_typed<P, std::uint32_t>(in, options, cancel);
    case IndexType::kInt64:
      break;
  }
  return build_typed<P, std::int64_t>(in, options, cancel);
}

template <class R, class C>
Result<CompactGraph> build_coo_typed(const CooInput& in,
                                     const BuildOptions& options,
                                     const CancelFlag* cancel) {
  const auto* rows = static_cast<const R*>(in.rows);
  const auto* cols = static_cast<const C*>(in.cols);
  const std::uint64_t n = in.num_nodes;
  const std::uint64_t nnz = in.num_entries;
  if (auto bad = first_bad_index(rows, nnz, n, cancel)) {
    return index_error("rows", *bad, n);
  }
  if (auto bad = first_bad_index(cols, nnz, n, cancel)) {
    return index_error("col_indices", *bad, n);
  }
  if (raised(cancel)) return cancelled();
  if (narrow_columns(n)) {
    auto copy =
        bucketed_copy<std::uint32_t>(rows, cols, in.values, n, nnz, cancel);
    if (!copy.ok()) return std::move(copy).error();
    return from_copy(std::move(copy).value(), n, options, cancel);
  }
  auto copy =
      bucketed_copy<std::uint64_t>(rows, cols, in.values, n, nnz, cancel);
  if (!copy.ok()) return std::move(copy).error();
  return from_copy(std::move(copy).value(), n, options, cancel);
}

template <class R>
Result<CompactGraph> build_coo_by_col(const CooInput& in,
                                      const BuildOptions& options,
                                      const CancelFlag* cancel) {
  switch (in.col_type) {
    case IndexType::kInt32:
      return build_coo_typed<R, std::int32_t>(in, options, cancel);
    case IndexType::kUInt32:
      return build_coo_typed<R, std::uint32_t>(in, options, cancel);
    case IndexType::kInt64:
      break;
  }
  return build_coo_typed<R, std::int64_t>(in, options, cancel);
}

// A row map must name every row once: every output row is then written by
// exactly one stored row.
Status check_row_map(const std::uint64_t* map, std::uint64_t n) {
  auto seen = Buffer<std::uint64_t>::allocate(n / 64 + 1);
  if (!seen.ok()) return std::move(seen).error();
  std::uint64_t* const bits = seen->data();
  for (std::uint64_t p = 0; p < n; ++p) {
    const std::uint64_t i = map[p];
    const std::uint64_t bit = std::uint64_t{1} << (i % 64);
    if (i >= n || (bits[i / 64] & bit) != 0) {
      return VelmarError::invalid_input(
          "the row map must be a permutation of the rows; entry " + dec(p) +
          " is " + (i >= n ? "out of range" : "a repeat"));
    }
    bits[i / 64] |= bit;
  }
  return ok_status();
}

// The view of checked compact arrays.
template <class C>
Result<GraphView> compact_view(const CompactInput& in) {
  const auto* col = static_cast<const C*>(in.col_indices);
  if (auto bad = first_bad_index(col, in.num_entries, in.num_nodes, nullptr)) {
    return index_error("col_indices", *bad, in.num_nodes);
  }
  using U = std::conditional_t<sizeof(C) == 4, std::uint32_t, std::uint64_t>;
  return GraphBuilderAccess::make_view(
      reinterpret_cast<const std::uint64_t*>(in.row_ptrs),
      reinterpret_cast<const U*>(col), in.scales, in.num_nodes, in.num_entries);
}

}  // namespace

Result<CompactGraph> build_compact(const CsrInput& input,
                                   const BuildOptions& options,
                                   const CancelFlag* cancel) {
  if (input.num_nodes == std::numeric_limits<std::uint64_t>::max()) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  if (input.row_ptr_type == IndexType::kInt32) {
    return build_by_col<std::int32_t>(input, options, cancel);
  }
  return build_by_col<std::int64_t>(input, options, cancel);
}

Result<CompactGraph> build_compact(const CooInput& input,
                                   const BuildOptions& options,
                                   const CancelFlag* cancel) {
  if (input.num_nodes == std::numeric_limits<std::uint64_t>::max()) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  if (input.row_type == IndexType::kInt32) {
    return build_coo_by_col<std::int32_t>(input, options, cancel);
  }
  return build_coo_by_col<std::int64_t>(input, options, cancel);
}

std::uint64_t merge_sorted(std::int64_t* r, std::int64_t* c,
                           const std::int64_t* side, double* w,
                           std::uint64_t count, bool undirected) noexcept {
  // Duplicates first: one sum per (r, c, side), written in place.
  std::uint64_t runs = 0;
  std::int64_t run_side = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    if (runs > 0 && r[runs - 1] == r[k] && c[runs - 1] == c[k] &&
        run_side == side[k]) {
      w[runs - 1] = detail::sum_duplicate(w[runs - 1], w[k]);
      continue;
    }
    r[runs] = r[k];
    c[runs] = c[k];
    w[runs] = w[k];
    run_side = side[k];
    ++runs;
  }
  if (!undirected) return runs;
  // Then each position's sides: two runs of one position are its two sides,
  // A's sum (side 0) first.
  std::uint64_t out = 0;
  for (std::uint64_t k = 0; k < runs;) {
    const bool pair = k + 1 < runs && r[k + 1] == r[k] && c[k + 1] == c[k];
    const double sum =
        pair ? detail::pair_sum(w[k], w[k + 1]) : detail::one_side_sum(w[k]);
    if (detail::stored(sum)) {
      r[out] = r[k];
      c[out] = c[k];
      w[out] = sum;
      ++out;
    }
    k += pair ? 2 : 1;
  }
  return out;
}

void entry_scales(const std::int64_t* row_ptrs, std::uint64_t rows,
                  const double* values, float* scales) noexcept {
  for (std::uint64_t i = 0; i < rows; ++i) {
    const auto b = static_cast<std::uint64_t>(row_ptrs[i]);
    const auto e = static_cast<std::uint64_t>(row_ptrs[i + 1]);
    if (b == e) continue;
    const float inverse = detail::inverse_degree(e - b);
    for (std::uint64_t k = b; k < e; ++k) {
      scales[k] = detail::entry_scale(values[k], inverse);
    }
  }
}

Result<GraphView> view_compact(const CompactInput& input) {
  const std::uint64_t n = input.num_nodes;
  if (n == std::numeric_limits<std::uint64_t>::max()) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  if (auto err = check_row_ptrs(input.row_ptrs, n, input.num_entries)) {
    return std::move(*err);
  }
  auto view = input.col_type == IndexType::kUInt32
                  ? compact_view<std::uint32_t>(input)
                  : compact_view<std::int64_t>(input);
  if (!view.ok()) return view;
  if (input.row_map != nullptr) {
    if (Status s = check_row_map(input.row_map, n); !s.ok()) {
      return std::move(s).error();
    }
    GraphBuilderAccess::set_row_map(view.value(), input.row_map);
  }
  return view;
}

GraphView with_scales(const GraphView& graph, const float* scales) noexcept {
  return GraphBuilderAccess::rescaled(graph, scales);
}

BuildFootprint build_footprint(const GraphShape& shape, std::uint64_t workers) {
  const auto fp = detail::footprint_bytes;
  const std::uint64_t n = shape.num_nodes;
  const std::uint64_t nnz = shape.num_entries;
  const std::uint64_t out_entries = shape.out_entries;
  const bool sorted = shape.sorted;
  const BuildOptions& options = shape.build;
  const std::uint64_t index = narrow_columns(n) ? 4 : 8;
  // The canonical copy of rows that need sorting, and the row lengths its
  // sort keeps meanwhile.
  const std::uint64_t copy =
      sorted ? 0 : fp(8 * (n + 1)) + fp(index * nnz) + fp(8 * nnz);
  const std::uint64_t lengths = sorted ? 0 : fp(8 * n);
  BuildFootprint f;
  if (!options.undirected) {
    const std::uint64_t scales = fp(4 * nnz);
    if (sorted) {
      f.kept = scales + (shape.row_ptrs_32bit ? fp(8 * (n + 1)) : 0);
      f.peak = f.kept;
      return f;
    }
    // The copy's row pointers and columns become the graph's; its values
    // stay only when kept.
    f.kept = fp(8 * (n + 1)) + fp(index * nnz) + scales +
             (options.keep_values ? fp(8 * nnz) : 0);
    f.peak = copy + std::max(lengths, scales);
    return f;
  }
  const std::uint64_t transpose =
      fp(8 * (n + 1)) + fp(index * nnz) + fp(8 * nnz);
  const std::uint64_t parts = detail::transpose_parts(n, nnz, workers);
  const std::uint64_t cursor_bytes = nnz <= 0xFFFFFFFFull ? 4 : 8;
  const std::uint64_t cursors = parts > 1 ? fp(cursor_bytes * parts * n) : 0;
  f.kept = fp(8 * (n + 1)) + fp(index * out_entries) + fp(4 * out_entries) +
           (options.keep_values ? fp(8 * out_entries) : 0);
  f.peak = copy + std::max(lengths, transpose + std::max(cursors, f.kept));
  return f;
}

}  // namespace velmar
