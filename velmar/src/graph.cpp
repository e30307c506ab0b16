// Builders of the compact graph: one validating pass over caller arrays, the
// symmetrization A + A^T written straight into compact form, and the check
// of caller compact arrays.
//
// Symmetrization produces exactly the entries and sums of
// CsrMatrix::make_undirected (row i of A merged with row i of A^T, an entry
// on one side summed with +0.0, sums comparing equal to 0.0 dropped); the
// scale of each kept entry is then float32(sum) * (1.0f / float32(degree)),
// the product the propagation of the graph store computes per entry.
#include "graph.h"

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "platform.h"
#include "pool.h"
#include "transpose.h"

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
};

namespace {

using detail::as_u64;
using detail::kMergeGrain;
using detail::merge_row;
using detail::part_count;
using detail::split_rows;
using detail::transpose_parts;

std::string dec(std::uint64_t x) { return std::to_string(x); }
std::string dec_signed(std::int64_t x) { return std::to_string(x); }

VelmarError cancelled() { return VelmarError::cancelled(); }
bool raised(const CancelFlag* c) { return c != nullptr && c->is_raised(); }

// The first problem of rows [lo, hi): an out-of-range column (an error) or
// a column not above its predecessor (unsorted). Nothing when all is well.
struct RowProblem {
  std::uint64_t position = 0;
  bool unsorted = false;
  std::uint64_t column = 0;  // the offending value, as stored
  bool negative = false;
};

template <class P, class C>
std::optional<RowProblem> check_rows(const P* rp, const C* col,
                                     std::uint64_t n, std::uint64_t lo,
                                     std::uint64_t hi) {
  for (std::uint64_t i = lo; i < hi; ++i) {
    const std::uint64_t begin = as_u64(rp[i]);
    const std::uint64_t end = as_u64(rp[i + 1]);
    for (std::uint64_t k = begin; k < end; ++k) {
      const C c = col[k];
      if constexpr (std::is_signed_v<C>) {
        if (c < 0) return RowProblem{k, false, as_u64(c), true};
      }
      if (as_u64(c) >= n) return RowProblem{k, false, as_u64(c), false};
      if (k > begin && !(col[k - 1] < c)) return RowProblem{k, true, 0, false};
    }
  }
  return std::nullopt;
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

VelmarError column_error(const RowProblem& p, std::uint64_t n) {
  const std::string value =
      p.negative ? dec_signed(static_cast<std::int64_t>(p.column))
                 : dec(p.column);
  return VelmarError::shape_mismatch(
      "col_indices[" + dec(p.position) + "] = " + value +
      " is out of bounds for graph with " + dec(n) + " nodes");
}

// Whether the transpose of `nnz` entries can count with 32-bit cursors.
constexpr bool narrow_cursors(std::uint64_t nnz) noexcept {
  return nnz <= std::numeric_limits<std::uint32_t>::max();
}

// detail::transpose with its cursors of type K, allocated here and freed on
// return.
template <class K, class P, class C, class O>
Status transpose_counted(const P* rp, const C* a_col, const double* a_val,
                         std::uint64_t n, std::uint64_t parts,
                         std::uint64_t* tp, O* tc, double* tv) {
  Buffer<K> cursors;
  if (parts > 1) {
    auto c = Buffer<K>::allocate(parts * n);
    if (!c.ok()) return std::move(c).error();
    cursors = std::move(c).value();
  }
  detail::transpose(rp, a_col, a_val, n, parts, cursors.data(), tp, tc, tv);
  return ok_status();
}

inline float inverse_degree(std::uint64_t degree) noexcept {
  return 1.0f / static_cast<float>(degree);
}

template <class P, class C, class O>
Result<CompactGraph> symmetrize(const P* rp, const C* a_col,
                                const double* a_val, std::uint64_t n,
                                std::uint64_t nnz, const CancelFlag* cancel) {
  const std::uint64_t workers = num_threads();
  // T = A^T in compressed-sparse-row form.
  auto tp_buf = Buffer<std::uint64_t>::allocate(n + 1);
  if (!tp_buf.ok()) return std::move(tp_buf).error();
  auto tc_buf = Buffer<O>::allocate(nnz);
  if (!tc_buf.ok()) return std::move(tc_buf).error();
  auto tv_buf = Buffer<double>::allocate(nnz);
  if (!tv_buf.ok()) return std::move(tv_buf).error();
  std::uint64_t* tp = tp_buf->data();
  O* tc = tc_buf->data();
  double* tv = tv_buf->data();

  {
    // The cursors are freed before the output is allocated (memory_plan).
    const std::uint64_t parts = transpose_parts(n, nnz, workers);
    Status done = narrow_cursors(nnz)
                      ? transpose_counted<std::uint32_t>(rp, a_col, a_val, n,
                                                         parts, tp, tc, tv)
                      : transpose_counted<std::uint64_t>(rp, a_col, a_val, n,
                                                         parts, tp, tc, tv);
    if (!done.ok()) return std::move(done).error();
  }
  if (raised(cancel)) return cancelled();

  // A counting merge sizes every output row; the rows are then merged again
  // straight into their places.
  CompactGraph g = GraphBuilderAccess::empty_graph();
  auto op_buf = Buffer<std::uint64_t>::allocate(n + 1);
  if (!op_buf.ok()) return std::move(op_buf).error();
  std::uint64_t* op = op_buf->data();
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      std::uint64_t len = 0;
      merge_row(a_col, a_val, as_u64(rp[i]), as_u64(rp[i + 1]), tc, tv, tp[i],
                tp[i + 1], [&len](std::uint64_t, double) { ++len; });
      op[i + 1] = len;
    }
  });
  for (std::uint64_t i = 0; i < n; ++i) op[i + 1] += op[i];
  const std::uint64_t total = op[n];
  if (raised(cancel)) return cancelled();

  auto oc_buf = Buffer<O>::allocate(total);
  if (!oc_buf.ok()) return std::move(oc_buf).error();
  auto os_buf = Buffer<float>::allocate(total);
  if (!os_buf.ok()) return std::move(os_buf).error();
  O* oc = oc_buf->data();
  float* os = os_buf->data();
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      std::uint64_t pos = op[i];
      const float inv = inverse_degree(op[i + 1] - op[i]);
      merge_row(a_col, a_val, as_u64(rp[i]), as_u64(rp[i + 1]), tc, tv, tp[i],
                tp[i + 1], [&](std::uint64_t c, double w) {
                  oc[pos] = static_cast<O>(c);
                  os[pos] = static_cast<float>(w) * inv;
                  ++pos;
                });
    }
  });
  if (raised(cancel)) return cancelled();

  GraphBuilderAccess::view(g) = GraphBuilderAccess::make_view<O>(
      op, oc, os, n, total);
  GraphBuilderAccess::row_ptrs(g) = std::move(op_buf).value();
  GraphBuilderAccess::scales(g) = std::move(os_buf).value();
  if constexpr (sizeof(O) == 4) {
    GraphBuilderAccess::narrow(g) = std::move(oc_buf).value();
  } else {
    GraphBuilderAccess::wide(g) = std::move(oc_buf).value();
  }
  return g;
}

