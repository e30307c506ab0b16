// Internal to the engine: the float32 row arithmetic of the propagation and
// the propagation loop over a given projection, so that tests can feed a
// chosen H_0 and a faster kernel can replace the row operation in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "algorithm.h"
#include "csr.h"
#include "error.h"

namespace velmar::detail {

// out[j] = in[j] * t + out[j] for j < n: the product rounded to float32, then
// the sum rounded to float32 (no fused multiply-add). `out` and `in` must not
// overlap.
void scale_add_row(float* __restrict out, const float* __restrict in, float t,
                   std::size_t n) noexcept;

// Row r of `next` = sum over the entries (c, v) of row r of `graph`, in stored
// order, of float32(v) * (1 / degree) times row c of `cur`, for r in
// [lo, hi). The rows are cleared first; `cur` is only read.
void propagate_rows(const CsrMatrix& graph, const DenseMatrix& cur,
                    DenseMatrix& next, std::uint64_t lo,
                    std::uint64_t hi) noexcept;

// E = sum of float32(weights[i]) * H_i with H_(i+1) the propagation of H_i
// over `graph` (whose num_nodes must equal h0.rows). Takes over h0 as the
// first H_i; returns E, or OutOfMemory when a working matrix cannot be
// reserved. Throws std::logic_error for a graph that breaks the CSR
// invariants.
Result<DenseMatrix> propagate_and_accumulate(const CsrMatrix& graph,
                                             DenseMatrix h0,
                                             std::span<const double> weights);

}  // namespace velmar::detail
