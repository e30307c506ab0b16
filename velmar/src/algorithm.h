// The embedding: the random projection H_0 and the propagation
// E = w_0 H_0 + w_1 H_1 + ... with H_(i+1) = P H_i, P the adjacency with each
// row divided by its number of stored entries.
//
// All matrix arithmetic is float32 with every product and every sum rounded
// separately; each element's terms are added in a fixed order, so results are
// bit-identical for any number of workers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "buffer.h"
#include "csr.h"
#include "error.h"

namespace velmar {

// rows x cols float32 elements, row-major and contiguous (row stride cols).
struct DenseMatrix {
  FloatBuffer data;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;

  // Reserves a zero-filled rows x cols matrix. "Capacity overflow" when the
  // element count overflows 64 bits; OutOfMemory when it cannot be reserved.
  static Result<DenseMatrix> zeros(std::uint64_t rows, std::uint64_t cols);

  float* row(std::uint64_t r) noexcept { return data.data() + r * cols; }
  const float* row(std::uint64_t r) const noexcept {
    return data.data() + r * cols;
  }
};

// The n x dim sparse random projection: each entry +sqrt(3), -sqrt(3) or +0.0
// with probabilities of about 1/6, 1/6 and 2/3. Row i is drawn from a
// Xoshiro256++ generator seeded with (base seed + i); without a seed the base
// seed comes from the calling thread's ChaCha12 generator.
Result<DenseMatrix> initialize_h0(std::uint64_t num_nodes, std::uint64_t dim,
                                  std::optional<std::uint64_t> seed);

// The embedding of `graph` (only read; symmetrized into a private copy first
// when `undirected`). Returns the n x dim result or the first error of the
// symmetrization, the projection or the allocation of the working matrices.
Result<DenseMatrix> compute_velmar(const CsrMatrix& graph, std::uint64_t dim,
                                   std::span<const double> weights,
                                   std::optional<std::uint64_t> seed,
                                   bool undirected);

namespace detail {

// E = sum of float32(weights[i]) * H_i with H_(i+1) the propagation of H_i
// over `graph` (whose num_nodes must equal h0.rows). Takes over h0 as the
// first H_i; returns E, or OutOfMemory when a working matrix cannot be
// reserved. Throws std::logic_error for a graph that breaks the CSR
// invariants.
Result<DenseMatrix> propagate_and_accumulate(const CsrMatrix& graph,
                                             DenseMatrix h0,
                                             std::span<const double> weights);

}  // namespace detail
}  // namespace velmar