// A itself: the scales are new; row pointers are borrowed when 64-bit and
// columns always (32-bit ones as uint32, 64-bit ones as uint64: the same
// bits, every value validated non-negative).
template <class P, class C>
Result<CompactGraph> directed(const P* rp, const C* col, const double* val,
                              std::uint64_t n, std::uint64_t nnz) {
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
      const float inv = inverse_degree(e - b);
      for (std::uint64_t k = b; k < e; ++k) {
        s[k] = static_cast<float>(val[k]) * inv;
      }
    }
  });
  using U = std::conditional_t<sizeof(C) == 4, std::uint32_t, std::uint64_t>;
  GraphBuilderAccess::view(g) = GraphBuilderAccess::make_view<U>(
      row_ptrs, reinterpret_cast<const U*>(col), s, n, nnz);
  GraphBuilderAccess::scales(g) = std::move(scales).value();
  return g;
}

template <class P, class C>
Result<std::variant<CompactGraph, UnsortedRows>> build_typed(
    const CsrInput& in, bool undirected, const CancelFlag* cancel) {
  using Out = Result<std::variant<CompactGraph, UnsortedRows>>;
  const auto* rp = static_cast<const P*>(in.row_ptrs);
  const auto* col = static_cast<const C*>(in.col_indices);
  const std::uint64_t n = in.num_nodes;
  const std::uint64_t nnz = in.num_entries;
  if (auto err = check_row_ptrs(rp, n, nnz)) return std::move(*err);

  const std::uint64_t parts = part_count(nnz + n, num_threads());
  const std::vector<std::uint64_t> bounds = split_rows(rp, n, parts);
  std::vector<std::optional<RowProblem>> problems(parts);
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      problems[p] = check_rows(rp, col, n, bounds[p], bounds[p + 1]);
    }
  });
  for (const auto& problem : problems) {
    if (!problem) continue;
    if (problem->unsorted) return Out{UnsortedRows{}};
    return column_error(*problem, n);
  }
  if (raised(cancel)) return cancelled();

  Result<CompactGraph> g = VelmarError::cancelled();
  if (!undirected) {
    g = directed(rp, col, in.values, n, nnz);
  } else if (n <= (std::uint64_t{1} << 32)) {
    g = symmetrize<P, C, std::uint32_t>(rp, col, in.values, n, nnz, cancel);
  } else {
    g = symmetrize<P, C, std::uint64_t>(rp, col, in.values, n, nnz, cancel);
  }
  if (!g.ok()) return std::move(g).error();
  return Out{std::move(g).value()};
}

