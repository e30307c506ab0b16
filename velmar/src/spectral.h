// The spectral method: two complementary bases of the graph, the leading
// eigenvectors of its normalised adjacency and the leading singular vectors
// of a sparse log-proximity matrix on its edges, passed once through a
// band-pass Chebyshev filter of the graph and reduced to `dim` columns by
// the eigen-decomposition of their Gram matrix.
//
// It shares the projection method's compact graph (the operators are views
// of its rows and columns with other scales), its pool, its projection
// generator (the random starting blocks) and its RunControl. Every reduction
// across rows runs over fixed chunks of rows in node order, so a seed gives
// the same bits for any number of workers, any vector clone and any row map.
#pragma once

#include <cstdint>

#include "engine.h"
#include "error.h"
#include "graph.h"

namespace velmar {

// What to compute; the defaults are the method. The blocks have
// spectral_columns + 1 + spectral_oversample and log_columns +
// log_oversample columns (with the defaults, multiples of 16 when dim is:
// the dense kernels' widest tiles); the filter runs on the
// spectral_columns + log_columns columns of both.
struct SpectralSettings {
  std::uint64_t dim = 0;
  std::uint64_t base_seed = 0;
  std::uint64_t spectral_columns = 0;  // 0: dim
  std::uint64_t log_columns = 0;       // 0: dim
  std::uint64_t spectral_oversample = 15;
  std::uint64_t log_oversample = 16;
  // Products with N + I of the subspace iteration, the block orthonormalised
  // after every orthonormalize_every of them and after the last.
  std::uint64_t spectral_products = 30;
  std::uint64_t orthonormalize_every = 10;
  // Power iterations of the randomised SVD (each one M and one M^T product).
  std::uint64_t log_iterations = 5;
  // Chebyshev terms of the filter, at most kMaxFilterOrder.
  std::uint64_t filter_order = 5;
  // Columns per block of the filter (which treats each column alone): any
  // width gives the same bits; 0 chooses it for this machine
  // (preferred_block in tuning.h).
  std::uint64_t filter_block = 0;
};
inline constexpr std::uint64_t kMaxFilterOrder = 5;

// The seeds of the spectral block's and the log block's random starting
// blocks (stream 0 and 1): consecutive SplitMix64 outputs from
// base ^ 0xBB67AE8584CAA73B. Each block is drawn as the projection is, row i
// from the generator seeded with that seed + i (+ the node under a row map).
std::uint64_t spectral_seed(std::uint64_t base, int stream) noexcept;

// Writes the dim columns of the embedding of the graph into `out`, row of
// node i at out.data + i * out.row_stride (the graph's row map applied).
// `values` are the graph's edge weights, one float64 per stored entry (the
// compact graph keeps only scales). The graph must be undirected: every
// entry (i, j, w) has an entry (j, i, w) with the same weight. Errors:
// ShapeMismatch for dim 0 or fewer filter columns than dim, InvalidInput for
// missing, negative or non-finite weights and a graph that is not
// undirected, OutOfMemory, Cancelled (out is then partly written).
// Progress counts one unit per pass over the rows.
Status embed_spectral(const GraphView& graph, const double* values,
                      const SpectralSettings& settings, OutputBlock out,
                      RunControl* control);

// The allocations of a spectral run over a graph of this shape (its values
// kept when it is built; an opened graph's are the caller's), with filter
// blocks of `block` columns (0: this machine's choice); `result` as for
// plan_memory. `working` holds what the method allocates at its largest
// moment (the row map's inverse included); `peak` counts a new result from
// the reduction on, which writes its pages first, after the filter's blocks
// are freed.
MemoryPlan plan_spectral(const GraphShape& shape, std::uint64_t dim,
                         std::uint64_t block, ResultMemory result,
                         std::uint64_t workers,
                         const OptionShape& options = {});

// The widest filter block in [1, min(filter columns, max_block)] whose plan
// peaks at or below `limit`; 0 when not even one column fits.
std::uint64_t widest_filter_block(const GraphShape& shape, std::uint64_t dim,
                                  ResultMemory result, std::uint64_t workers,
                                  std::uint64_t limit, std::uint64_t max_block,
                                  const OptionShape& options = {});

// The width the filter takes on this machine without a limit.
std::uint64_t preferred_filter_block(std::uint64_t num_nodes,
                                     std::uint64_t dim) noexcept;

}  // namespace velmar
