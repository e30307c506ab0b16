// Column blocks over the compact graph: per block, the projection's columns,
// the steps, and each step's weighted sum straight into the caller's result.
#include "engine.h"

#include <algorithm>
#include <cfloat>

#include "buffer.h"
#include "kernels.h"
#include "pool.h"

static_assert(FLT_EVAL_METHOD == 0);

namespace velmar {
namespace {

// About this many float operations per block handed to a worker, and per
// look at the cancel flag inside one: a fraction of a millisecond.
constexpr std::uint64_t kGrainElements = 4096;
constexpr std::uint64_t kCheckElements = std::uint64_t{1} << 18;

// Runs body(lo, hi) over the rows in pieces of about kCheckElements of work,
// skipping what is left once the run is cancelled.
template <class Body>
void for_rows(std::uint64_t n, std::uint64_t work_per_row,
              const CancelFlag& cancel, Body&& body) {
  const std::uint64_t per_row = std::max<std::uint64_t>(work_per_row, 1);
  const std::uint64_t grain = std::max<std::uint64_t>(1, kGrainElements / per_row);
  const std::uint64_t piece = std::max<std::uint64_t>(1, kCheckElements / per_row);
  parallel_for(0, n, grain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t r = lo; r < hi;) {
      if (cancel.is_raised()) return;
      const std::uint64_t end = hi - r <= piece ? hi : r + piece;
      body(r, end);
      r = end;
    }
  });
}

}  // namespace

Status embed_columns(const GraphView& graph, const EmbedSettings& s,
                     OutputBlock out, RunControl* control) {
  if (s.j1 <= s.j0 || s.block == 0) {
    return VelmarError::shape_mismatch("empty column range");
  }
  RunControl local;
  RunControl& ctl = control != nullptr ? *control : local;
  const std::uint64_t n = graph.num_nodes();
  const std::uint64_t columns = s.j1 - s.j0;
  const std::uint64_t block = std::min(s.block, columns);
  const std::uint64_t blocks = (columns + block - 1) / block;
  const std::size_t steps = s.weights.empty() ? 0 : s.weights.size() - 1;
  ctl.total.store(blocks * (steps + 1), std::memory_order_relaxed);
  if (n == 0) {
    ctl.done.store(blocks * (steps + 1), std::memory_order_relaxed);
    return ok_status();
  }

  std::uint64_t count = 0;
  if (__builtin_mul_overflow(n, block, &count)) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  auto cur_buf = Buffer<float>::allocate(count);
  if (!cur_buf.ok()) return std::move(cur_buf).error();
  auto next_buf = Buffer<float>::allocate(count);
  if (!next_buf.ok()) return std::move(next_buf).error();
  // Every row's generator, kept from one block to the next.
  Buffer<std::uint64_t> generators;
  if (blocks > 1) {
    if (n > UINT64_MAX / 4) {
      return VelmarError::shape_mismatch("Capacity overflow");
    }
    auto words = Buffer<std::uint64_t>::allocate(4 * n);
    if (!words.ok()) return std::move(words).error();
    generators = std::move(words).value();
  }
  const std::uint64_t entries_per_row = graph.num_entries() / n + 1;
  const CancelFlag& cancel = ctl.cancel;

  for (std::uint64_t c0 = 0; c0 < columns; c0 += block) {
    const std::uint64_t width = std::min(block, columns - c0);
    float* cur = cur_buf->data();
    float* next = next_buf->data();
    float* const acc = out.data + c0;
    const std::uint64_t stride = out.row_stride;
    for_rows(n, width * 8, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
      detail::fill_projection_block(
          cur, width, s.j0 + c0, lo, hi, s.base_seed,
          detail::RowGenerators{generators.data(), c0 != 0});
    });
    bool acc_is_zero = true;
    // Weight i multiplies H_i; a zero weight (either sign) skips only its
    // accumulation, a NaN weight compares unequal and spreads.
    if (!s.weights.empty() && s.weights[0] != 0.0) {
      const float w = static_cast<float>(s.weights[0]);
      for_rows(n, width, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        detail::accumulate_block_rows(acc, stride, cur, width, w, true, lo, hi);
      });
      acc_is_zero = false;
    }
    if (cancel.is_raised()) return VelmarError::cancelled();
    ctl.done.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t i = 0; i < steps; ++i) {
      detail::BlockStep step{cur, next, width};
      if (s.weights[i + 1] != 0.0) {
        step.acc = acc;
        step.acc_stride = stride;
        step.weight = static_cast<float>(s.weights[i + 1]);
        step.acc_is_zero = acc_is_zero;
        acc_is_zero = false;
      }
      for_rows(n, width * entries_per_row, cancel,
               [&](std::uint64_t lo, std::uint64_t hi) {
                 detail::propagate_block_rows(graph, step, lo, hi);
               });
      if (cancel.is_raised()) return VelmarError::cancelled();
      std::swap(cur, next);
      ctl.done.fetch_add(1, std::memory_order_relaxed);
    }
    if (acc_is_zero) {
      for_rows(n, width, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t r = lo; r < hi; ++r) {
          std::fill(acc + r * stride, acc + r * stride + width, 0.0f);
        }
      });
      if (cancel.is_raised()) return VelmarError::cancelled();
    }
  }
  return ok_status();
}

MemoryPlan plan_memory(const CsrInput& shape, bool undirected,
                       std::uint64_t out_entries, std::uint64_t columns,
                       std::uint64_t block, bool result_owned,
                       std::uint64_t workers) {
  const auto fp = detail::footprint_bytes;
  const BuildFootprint build =
      build_footprint(shape, undirected, out_entries, workers);
  const std::uint64_t n = shape.num_nodes;
  MemoryPlan plan;
  plan.graph_build_peak = build.peak;
  plan.graph = build.kept;
  plan.result = result_owned ? fp(4 * n * columns) : 0;
  const std::uint64_t width = std::min(block, columns);
  plan.working = 2 * fp(4 * n * width);
  // The row generators kept between blocks.
  if (width != 0 && width < columns) plan.working += fp(32 * n);
  // The result is allocated after the graph is built, the working matrices
  // after the result.
  plan.peak = std::max(build.peak, build.kept + plan.result + plan.working);
  return plan;
}

std::uint64_t widest_block(const CsrInput& shape, bool undirected,
                           std::uint64_t out_entries, std::uint64_t columns,
                           bool result_owned, std::uint64_t workers,
                           std::uint64_t limit, std::uint64_t max_block) {
  const auto fits = [&](std::uint64_t b) {
    return plan_memory(shape, undirected, out_entries, columns, b,
                       result_owned, workers)
               .peak <= limit;
  };
  if (columns == 0 || !fits(1)) return 0;
  std::uint64_t lo = 1;
  std::uint64_t hi = std::max<std::uint64_t>(std::min(columns, max_block), 1);
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo + 1) / 2;
    if (fits(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  // As many blocks as the widest fit needs, as even as they can be.
  const std::uint64_t blocks = (columns + lo - 1) / lo;
  return (columns + blocks - 1) / blocks;
}

}  // namespace velmar
