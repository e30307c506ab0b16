// The package's engine: any range of columns of the embedding, computed one
// column block at a time over the compact graph, into memory the caller
// gives; and the exact plan of what a run allocates.
//
// Column j of the embedding depends only on column j of the projection, so a
// range [j0, j1) computed alone is bit-identical to those columns of the full
// result, whatever the block width and the number of workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "error.h"
#include "graph.h"

namespace velmar {

struct EmbedSettings {
  std::span<const double> weights;  // weights[i] multiplies H_i
  std::uint64_t base_seed = 0;      // row i's generator is seeded base + i
  std::uint64_t j0 = 0;             // first column computed
  std::uint64_t j1 = 0;             // one past the last
  std::uint64_t block = 1;          // columns per working block, >= 1
};

// Where column j0 + c of row r goes: data[r * row_stride + c]. Borrowed; the
// caller keeps it alive and untouched by others during the run.
struct OutputBlock {
  float* data = nullptr;
  std::uint64_t row_stride = 0;
};

// Shared between a run and the thread that watches it: cancel is read
// between row blocks; done/total count finished units of work, one per
// column block and step (the projection counting as step 0).
struct RunControl {
  CancelFlag cancel;
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
};

// Writes columns [j0, j1) of E = sum of float32(weights[i]) * H_i over the
// graph into `out`, every element of it (+0.0 where all weights are zero).
// Allocates two n x block working matrices, and 32 bytes per row for the
// projection's generators when there is more than one block. Errors: ShapeMismatch for an
// empty or reversed column range, OutOfMemory, Cancelled (out is then
// partly written).
Status embed_columns(const GraphView& graph, const EmbedSettings& settings,
                     OutputBlock out, RunControl* control);

// The allocations of one run, in bytes as the allocator takes them.
struct MemoryPlan {
  std::uint64_t graph_build_peak = 0;  // building the compact graph
  std::uint64_t graph = 0;             // the compact graph, kept
  std::uint64_t result = 0;            // n x columns result, when allocated
  std::uint64_t working = 0;           // the two n x block working matrices
  std::uint64_t peak = 0;              // the largest total at any moment
};

// The plan for embedding caller CSR arrays of this shape. out_entries bounds
// the entries of the compact graph (2 * num_entries for an undirected one
// before symmetrizing tells the exact count). result_owned: whether the
// engine allocates the result or writes into caller memory.
MemoryPlan plan_memory(const CsrInput& shape, bool undirected,
                       std::uint64_t out_entries, std::uint64_t columns,
                       std::uint64_t block, bool result_owned,
                       std::uint64_t workers);

// Columns per working block when memory allows wider ones. A step reads the
// graph once per block, so narrow blocks pay graph passes (below about 16
// columns they dominate); but every entry gathers a row of the working
// matrix from anywhere in it, and the narrower that n x block matrix, the
// more of it the cache holds. Measured by bench/package.py at n = 10^6 with
// 16 entries per row, blocks of 32 columns ran a step of dim 64 to 512 in
// 0.5 to 0.8 times the time of one full-width block, and they hold the
// memory of a run near the result's own size.
inline constexpr std::uint64_t kPreferredBlock = 32;

// The widest block in [1, min(columns, max_block)] whose plan peaks at or
// below `limit`, evened out over the blocks it needs; 0 when not even one
// column fits.
std::uint64_t widest_block(const CsrInput& shape, bool undirected,
                           std::uint64_t out_entries, std::uint64_t columns,
                           bool result_owned, std::uint64_t workers,
                           std::uint64_t limit, std::uint64_t max_block);

}  // namespace velmar