template <class P>
Result<std::variant<CompactGraph, UnsortedRows>> build_by_col(
    const CsrInput& in, bool undirected, const CancelFlag* cancel) {
  switch (in.col_type) {
    case IndexType::kInt32:
      return build_typed<P, std::int32_t>(in, undirected, cancel);
    case IndexType::kUInt32:
      return build_typed<P, std::uint32_t>(in, undirected, cancel);
    case IndexType::kInt64:
      break;
  }
  return build_typed<P, std::int64_t>(in, undirected, cancel);
}

template <class C>
std::optional<VelmarError> check_compact_cols(const CompactInput& in) {
  const auto* col = static_cast<const C*>(in.col_indices);
  const std::uint64_t parts = part_count(in.num_entries, num_threads());
  std::vector<std::optional<RowProblem>> problems(parts);
  const std::uint64_t nnz = in.num_entries;
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      const std::uint64_t b = p * (nnz / parts) + p * (nnz % parts) / parts;
      const std::uint64_t q = p + 1;
      const std::uint64_t e = q * (nnz / parts) + q * (nnz % parts) / parts;
      for (std::uint64_t k = b; k < e; ++k) {
        const C c = col[k];
        bool bad = as_u64(c) >= in.num_nodes;
        if constexpr (std::is_signed_v<C>) bad = bad || c < 0;
        if (bad) {
          problems[p] = RowProblem{k, false, as_u64(c), c < 0};
          break;
        }
      }
    }
  });
  for (const auto& problem : problems) {
    if (problem) return column_error(*problem, in.num_nodes);
  }
  return std::nullopt;
}

}  // namespace

Result<std::variant<CompactGraph, UnsortedRows>> build_compact(
    const CsrInput& input, bool undirected, const CancelFlag* cancel) {
  if (input.num_nodes == std::numeric_limits<std::uint64_t>::max()) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  if (input.row_ptr_type == IndexType::kInt32) {
    return build_by_col<std::int32_t>(input, undirected, cancel);
  }
  return build_by_col<std::int64_t>(input, undirected, cancel);
}

Result<GraphView> view_compact(const CompactInput& input) {
  const std::uint64_t n = input.num_nodes;
  if (n == std::numeric_limits<std::uint64_t>::max()) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  if (auto err = check_row_ptrs(input.row_ptrs, n, input.num_entries)) {
    return std::move(*err);
  }
  const auto* rp = reinterpret_cast<const std::uint64_t*>(input.row_ptrs);
  if (input.col_type == IndexType::kUInt32) {
    if (auto err = check_compact_cols<std::uint32_t>(input)) {
      return std::move(*err);
    }
    return GraphBuilderAccess::make_view(
        rp, static_cast<const std::uint32_t*>(input.col_indices),
        input.scales, n, input.num_entries);
  }
  if (auto err = check_compact_cols<std::int64_t>(input)) {
    return std::move(*err);
  }
  return GraphBuilderAccess::make_view(
      rp, static_cast<const std::uint64_t*>(input.col_indices), input.scales,
      n, input.num_entries);
}

BuildFootprint build_footprint(const CsrInput& shape, bool undirected,
                               std::uint64_t out_entries,
                               std::uint64_t workers) {
  const auto fp = detail::footprint_bytes;
  const std::uint64_t n = shape.num_nodes;
  const std::uint64_t nnz = shape.num_entries;
  BuildFootprint f;
  if (!undirected) {
    f.kept = fp(4 * nnz) +
             (shape.row_ptr_type == IndexType::kInt32 ? fp(8 * (n + 1)) : 0);
    f.peak = f.kept;
    return f;
  }
  const std::uint64_t index = n <= (std::uint64_t{1} << 32) ? 4 : 8;
  const std::uint64_t transpose =
      fp(8 * (n + 1)) + fp(index * nnz) + fp(8 * nnz);
  const std::uint64_t parts = transpose_parts(n, nnz, workers);
  const std::uint64_t cursor_bytes = narrow_cursors(nnz) ? 4 : 8;
  const std::uint64_t cursors =
      parts > 1 ? fp(cursor_bytes * parts * n) : 0;
  f.kept = fp(8 * (n + 1)) + fp(index * out_entries) + fp(4 * out_entries);
  f.peak = transpose + std::max(cursors, f.kept);
  return f;
}

}  // namespace velmar
