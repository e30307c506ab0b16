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

// The vector clone the kernels below run: "x86-64-v4", "x86-64-v3" or
// "default", chosen when the library loads (see kernels.cpp).
const char* kernel_clone() noexcept;

// out[j] = in[j] * t + out[j] for j < n: the product rounded to float32, then
// the sum rounded to float32 (no fused multiply-add). `out` and `in` must not
// overlap.
void scale_add_row(float* __restrict out, const float* __restrict in, float t,
                   std::size_t n) noexcept;

// acc[j] = h[j] * w + acc[j] for j < n. With `acc_is_zero` the caller
// promises that acc holds +0.0 everywhere, and it is written without being
// read (the same values: h[j] * w + 0.0).
void accumulate_rows(float* __restrict acc, const float* __restrict h, float w,
                     bool acc_is_zero, std::size_t n) noexcept;

// Rows [lo, hi) of the n x dim projection: row i from the Xoshiro256++
// generator seeded with base + i (mod 2^64), one draw per element in column
// order, each element +sqrt(3), -sqrt(3) or +0.0 by the float32 thresholds.
void fill_projection_rows(float* h, std::uint64_t dim, std::uint64_t lo,
                          std::uint64_t hi, std::uint64_t base) noexcept;

// What propagate_rows does with each finished row: nothing when `acc` is
// null, otherwise the accumulation above into the same row of `acc`.
struct RowAccumulation {
  float* acc = nullptr;
  float weight = 0.0f;
  bool acc_is_zero = false;
};

// Row r of `next` = sum over the entries (c, v) of row r of `graph`, in stored
// order, of float32(v) * (1 / degree) times row c of `cur`, starting from
// +0.0, for r in [lo, hi); each finished row is then accumulated as `then`
// says. Matrices are n x dim, row-major; `cur` is only read.
void propagate_rows(const CsrMatrix& graph, const float* __restrict cur,
                    float* __restrict next, const RowAccumulation& then,
                    std::uint64_t dim, std::uint64_t lo,
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
