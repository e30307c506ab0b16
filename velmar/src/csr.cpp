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
#include "platform.h"
#include "pool.h"

namespace velmar {

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// Rows up to this length are sorted by insertion sort, which keeps entries of
// equal column in stored order and so fixes the order in which they are summed.
constexpr std::size_t kInsertionSortMax = 20;

std::string dec(std::uint64_t x) { return std::to_string(x); }

// num_nodes + 1 in decimal; 2^64 for the largest count, without overflowing.
std::string dec_plus_one(std::uint64_t x) {
  return x == kMaxU64 ? std::string("18446744073709551616") : dec(x + 1);
}

struct Entry {
  std::uint64_t col;
  double weight;
};

void insertion_sort(std::vector<Entry>& a) {
  for (std::size_t j = 1; j < a.size(); ++j) {
    Entry e = a[j];
    std::size_t m = j;
    while (m > 0 && a[m - 1].col > e.col) {
      a[m] = a[m - 1];
      --m;
    }
    a[m] = e;
  }
}

bool rows_strictly_increasing(const CsrMatrix& m) {
  for (std::uint64_t i = 0; i < m.num_nodes; ++i) {
    for (std::uint64_t k = m.row_ptrs[i] + 1; k < m.row_ptrs[i + 1]; ++k) {
      if (m.col_indices[k - 1] >= m.col_indices[k]) return false;
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
        "row_ptrs length " + dec(row_ptrs.size()) +
        " must be num_nodes + 1 (" + dec_plus_one(num_nodes) + ")");
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
  std::vector<Entry> row;
  std::uint64_t k = 0;
  for (std::uint64_t i = 0; i < num_nodes; ++i) {
    row.clear();
    for (std::uint64_t p = row_ptrs[i]; p < row_ptrs[i + 1]; ++p) {
      row.push_back({col_indices[p], values[p]});
    }
    if (row.size() <= kInsertionSortMax) {
      insertion_sort(row);
    } else {
      std::sort(row.begin(), row.end(),
                [](const Entry& a, const Entry& b) { return a.col < b.col; });
    }
    // k never passes row_ptrs[i], and the row is already copied out, so
    // writing in place overwrites nothing still to be read.
    for (std::size_t r = 0; r < row.size(); ++r) {
      if (r > 0 && row[r].col == col_indices[k - 1]) {
        // The incoming weight is the left operand; with two NaNs the sum
        // carries its payload.
        values[k - 1] = platform::add(row[r].weight, values[k - 1]);
      } else {
        col_indices[k] = row[r].col;
        values[k] = row[r].weight;
        ++k;
      }
    }
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
        return VelmarError::shape_mismatch(
            "Target node ID " + dec(target) +
            " is out of bounds for graph with " + dec(n) + " nodes");
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
