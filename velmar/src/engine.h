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
#include "feature_input.h"
#include "graph.h"

namespace velmar {

// Nodes per chunk of the column sums of step_center (see EmbedSettings).
inline constexpr std::uint64_t kCenterRows = 512;

struct EmbedSettings {
  std::span<const double> weights;  // weights[i] multiplies H_i
  std::uint64_t base_seed = 0;      // row i's generator is seeded base + i
  std::uint64_t j0 = 0;             // first column computed
  std::uint64_t j1 = 0;             // one past the last
  std::uint64_t block = 1;          // columns per working block, >= 1
  std::uint64_t dim = 0;            // columns of the whole embedding; 0: j1
  // Row i of the initial matrix is scaled by float32(deg_i ^ beta), deg_i
  // being the number of entries of row i (or degrees[i] when given: nodes
  // whose edges are not in the graph); rows without entries are not.
  double normalization_strength = 0.0;
  const std::uint64_t* degrees = nullptr;
  // Every H_i, i >= 1, scaled to unit row length before it is weighted and
  // propagated. Couples the columns: needs j0 = 0, j1 = dim and one block.
  bool step_normalize = false;
  // Every H_i, i >= 0, after its unit rows, has its columns' degree-weighted
  // means taken from the rows of nodes with entries: H_i -= 1 (d^T H_i) /
  // sum(d), d_r the number of entries of row r. That is the component along
  // the walk's stationary direction, which every step keeps while it shrinks
  // the rest; on a dense graph it soon swamps the rest. Each column's mean is
  // its own, so column blocks and ranges give the same bits. The sums run in
  // float64 over fixed chunks of kCenterRows nodes in node order.
  bool step_center = false;
  // The last feature_dim columns of the initial matrix are X R (see
  // feature_seed); none when null.
  const FeatureInput* features = nullptr;
  // Row i's generator is seeded base + row_offset + i: the rows of nodes
  // appended after row_offset others.
  std::uint64_t row_offset = 0;
  // Given rows in place of the initial matrix: row i of it is
  // initial[i * initial_stride + j] for the columns j of the run (read for
  // the node a stored row is, under the graph's row map). The projection,
  // the features and the row scales are then not drawn. Borrowed; null: the
  // projection.
  const float* initial = nullptr;
  std::uint64_t initial_stride = 0;
  // Rows of the working matrix per segment of the graph's columns, whose
  // pieces a step takes one segment at a time (segments.h): 0 chooses them
  // for this machine (segment_rows_for in tuning.h), n or more runs every
  // step unsegmented. The bits are the same for every choice.
  std::uint64_t segment_rows = 0;
  // Refuse weights whose magnitudes, times the largest initial value, could
  // take the result beyond float32 (see embed_columns).
  bool bound_weights = false;
  // check_inputs passed on these settings and graph already: embed_columns
  // does not repeat it.
  bool inputs_checked = false;
};

// The seed of the feature projection R of a run with base seed `base`: the
// first SplitMix64 output from base ^ 0x6A09E667F3BCC909. R is drawn as the
// projection is, num_features x feature_dim from that seed, so that it does
// not depend on the number of nodes or on dim.
std::uint64_t feature_seed(std::uint64_t base) noexcept;

// The checks embed_columns makes of its inputs before it allocates: the
// features' structure and values, and the range of the values the run could
// reach (InvalidInput naming the option: features, normalization_strength
// or weights). Reads every row and feature once; stops early, returning
// Cancelled, when `cancel` (may be null) is raised.
Status check_inputs(const GraphView& graph, const EmbedSettings& settings,
                    const CancelFlag* cancel);

// Where column j0 + c of row r goes: data[r * row_stride + c]. Borrowed; the
// caller keeps it alive and untouched by others during the run.
struct OutputBlock {
  float* data = nullptr;
  std::uint64_t row_stride = 0;
  // Every element is already +0.0 (fresh pages from the allocator): blocks
  // whose weights are all zero are then left untouched.
  bool zeroed = false;
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
// Allocates two n x block working matrices (three under the graph's row
// map), 32 bytes per row for the projection's generators when there is more
// than one block, what the options need (see MemoryPlan::options) and, when
// it has steps to take and the segments pay, the segmented graph
// (MemoryPlan::segments). Errors: ShapeMismatch for an empty
// or reversed column range, InvalidInput for options or features it cannot
// use (step normalisation over a part of the columns, non-finite or
// malformed features, a feature row, a row scale deg^beta or, with
// bound_weights, weights whose values could leave float32: checked before
// anything is allocated, taking the graph's entries as weighing at most 1 in
// magnitude), OutOfMemory, Cancelled (out is then partly written).
Status embed_columns(const GraphView& graph, const EmbedSettings& settings,
                     OutputBlock out, RunControl* control);

// The allocations of one run, in bytes as the allocator takes them.
struct MemoryPlan {
  std::uint64_t graph_build_peak = 0;  // building the compact graph
  std::uint64_t graph = 0;             // the compact graph, kept
  std::uint64_t result = 0;            // n x columns result, when allocated
  std::uint64_t working = 0;           // the two n x block working matrices
  std::uint64_t options = 0;           // row scales and the feature block of R
  std::uint64_t inputs = 0;            // caller copies held during the run
  std::uint64_t segments = 0;          // the segmented graph, at most
  std::uint64_t peak = 0;              // the largest total at any moment
};

// What the options add to a run: the n row scales of a nonzero
// normalization_strength, the num_features x min(block, feature_dim) block
// of R, and `input_copies` bytes the caller allocated for the run (a float32
// copy of the features) and holds from before the graph is built.
struct OptionShape {
  bool scaled_rows = false;
  std::uint64_t num_features = 0;
  std::uint64_t feature_dim = 0;
  std::uint64_t input_copies = 0;
  // A graph with a row map (GraphView::row_map): a third n x block matrix.
  bool reordered = false;
  // Entries of a graph that is opened rather than built (shape.num_entries
  // is then 0): what its segments copy.
  std::uint64_t opened_entries = 0;
  // step_center: the column sums of every chunk, and with a row map the
  // stored row of every node.
  bool centered = false;
};

// Where a run's result goes: a new n x columns array; a new n x block array
// from each of a series of calls of one block each (a run to disk); or
// caller memory.
enum class ResultMemory { kWhole, kPerBlock, kCaller };

// The plan for building a graph of this shape and embedding `columns` of it
// in blocks of `block`.
MemoryPlan plan_memory(const GraphShape& shape, std::uint64_t columns,
                       std::uint64_t block, ResultMemory result,
                       std::uint64_t workers, const OptionShape& options = {});

// The widest block in [1, min(columns, max_block)] whose plan peaks at or
// below `limit`, evened out over the blocks it needs; 0 when not even one
// column fits.
std::uint64_t widest_block(const GraphShape& shape, std::uint64_t columns,
                           ResultMemory result, std::uint64_t workers,
                           std::uint64_t limit, std::uint64_t max_block,
                           const OptionShape& options = {});

}  // namespace velmar
