// Symmetrization of the graph store: A + A^T of a CsrMatrix, after checking
// its structure, with every pass on the worker pool.
#include "csr.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "buffer.h"
#include "platform.h"
#include "pool.h"
#include "transpose.h"

namespace velmar {

namespace {

constexpr std::uint64_t kMaxI64 =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

using detail::kMergeGrain;
using detail::merge_row;

VelmarError structure_error(const char* kind, const char* detail) {
  return VelmarError::shape_mismatch(
      std::string("Invalid CSR structure: Structure Error (") + kind +
      "): " + detail);
}

// Uninitialised storage for the temporaries of make_undirected; every
// element is written before it is read, so nothing is cleared up front.
template <class T>
class Scratch {
 public:
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { std::free(data_); }

  // A refusal comes back as the OutOfMemory value try_reserve would give.
  Status allocate(std::uint64_t count) {
    const auto bytes = checked_bytes(count, sizeof(T), alignof(T));
    if (!bytes || *bytes > std::numeric_limits<std::size_t>::max()) {
      return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
    }
    if (count == 0) return ok_status();
    data_ = static_cast<T*>(std::malloc(static_cast<std::size_t>(*bytes)));
    if (data_ == nullptr) {
      return VelmarError::out_of_memory(
          TryReserveError::alloc_error(*bytes, alignof(T)));
    }
    // Only useful before the pages are first touched: these buffers are
    // written once, far apart, and 4 KiB page faults would cost as much as
    // the writing.
    platform::advise_huge_pages(data_, static_cast<std::size_t>(*bytes));
    return ok_status();
  }
  T* get() const noexcept { return data_; }
  void release() noexcept {
    std::free(data_);
    data_ = nullptr;
  }

 private:
  T* data_ = nullptr;
};

// The row checks of make_undirected on rows [lo, hi): the first failing
// row's error, unsorted columns before an out-of-range last column.
std::optional<VelmarError> check_rows(const CsrMatrix& m, std::uint64_t lo,
                                      std::uint64_t hi) {
  const std::uint64_t base = m.row_ptrs.front();
  const std::uint64_t* col = m.col_indices.data();
  for (std::uint64_t i = lo; i < hi; ++i) {
    const std::uint64_t begin = m.row_ptrs[i] - base;
    const std::uint64_t end = m.row_ptrs[i + 1] - base;
    for (std::uint64_t k = begin + 1; k < end; ++k) {
      if (col[k - 1] >= col[k]) {
        return structure_error("unsorted", "Indices are not sorted");
      }
    }
    if (begin < end && col[end - 1] >= m.num_nodes) {
      return structure_error("out of range",
                             "Indice is larger than inner dimension");
    }
  }
  return std::nullopt;
}

// The first failed structure check of a matrix handed to make_undirected.
std::optional<VelmarError> check_structure(const CsrMatrix& m) {
  const auto& rp = m.row_ptrs;
  const auto& col = m.col_indices;
  if (m.values.size() != col.size()) {
    return structure_error("size mismatch",
                           "data and indices have different sizes");
  }
  for (std::size_t k = 1; k < rp.size(); ++k) {
    if (rp[k - 1] > rp[k]) {
      return structure_error("unsorted", "Unsorted indptr");
    }
  }
  if (rp.empty()) {
    return structure_error("size mismatch",
                           "An indptr should have its len >= 1");
  }
  if (rp.back() > kMaxI64) {
    return structure_error("out of range",
                           "An indptr value is larger than allowed");
  }
  if (rp.size() - 1 != m.num_nodes) {
    return structure_error("size mismatch",
                           "Indptr length does not match dimension");
  }
  if (col.size() != rp.back() - rp.front()) {
    return structure_error("size mismatch",
                           "Indices length and inpdtr's nnz do not match");
  }
  // Each part stops at its own first failure; the earliest failing part
  // holds the first failing row.
  const std::uint64_t parts =
      detail::part_count(col.size() + m.num_nodes, num_threads());
  const std::vector<std::uint64_t> bounds =
      detail::split_rows(rp.data(), m.num_nodes, parts);
  std::vector<std::optional<VelmarError>> failures(parts);
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      failures[p] = check_rows(m, bounds[p], bounds[p + 1]);
    }
  });
  for (auto& failure : failures) {
    if (failure) return std::move(failure);
  }
  return std::nullopt;
}

}  // namespace

