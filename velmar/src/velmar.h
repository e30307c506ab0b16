// The engine's configuration and its three run operations: build the graph,
// embed it, release the graph, return the embedding or the error unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "algorithm.h"
#include "csr.h"
#include "error.h"

namespace velmar {

struct VelmarBuilder {
  std::uint64_t dim = 0;
  std::vector<double> weights{0.0, 1.0, 1.0};
  std::optional<std::uint64_t> seed;
  bool undirected = true;

  // The builder's `new`: the given dim with every other setting at its
  // default. Nothing is validated here or in the setters.
  explicit VelmarBuilder(std::uint64_t dim_) : dim(dim_) {}

  VelmarBuilder with_weights(std::vector<double> w) && {
    weights = std::move(w);
    return std::move(*this);
  }
  VelmarBuilder with_seed(std::uint64_t s) && {
    seed = s;
    return std::move(*this);
  }
  VelmarBuilder with_undirected(bool flag) && {
    undirected = flag;
    return std::move(*this);
  }

  // Run operations: each borrows the builder read-only.
  Result<DenseMatrix> from_csr(std::vector<std::uint64_t> row_ptrs,
                               std::vector<std::uint64_t> col_indices,
                               std::vector<double> values,
                               std::uint64_t num_nodes) const;
  Result<DenseMatrix> fit_dense(const DenseView& adj_matrix) const;
  Result<DenseMatrix> fit_adj_list(AdjacencyLists adj_list) const;

 private:
  Result<DenseMatrix> run(Result<CsrMatrix> graph) const;
};

}  // namespace velmar
