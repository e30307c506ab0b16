// The compact graph every embedding propagates over: 64-bit row pointers,
// 32-bit column indices where the node count allows (64-bit otherwise) and one
// float32 scale per entry, float32(weight) * (1 / float32(degree)), the factor
// the propagation multiplies a neighbour's row by.
//
// A GraphView is the read-only, validated form the kernels trust: only the
// builders below create one, after checking the structure once. Its arrays
// are either owned by a CompactGraph or borrowed from the caller, who keeps
// them alive and unchanged while the view is used.
#pragma once

#include <atomic>
#include <cstdint>

#include "buffer.h"
#include "error.h"

namespace velmar {

// Element type of a caller's index array.
enum class IndexType { kInt32, kUInt32, kInt64 };

// Caller CSR arrays of a weighted graph (borrowed). row_ptrs is int32 or
// int64 with num_nodes + 1 elements; col_indices has num_entries elements of
// `col_type`; values num_entries float64 weights.
struct CsrInput {
  const void* row_ptrs = nullptr;
  IndexType row_ptr_type = IndexType::kInt64;
  const void* col_indices = nullptr;
  IndexType col_type = IndexType::kInt64;
  const double* values = nullptr;
  std::uint64_t num_nodes = 0;
  std::uint64_t num_entries = 0;
};

// Caller entries of a weighted graph in any order (borrowed): entry k is
// (rows[k], cols[k], values[k]); rows and cols are int32 or int64 (uint32
// columns too) with num_entries elements each.
struct CooInput {
  const void* rows = nullptr;
  IndexType row_type = IndexType::kInt64;
  const void* cols = nullptr;
  IndexType col_type = IndexType::kInt64;
  const double* values = nullptr;
  std::uint64_t num_nodes = 0;
  std::uint64_t num_entries = 0;
};

// What a build makes of the entries: A + A^T when `undirected` (sums
// comparing equal to 0.0 dropped), A itself otherwise; with `keep_values`
// the graph also keeps each entry's float64 weight (what a prepared graph
// stores beside the scales).
struct BuildOptions {
  bool undirected = true;
  bool keep_values = false;
};

// Caller arrays of a compact graph (borrowed): int64 row pointers, uint32 or
// int64 column indices, float32 scales.
struct CompactInput {
  const std::int64_t* row_ptrs = nullptr;
  const void* col_indices = nullptr;
  IndexType col_type = IndexType::kUInt32;
  const float* scales = nullptr;
  std::uint64_t num_nodes = 0;
  std::uint64_t num_entries = 0;
  // Rows stored in another node order: stored row p is node row_map[p]
  // (num_nodes elements, a permutation of 0..n-1). Null: row p is node p.
  const std::uint64_t* row_map = nullptr;
};

class GraphView {
 public:
  std::uint64_t num_nodes() const noexcept { return n_; }
  std::uint64_t num_entries() const noexcept { return nnz_; }
  const std::uint64_t* row_ptrs() const noexcept { return row_ptrs_; }
  // Exactly one of the two is non-null (both null without entries).
  const std::uint32_t* narrow_cols() const noexcept { return narrow_; }
  const std::uint64_t* wide_cols() const noexcept { return wide_; }
  const float* scales() const noexcept { return scales_; }
  // Stored row p is node row_map()[p]; null when row p is node p. An
  // embedding seeds, reads the features of and writes each row as the node
  // it is, so the result is that of the graph in node order.
  const std::uint64_t* row_map() const noexcept { return row_map_; }

 private:
  friend class GraphBuilderAccess;
  friend class CompactGraph;
  GraphView() = default;

  const std::uint64_t* row_ptrs_ = nullptr;
  const std::uint32_t* narrow_ = nullptr;
  const std::uint64_t* wide_ = nullptr;
  const float* scales_ = nullptr;
  const std::uint64_t* row_map_ = nullptr;
  std::uint64_t n_ = 0;
  std::uint64_t nnz_ = 0;
};

// The arrays a builder allocated, and the view over them (which may also
// borrow caller arrays the builder could use as they are). Move-only.
class CompactGraph {
 public:
  const GraphView& view() const noexcept { return view_; }
  // Each entry's float64 weight when the build kept them, else null.
  const double* values() const noexcept { return values_; }