// Allocation of the transpose and of the result is fallible: a refusal is
// returned as an OutOfMemory value, like the builders', instead of ending the
// process.
//
// Every pass runs on the worker pool and writes only its own rows, columns or
// parts, and each produces exactly what the sequential algorithm produces:
// the transpose lists each row's columns in ascending order, and every output
// row is the same merge of the same operands.
Result<CsrMatrix> CsrMatrix::make_undirected() const {
  if (auto err = check_structure(*this)) return std::move(*err);

  const std::uint64_t n = num_nodes;
  // Entries are addressed relative to row_ptrs[0], which the structure check
  // ties to the length of col_indices; builders always start at 0.
  const std::uint64_t base = row_ptrs.front();
  const std::uint64_t nnz = col_indices.size();
  const std::uint64_t* a_col = col_indices.data();
  const double* a_val = values.data();

  // T = A^T in compressed-sparse-row form.
  Scratch<std::uint64_t> t_ptrs;
  Scratch<std::uint64_t> t_cols;
  Scratch<double> t_vals;
  if (Status s = t_ptrs.allocate(n + 1); !s) return std::move(s).error();
  if (Status s = t_cols.allocate(nnz); !s) return std::move(s).error();
  if (Status s = t_vals.allocate(nnz); !s) return std::move(s).error();
  std::uint64_t* tp = t_ptrs.get();
  std::uint64_t* tc = t_cols.get();
  double* tv = t_vals.get();

  {
    const std::uint64_t parts = detail::transpose_parts(n, nnz, num_threads());
    Scratch<std::uint64_t> cursors;
    if (parts > 1) {
      if (Status s = cursors.allocate(parts * n); !s) {
        return std::move(s).error();
      }
    }
    detail::transpose(row_ptrs.data(), a_col, a_val, n, parts, cursors.get(),
                      tp, tc, tv);
  }

  // The sum: a counting merge sizes every output row, then the rows are
  // merged again straight into their final places.
  CsrMatrix out;
  out.num_nodes = n;
  if (Status s = try_reserve(out.row_ptrs, n + 1); !s) {
    return std::move(s).error();
  }
  out.row_ptrs.resize(n + 1);
  std::uint64_t* op = out.row_ptrs.data();
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      std::uint64_t len = 0;
      merge_row(a_col, a_val, row_ptrs[i] - base, row_ptrs[i + 1] - base, tc,
                tv, tp[i], tp[i + 1],
                [&len](std::uint64_t, double) { ++len; });
      op[i + 1] = len;
    }
  });
  op[0] = 0;
  for (std::uint64_t i = 0; i < n; ++i) op[i + 1] += op[i];
  const std::uint64_t total = op[n];

  if (Status s = try_reserve(out.col_indices, total); !s) {
    return std::move(s).error();
  }
  if (Status s = try_reserve(out.values, total); !s) {
    return std::move(s).error();
  }
  platform::advise_huge_pages(out.col_indices.data(),
                              total * sizeof(std::uint64_t));
  platform::advise_huge_pages(out.values.data(), total * sizeof(double));
  // Within the reserved capacity, so neither allocates; the two clearing
  // passes run side by side.
  parallel_for(0, 2, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t which = lo; which < hi; ++which) {
      if (which == 0) {
        out.col_indices.resize(total);
      } else {
        out.values.resize(total);
      }
    }
  });
  std::uint64_t* oc = out.col_indices.data();
  double* ov = out.values.data();
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      std::uint64_t pos = op[i];
      merge_row(a_col, a_val, row_ptrs[i] - base, row_ptrs[i + 1] - base, tc,
                tv, tp[i], tp[i + 1], [&](std::uint64_t c, double w) {
                  oc[pos] = c;
                  ov[pos] = w;
                  ++pos;
                });
    }
  });
  return out;
}

}  // namespace velmar
