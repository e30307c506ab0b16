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

#include "engine.h"
#include "graph.h"
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
void check_invariants(const CsrMatrix& g, std::uint64_t rows) {
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

// The compact view of a valid matrix: its row pointers and columns as they
// are, and the entry scales.
Result<CompactGraph> compact_of(const CsrMatrix& g) {
  CsrInput in;
  in.row_ptrs = g.row_ptrs.data();
  in.row_ptr_type = IndexType::kInt64;
  in.col_indices = g.col_indices.data();
  in.col_type = IndexType::kInt64;
  in.values = g.values.data();
  in.num_nodes = g.num_nodes;
  in.num_entries = g.col_indices.size();
  return build_compact(in, BuildOptions{false, false}, nullptr);
}

// E over `graph` into `result` (n x dim, all +0.0), from the projection of
// `base`, or from the rows of `initial` when given.
Status embed_all_columns(const GraphView& graph,
                         std::span<const double> weights, std::uint64_t base,
                         const float* initial, DenseMatrix& result) {
  if (result.rows == 0 || result.cols == 0) return ok_status();
  EmbedSettings s;
  s.weights = weights;
  s.base_seed = base;
  s.j1 = result.cols;
  s.block = result.cols;
  s.dim = result.cols;
  s.initial = initial;
  s.initial_stride = result.cols;
  return embed_columns(
      graph, s, OutputBlock{result.data.data(), result.cols, true}, nullptr);
}

}  // namespace

namespace detail {

Result<DenseMatrix> propagate_and_accumulate(const CsrMatrix& graph,
                                             DenseMatrix h0,
                                             std::span<const double> weights) {
  check_invariants(graph, h0.rows);
  auto compact = compact_of(graph);
  if (!compact.ok()) return std::move(compact).error();
  auto result = DenseMatrix::zeros(h0.rows, h0.cols);
  if (!result.ok()) return result;
  Status done = embed_all_columns(compact->view(), weights, 0, h0.data.data(),
                                  result.value());
  if (!done.ok()) return std::move(done).error();
  return result;
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
  parallel_for(
      0, num_nodes, row_grain(dim), [&](std::uint64_t lo, std::uint64_t hi) {
        detail::fill_projection_block(h.data.data(), dim, dim, 0, lo, hi, base);
      });
  return matrix;
}

// The graph store's matrix (made undirected first when asked) is read
// through a compact view, and the projection drawn, propagated and summed by
// the engine that serves every embedding: the bits are those of any other
// path to the same graph and seed.
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
  check_invariants(*g, g->num_nodes);
  auto compact = compact_of(*g);
  if (!compact.ok()) return std::move(compact).error();
  auto result = DenseMatrix::zeros(compact->view().num_nodes(), dim);
  if (!result.ok()) return result;
  // Drawn only once the result exists, and also for an empty one.
  const std::uint64_t base = seed ? *seed : thread_rng_next_u64();
  Status done = embed_all_columns(compact->view(), weights, base, nullptr,
                                  result.value());
  if (!done.ok()) return std::move(done).error();
  return result;
}

}  // namespace velmar