 private:
  friend class GraphBuilderAccess;
  CompactGraph() = default;

  Buffer<std::uint64_t> row_ptrs_;
  Buffer<std::uint32_t> narrow_;
  Buffer<std::uint64_t> wide_;
  Buffer<float> scales_;
  Buffer<double> values_owned_;
  const double* values_ = nullptr;
  GraphView view_;
};

// Set from another thread to stop a long run; checked between row blocks.
struct CancelFlag {
  std::atomic<bool> raised{false};
  bool is_raised() const noexcept {
    return raised.load(std::memory_order_relaxed);
  }
};

// Validates caller CSR arrays in one pass (row pointers start at 0, never
// decrease and end at num_entries; every column in [0, num_nodes)) and
// builds the compact graph. Rows whose columns do not strictly increase are
// first sorted into a copy (builder.h: stable by column, entries sharing a
// column summed in stored order); caller arrays already in that form are
// read in place, and a directed graph borrows their row pointers (when
// 64-bit) and columns. Errors: ShapeMismatch naming the first offending
// element, OutOfMemory, Cancelled.
Result<CompactGraph> build_compact(const CsrInput& input,
                                   const BuildOptions& options,
                                   const CancelFlag* cancel);

// The same from entries in any order: every row and column index is checked
// against num_nodes, the entries are bucketed by row in their given order
// and then sorted and summed as above.
Result<CompactGraph> build_compact(const CooInput& input,
                                   const BuildOptions& options,
                                   const CancelFlag* cancel);

// Building a graph whose entries were sorted elsewhere (on disk, for a
// graph larger than memory), with the code that builds every graph.
//
// merge_sorted: count entries (r[k], c[k], side[k], w[k]) sorted by
// (r, c, side) and, within that, in the order they were read, holding whole
// positions. Each run of one (r, c, side) is summed in order; then, when
// `undirected`, a position's two sides (0: A, 1: A^T) give A + A^T as the
// builders give it, sums comparing equal to 0.0 dropped (directed: every
// sum is kept). The merged entries are written to the front of r, c and w;
// returns their count.
std::uint64_t merge_sorted(std::int64_t* r, std::int64_t* c,
                           const std::int64_t* side, double* w,
                           std::uint64_t count, bool undirected) noexcept;

// scales[k] = float32(values[k]) * (1 / float32(degree)) for the entries of
// `rows` consecutive rows whose row pointers, relative to the first entry,
// are row_ptrs[0..rows] (row_ptrs[0] = 0).
void entry_scales(const std::int64_t* row_ptrs, std::uint64_t rows,
                  const double* values, float* scales) noexcept;

// Checks caller compact arrays (O(n + nnz): row pointers as above, every
// column below num_nodes, a row map that names every node once) and returns
// a view over them without a copy.
Result<GraphView> view_compact(const CompactInput& input);

// The same rows, columns and row map as `graph` with other per-entry
// factors: the operators of the spectral method share the graph's structure
// and differ only in these. `scales` (num_entries floats) is borrowed.
GraphView with_scales(const GraphView& graph, const float* scales) noexcept;

// Bytes that build_compact allocates, at its peak and what stays allocated
// after it returns.
struct BuildFootprint {
  std::uint64_t peak = 0;
  std::uint64_t kept = 0;
};
// The shape of a graph to be built, for planning: its size, the form of its
// entries and what the build makes of them.
struct GraphShape {
  std::uint64_t num_nodes = 0;
  std::uint64_t num_entries = 0;
  // Entries of the built graph: at most 2 * num_entries when undirected,
  // num_entries otherwise.
  std::uint64_t out_entries = 0;
  bool row_ptrs_32bit = false;
  // The caller's rows are known to strictly increase; otherwise the plan
  // counts the sorted copy, as it must for entries in any order.
  bool sorted = true;
  BuildOptions build;
};
BuildFootprint build_footprint(const GraphShape& shape, std::uint64_t workers);

}  // namespace velmar
