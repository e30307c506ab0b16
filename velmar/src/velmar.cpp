// The engine's run operations: build the graph, embed it, release the graph.
#include "velmar.h"

#include <utility>

namespace velmar {

Result<DenseMatrix> VelmarBuilder::run(Result<CsrMatrix> built) const {
  if (!built.ok()) return std::move(built).error();
  // A local owner releases the graph on every path out, throwing ones included,
  // and before the caller receives the embedding.
  const CsrMatrix graph = std::move(built).value();
  return compute_velmar(graph, dim, weights, seed, undirected);
}

Result<DenseMatrix> VelmarBuilder::from_csr(
    std::vector<std::uint64_t> row_ptrs, std::vector<std::uint64_t> col_indices,
    std::vector<double> values, std::uint64_t num_nodes) const {
  return run(build_from_csr(std::move(row_ptrs), std::move(col_indices),
                            std::move(values), num_nodes));
}

Result<DenseMatrix> VelmarBuilder::fit_dense(
    const DenseView& adj_matrix) const {
  return run(build_from_dense(adj_matrix));
}

Result<DenseMatrix> VelmarBuilder::fit_adj_list(AdjacencyLists adj_list) const {
  return run(build_from_adj_list(std::move(adj_list)));
}

}  // namespace velmar
