// The graph store: a weighted directed graph as a compressed-sparse-row
// adjacency matrix, its three constructors, row normalisation and
// symmetrization.
//
// Invariants of every CsrMatrix returned by a constructor or by
// make_undirected: row_ptrs has num_nodes + 1 non-decreasing elements starting
// at 0 and ending at the entry count; col_indices and values have that many
// elements; every column is below num_nodes; columns are strictly increasing
// within a row. Values are never inspected (zero, negative, NaN are kept).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "error.h"

namespace velmar {

struct CsrMatrix {
  std::vector<std::uint64_t> row_ptrs;
  std::vector<std::uint64_t> col_indices;
  std::vector<double> values;
  std::uint64_t num_nodes = 0;

  // Sorts every row by column and merges entries that share a column by
  // summing their weights. Requires a valid partition of col_indices by
  // row_ptrs with every column below num_nodes. A matrix whose rows are
  // already strictly increasing is left untouched and nothing is allocated.
  void sort_indices();

  // Returns A + A^T as a new matrix after re-checking this matrix's
  // structure; entries whose sum compares equal to 0.0 are dropped.
  // This matrix is only read.
  Result<CsrMatrix> make_undirected() const;
};

// Validates caller-supplied CSR arrays (six checks in a fixed order, each with
// its own message), takes them over without copying and normalises the rows.
Result<CsrMatrix> build_from_csr(std::vector<std::uint64_t> row_ptrs,
                                 std::vector<std::uint64_t> col_indices,
                                 std::vector<double> values,
                                 std::uint64_t num_nodes);

// A borrowed read-only two-dimensional view of doubles. Element (i, j) lives
// at data[i * row_stride + j * col_stride]; strides are in elements and may be
// zero or negative.
struct DenseView {
  const double* data = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;

  double at(std::uint64_t i, std::uint64_t j) const noexcept {
    return data[static_cast<std::int64_t>(i) * row_stride +
                static_cast<std::int64_t>(j) * col_stride];
  }
};

// Builds the graph of a square dense matrix: one edge per element that
// compares unequal to 0.0 (NaN included), read in logical order.
Result<CsrMatrix> build_from_dense(const DenseView& matrix);

// One list of (target node, weight) pairs per node.
using AdjacencyLists =
    std::vector<std::vector<std::pair<std::uint64_t, double>>>;

// Builds the graph of adjacency lists, consuming them. Every target must be
// below the number of lists; pairs naming the same target are merged.
Result<CsrMatrix> build_from_adj_list(AdjacencyLists lists);

}  // namespace velmar
