// The graph store's builders: validation of caller CSR arrays, row
// normalisation, and the dense and adjacency-list builders.
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
#include "builder.h"
#include "platform.h"
#include "pool.h"

namespace velmar {

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::string dec(std::uint64_t x) { return std::to_string(x); }

// num_nodes + 1 in decimal; 2^64 for the largest count, without overflowing.
std::string dec_plus_one(std::uint64_t x) {
  return x == kMaxU64 ? std::string("18446744073709551616") : dec(x + 1);
}

bool rows_strictly_increasing(const CsrMatrix& m) {
  for (std::uint64_t i = 0; i < m.num_nodes; ++i) {
    if (!detail::row_sorted(m.col_indices.data(), m.row_ptrs[i],
                            m.row_ptrs[i + 1])) {
      return false;
    }
  }
  return true;
}

}  // namespace

Result<CsrMatrix> build_from_csr(std::vector<std::uint64_t> row_ptrs,
                                 std::vector<std::uint64_t> col_indices,
                                 std::vector<double> values,
                                 std::uint64_t num_nodes) {
  // A length of 2^64 cannot exist, so the largest count always fails here.
  if (num_nodes == kMaxU64 || row_ptrs.size() != num_nodes + 1) {
    return VelmarError::shape_mismatch(
        "row_ptrs length " + dec(row_ptrs.size()) + " must be num_nodes + 1 (" +
        dec_plus_one(num_nodes) + ")");
  }
  if (col_indices.size() != values.size()) {
    return VelmarError::shape_mismatch(
        "col_indices and values must have the same length");
  }
  if (row_ptrs[0] != 0) {
    return VelmarError::shape_mismatch("row_ptrs[0] must be 0, got " +
                                       dec(row_ptrs[0]));
  }
  if (row_ptrs.back() != col_indices.size()) {
    return VelmarError::shape_mismatch(
        "row_ptrs last element (" + dec(row_ptrs.back()) +
        ") must equal col_indices length (" + dec(col_indices.size()) + ")");
  }
  for (std::size_t k = 1; k < row_ptrs.size(); ++k) {
    if (row_ptrs[k - 1] > row_ptrs[k]) {
      return VelmarError::shape_mismatch(
          "row_ptrs must be monotonically non-decreasing, found " +
          dec(row_ptrs[k - 1]) + " followed by " + dec(row_ptrs[k]));
    }
  }
  for (std::size_t i = 0; i < col_indices.size(); ++i) {
    if (col_indices[i] >= num_nodes) {
      return VelmarError::shape_mismatch(
          "col_indices[" + dec(i) + "] = " + dec(col_indices[i]) +
          " is out of bounds for graph with " + dec(num_nodes) + " nodes");
    }
  }
  CsrMatrix m{std::move(row_ptrs), std::move(col_indices), std::move(values),
              num_nodes};
  m.sort_indices();
  return m;
}

void CsrMatrix::sort_indices() {
  if (num_nodes == 0 || rows_strictly_increasing(*this)) return;

  std::vector<std::uint64_t> new_ptrs;
  new_ptrs.reserve(num_nodes + 1);
  new_ptrs.push_back(0);
  std::vector<detail::RowEntry<std::uint64_t>> scratch;
  std::uint64_t k = 0;
  for (std::uint64_t i = 0; i < num_nodes; ++i) {
    // k never passes row_ptrs[i]: the row compacts in place.
    k += detail::sort_row(col_indices.data(), values.data(), row_ptrs[i],
                          row_ptrs[i + 1], k, scratch);
    new_ptrs.push_back(k);
  }
  row_ptrs = std::move(new_ptrs);
  col_indices.resize(k);
  values.resize(k);
}

Result<CsrMatrix> build_from_dense(const DenseView& matrix) {
  if (matrix.rows != matrix.cols) {
    return VelmarError::shape_mismatch("Adjacency matrix must be square");
  }
  const std::uint64_t n = matrix.rows;
  if (n == kMaxU64) {
    return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
  }
  CsrMatrix m;
  m.num_nodes = n;
  if (Status s = try_reserve(m.row_ptrs, n + 1); !s) {
    return std::move(s).error();
  }

  // Rows whose elements are adjacent are read by walking a pointer; any other
  // layout (column-major, sliced, negative or zero strides) through at().
  const bool contiguous_rows = matrix.col_stride == 1;
  auto row_start = [&](std::uint64_t i) {
    return matrix.data + static_cast<std::int64_t>(i) * matrix.row_stride;
  };

  // IEEE comparison: NaN is an edge, 0.0 and -0.0 are not.
  std::uint64_t nnz = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (contiguous_rows) {
      const double* p = row_start(i);
      for (std::uint64_t j = 0; j < n; ++j) nnz += p[j] != 0.0;
    } else {
      for (std::uint64_t j = 0; j < n; ++j) nnz += matrix.at(i, j) != 0.0;
    }
  }
  if (nnz > 0) {
    if (Status s = try_reserve(m.col_indices, nnz); !s) {
      return std::move(s).error();
    }
    if (Status s = try_reserve(m.values, nnz); !s) {
      return std::move(s).error();
    }
  }

  m.row_ptrs.push_back(0);
  for (std::uint64_t i = 0; i < n; ++i) {
    if (contiguous_rows) {
      const double* p = row_start(i);
      for (std::uint64_t j = 0; j < n; ++j) {
        if (p[j] != 0.0) {
          m.col_indices.push_back(j);
          m.values.push_back(p[j]);
        }
      }
    } else {
      for (std::uint64_t j = 0; j < n; ++j) {
        const double x = matrix.at(i, j);
        if (x != 0.0) {
          m.col_indices.push_back(j);
          m.values.push_back(x);
        }
      }
    }
    m.row_ptrs.push_back(m.col_indices.size());
  }
  return m;
}

Result<CsrMatrix> build_from_adj_list(AdjacencyLists lists) {
  const std::uint64_t n = lists.size();
  CsrMatrix m;
  m.num_nodes = n;
  if (Status s = try_reserve(m.row_ptrs, n + 1); !s) {
    return std::move(s).error();
  }
  std::uint64_t total = 0;
  for (const auto& list : lists) {
    if (list.size() > kMaxU64 - total) {
      return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
    }
    total += list.size();
  }
  if (total > 0) {
    if (Status s = try_reserve(m.col_indices, total); !s) {
      return std::move(s).error();
    }
    if (Status s = try_reserve(m.values, total); !s) {
      return std::move(s).error();
    }
  }

  m.row_ptrs.push_back(0);
  for (auto& slot : lists) {
    // Taking the list out of its slot releases it at the end of this pass.
    const auto list = std::move(slot);
    for (const auto& [target, weight] : list) {
      if (target >= n) {
        return VelmarError::shape_mismatch("Target node ID " + dec(target) +
                                           " is out of bounds for graph with " +
                                           dec(n) + " nodes");
      }
      m.col_indices.push_back(target);
      m.values.push_back(weight);
    }
    m.row_ptrs.push_back(m.col_indices.size());
  }
  m.sort_indices();
  return m;
}

}  // namespace velmar
