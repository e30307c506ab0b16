// The random projection H_0 and the propagation with its weighted sum.
//
// Every matrix element is produced by one task with its terms added in a
// fixed order, so results do not depend on the number of workers.
#include "algorithm.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <optional>
#include <stdexcept>
#include <utility>

#include "kernels.h"
#include "pool.h"
#include "rng.h"

// Float expressions must be evaluated in float32, not in a wider format.
static_assert(FLT_EVAL_METHOD == 0);

namespace velmar {
namespace {

constexpr float kSqrt3 = std::bit_cast<float>(0x3FDDB3D7u);
constexpr float kMinusSqrt3 = std::bit_cast<float>(0xBFDDB3D7u);
// 1/6 rounded to float32, and its double computed in float32.
constexpr float kP = std::bit_cast<float>(0x3E2AAAABu);
constexpr float kTwoP = kP + kP;
static_assert(std::bit_cast<std::uint32_t>(kTwoP) == 0x3EAAAAABu);

// About this many float operations per block of a parallel pass, so that a
// block amortises its hand-out.
constexpr std::uint64_t kBlockElements = 4096;

std::uint64_t row_grain(std::uint64_t dim) noexcept {
  return dim == 0 ? kBlockElements
                  : std::max<std::uint64_t>(1, kBlockElements / dim);
}

void fill_projection_row(float* row, std::uint64_t dim,
                         std::uint64_t seed) noexcept {
  Xoshiro256pp g = Xoshiro256pp::seed_from_u64(seed);
  for (std::uint64_t j = 0; j < dim; ++j) {
    // The top 24 bits, scaled into [0, 1): exact in float32.
    const float u = static_cast<float>(g.next() >> 40) * 0x1p-24f;
    if (kP > u) {
      row[j] = kSqrt3;
    } else if (kTwoP > u) {
      row[j] = kMinusSqrt3;
    }
  }
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

void scale_add_row(float* __restrict out, const float* __restrict in, float t,
                   std::size_t n) noexcept {
  for (std::size_t j = 0; j < n; ++j) out[j] = in[j] * t + out[j];
}

void propagate_rows(const CsrMatrix& graph, const DenseMatrix& cur,
                    DenseMatrix& next, std::uint64_t lo,
                    std::uint64_t hi) noexcept {
  const std::uint64_t dim = cur.cols;
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* out = next.row(r);
    // Accumulation starts from +0.0: seeding with the first product would
    // keep a -0.0 that +0.0 + -0.0 turns into +0.0.
    std::fill(out, out + dim, 0.0f);
    const std::uint64_t s = graph.row_ptrs[r];
    const std::uint64_t e = graph.row_ptrs[r + 1];
    if (s == e) continue;
    const float inv_degree = 1.0f / static_cast<float>(e - s);
    for (std::uint64_t k = s; k < e; ++k) {
      const float t = static_cast<float>(graph.values[k]) * inv_degree;
      scale_add_row(out, cur.row(graph.col_indices[k]), t, dim);
    }
  }
}

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
  for (std::size_t i = 0; i < weights.size(); ++i) {
    // Only the accumulation is skipped for a zero weight (+0.0 or -0.0); a
    // NaN weight compares unequal and spreads into every element.
    if (weights[i] != 0.0) {
      const float w = static_cast<float>(weights[i]);
      parallel_for(0, n, grain, [&](std::uint64_t lo, std::uint64_t hi) {
        scale_add_row(acc.row(lo), cur.row(lo), w,
                      static_cast<std::size_t>((hi - lo) * dim));
      });
    }
    if (i + 1 == weights.size()) break;
    parallel_for(0, n, grain, [&](std::uint64_t lo, std::uint64_t hi) {
      propagate_rows(graph, cur, next, lo, hi);
    });
    std::swap(cur, next);
  }
  return std::move(result).value();
}

}  // namespace detail

Result<DenseMatrix> DenseMatrix::zeros(std::uint64_t rows, std::uint64_t cols) {
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(rows, cols, &count)) {
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
                 for (std::uint64_t i = lo; i < hi; ++i) {
                   // Row i's generator depends on base + i only (mod 2^64).
                   fill_projection_row(h.row(i), dim, base + i);
                 }
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
