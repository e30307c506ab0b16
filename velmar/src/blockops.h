// Internal to the spectral method: the arithmetic over tall blocks of rows
// (n x b, float32, row-major with a row stride), each call over rows
// [lo, hi) so that the pool can split them. Defined in blockops.cpp, where
// each kernel is compiled for the vector clones of kernels.cpp.
//
// Every element is computed in the order each comment gives; no clone fuses
// a multiply and an add (-ffp-contract=off), and vectorising runs across
// independent elements only, so the bits are those of a plain loop whatever
// the clone, the split of the rows and the number of workers.
#pragma once

#include <cstdint>

#include "graph.h"

namespace velmar::detail {

// One sparse product over the graph's pattern with per-entry scales (the
// view's own) and a diagonal, and what is done with each finished row:
//   acc_r = d_r * x_r + sum over the entries (c, s) of row r, in stored
//           order, of s * x_c            (float32, each product and sum
//                                         rounded; d_r = diag[r] when diag
//                                         is set, else diag_value, and a
//                                         zero diag_value starts at +0.0)
//   out_r = alpha * acc_r [+ beta * u_r] [+ gamma * v_r]   (left to right)
//   c_r   = c_r + coef * out_r                              (when c is set)
// x must not overlap out; u, v and c may be out itself.
struct SparseProduct {
  const float* x = nullptr;
  std::uint64_t x_stride = 0;
  float* out = nullptr;
  std::uint64_t out_stride = 0;
  std::uint64_t width = 0;
  const float* diag = nullptr;
  float diag_value = 0.0f;
  float alpha = 1.0f;
  const float* u = nullptr;
  std::uint64_t u_stride = 0;
  float beta = 0.0f;
  const float* v = nullptr;
  std::uint64_t v_stride = 0;
  float gamma = 0.0f;
  float* c = nullptr;
  std::uint64_t c_stride = 0;
  float coef = 0.0f;
};
void sparse_product_rows(const GraphView& graph, const SparseProduct& p,
                         std::uint64_t lo, std::uint64_t hi) noexcept;

// The Gram matrix of rows [lo, hi) of two blocks x (wx columns) and y (wy
// columns), each row read as rows[i] when `rows` is set (else i):
//   g[a * wy + b] = sum over i in [lo, hi), increasing, of
//                   double(x_i[a]) * double(y_i[b])   from +0.0 (float64).
// The products of float32 values are exact in float64. With `upper` (x and
// y the same block) only b >= a is computed; the rest of g is unspecified.
struct GramBlocks {
  const float* x = nullptr;
  std::uint64_t x_stride = 0;
  std::uint64_t wx = 0;
  const float* y = nullptr;
  std::uint64_t y_stride = 0;
  std::uint64_t wy = 0;
  const std::uint64_t* rows = nullptr;
  bool upper = false;
  // gram_scratch_size(wx, wy) doubles of the calling task's own.
  double* scratch = nullptr;
};
std::uint64_t gram_scratch_size(std::uint64_t wx, std::uint64_t wy) noexcept;
void gram_rows(const GramBlocks& blocks, std::uint64_t lo, std::uint64_t hi,
               double* g) noexcept;

// Rows [lo, hi) of out = x w, w a small float64 matrix (kx x wout, row
// stride ldw):
//   out_r[j] = float32(sum over k < kx, increasing, of double(x_r[k]) *
//                      w[k * ldw + j])   from +0.0 (float64).
// Terms whose w is known to be zero may be skipped (`upper`: w[k][j] = 0 for
// k > j): a sum from +0.0 is never -0.0, so adding a signed zero changes no
// bit. Row r goes to out row out_rows[r] when out_rows is set. x and out
// must not overlap.
struct SmallProduct {
  const float* x = nullptr;
  std::uint64_t x_stride = 0;
  std::uint64_t kx = 0;
  const double* w = nullptr;
  std::uint64_t ldw = 0;
  bool upper = false;
  float* out = nullptr;
  std::uint64_t out_stride = 0;
  std::uint64_t wout = 0;
  const std::uint64_t* out_rows = nullptr;
};
void small_product_rows(const SmallProduct& p, std::uint64_t lo,
                        std::uint64_t hi) noexcept;

}  // namespace velmar::detail
