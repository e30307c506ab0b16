// The random projection H_0 and the propagation with its weighted sum.
//
// Every matrix element is produced by one task with its terms added in a
// fixed order, so results do not depend on the number of workers.
#include "algorithm.h"

#include <algorithm>
#include <cfloat>
#include <optional>
#include <stdexcept>
#include <utility>

#include "kernels.h"
#include "platform.h"
#include "pool.h"
#include "rng.h"

// Float expressions must be evaluated in float32, not in a wider format.
static_assert(FLT_EVAL_METHOD == 0);

namespace velmar {
namespace {

// About this many float operations per block of a parallel pass, so that a
// block amortises its hand-out.
constexpr std::uint64_t kBlockElements = 4096;

std::uint64_t row_grain(std::uint64_t dim) noexcept {
  return dim == 0 ? kBlockElements
                  : std::max<std::uint64_t>(1, kBlockElements / dim);
}

// The passes index rows without checks; a malformed graph would read out of
// bounds. Cheap next to the propagation itself (one pass over the entries).
void check_structure(const CsrMatrix& g, std::uint64_t rows) {
  const auto fail = [] {
    throw std::logic_error("propagation: graph breaks the CSR invariants");
  };
  if (g.num_nodes != rows || g.row_ptrs.size() != g.num_nodes + 1 ||
      g.row_ptrs.front() != 0 || g.row_ptrs.back() != g.col_indices.size() ||
      g.values.size() != g.col_indices.size()) {
    fail();
  }
  for (std::uint64_t r = 0; r < g.num_nodes; ++r) {
    if (g.row_ptrs[r] > g.row_ptrs[r + 1]) fail();
  }
  for (std::uint64_t c : g.col_indices) {
    if (c >= g.num_nodes) fail();
  }
}

}  // namespace

namespace detail {

Result<DenseMatrix> propagate_and_accumulate(const CsrMatrix& graph,
                                             DenseMatrix h0,
                                             std::span<const double> weights) {
  check_structure(graph, h0.rows);
  const std::uint64_t n = h0.rows;
  const std::uint64_t dim = h0.cols;
  auto result = DenseMatrix::zeros(n, dim);
  if (!result.ok()) return std::move(result).error();
  auto scratch = DenseMatrix::zeros(n, dim);
  if (!scratch.ok()) return std::move(scratch).error();
  DenseMatrix& acc = result.value();
  DenseMatrix cur = std::move(h0);
  DenseMatrix next = std::move(scratch).value();
  if (n == 0 || dim == 0) return std::move(result).value();

  const std::uint64_t grain = row_grain(dim);
  bool acc_is_zero = true;
  // Weight i multiplies H_i. A zero weight (+0.0 or -0.0) skips only its
  // accumulation; a NaN weight compares unequal and spreads into every
  // element.
  const auto accumulation = [&](std::size_t i) {
    RowAccumulation then;
    if (i < weights.size() && weights[i] != 0.0) {
      then = {acc.data.data(), static_cast<float>(weights[i]), acc_is_zero};
      acc_is_zero = false;
    }
    return then;
  };
  const RowAccumulation first = accumulation(0);
  if (first.acc != nullptr) {
    parallel_for(0, n, grain, [&](std::uint64_t lo, std::uint64_t hi) {
      accumulate_rows(acc.row(lo), cur.row(lo), first.weight,
                      first.acc_is_zero,
                      static_cast<std::size_t>((hi - lo) * dim));
    });
  }
  // Each step computes H_(i+1) and, row by row while it is in cache, adds
  // weights[i + 1] * H_(i+1) to the result.
  for (std::size_t i = 0; i + 1 < weights.size(); ++i) {
    const RowAccumulation then = accumulation(i + 1);
    parallel_for(0, n, grain, [&](std::uint64_t lo, std::uint64_t hi) {
      propagate_rows(graph, cur.data.data(), next.data.data(), then, dim, lo,
                     hi);
    });
    std::swap(cur, next);
  }
  return std::move(result).value();
}

}  // namespace detail

Result<DenseMatrix> DenseMatrix::zeros(std::uint64_t rows, std::uint64_t cols) {
  std::uint64_t count = 0;
  if (platform::mul_overflow(rows, cols, &count)) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  auto buffer = FloatBuffer::allocate_zeroed(count);
  if (!buffer.ok()) return std::move(buffer).error();
  return DenseMatrix{std::move(buffer).value(), rows, cols};
}

Result<DenseMatrix> initialize_h0(std::uint64_t num_nodes, std::uint64_t dim,
                                  std::optional<std::uint64_t> seed) {
  auto matrix = DenseMatrix::zeros(num_nodes, dim);
  if (!matrix.ok()) return matrix;
  // Drawn only once the matrix exists, and also for an empty one.
  const std::uint64_t base = seed ? *seed : thread_rng_next_u64();
  if (num_nodes == 0 || dim == 0) return matrix;
  DenseMatrix& h = matrix.value();
  parallel_for(0, num_nodes, row_grain(dim),
               [&](std::uint64_t lo, std::uint64_t hi) {
                 detail::fill_projection_block(h.data.data(), dim, dim, 0, lo, hi,
                                               base);
               });
  return matrix;
}

Result<DenseMatrix> compute_velmar(const CsrMatrix& graph, std::uint64_t dim,
                                   std::span<const double> weights,
                                   std::optional<std::uint64_t> seed,
                                   bool undirected) {
  std::optional<CsrMatrix> symmetrized;
  const CsrMatrix* g = &graph;
  if (undirected) {
    auto sym = graph.make_undirected();
    if (!sym.ok()) return std::move(sym).error();
    symmetrized.emplace(std::move(sym).value());
    g = &*symmetrized;
  }
  auto h0 = initialize_h0(g->num_nodes, dim, seed);
  if (!h0.ok()) return h0;
  return detail::propagate_and_accumulate(*g, std::move(h0).value(), weights);
}

}  // namespace velmar
