// The compact graph's entries regrouped by segments of its columns, so that a
// propagation step can gather the rows of the working matrix one segment at a
// time while that segment's rows stay in the last-level cache.
//
// Segment s covers columns [s R, (s + 1) R). A row's entries in segment s
// form one piece; pieces are stored segment by segment, each segment's in row
// order, and their entries (columns and scales, copied) in the same order.
// When a row's stored entries visit the segments in increasing order, taking
// the segments in increasing order adds them in stored order: the row's
// float32 running sum, carried in the working matrix from one segment to the
// next, goes through exactly the additions of an unsegmented step. Rows whose
// entries do not (unsorted rows, such as those of a graph kept in another
// node order) and rows without entries are one piece each, in segment 0.
#pragma once

#include <cstdint>

#include "buffer.h"
#include "error.h"
#include "graph.h"

namespace velmar {

// Piece i holds entries [starts[i] & kPieceEntries, starts[i + 1] &
// kPieceEntries) of row rows[i]; kFirstPiece marks the row's first piece
// (its sum starts there at +0.0), kLastPiece its last (the row is finished).
inline constexpr std::uint64_t kFirstPiece = std::uint64_t{1} << 63;
inline constexpr std::uint64_t kLastPiece = std::uint64_t{1} << 62;
inline constexpr std::uint64_t kPieceEntries = kLastPiece - 1;

// Read-only arrays of a SegmentedGraph. Rows and columns are 32-bit when the
// graph has at most 2^32 nodes (narrow_*), 64-bit otherwise (wide_*).
struct SegmentView {
  std::uint64_t num_segments = 0;  // 0: the graph is not segmented
  std::uint64_t segment_rows = 0;
  // Pieces [segment_begin[s], segment_begin[s + 1]) are segment s's.
  const std::uint64_t* segment_begin = nullptr;
  const std::uint64_t* starts = nullptr;  // one per piece, and the end
  const std::uint32_t* narrow_rows = nullptr;
  const std::uint32_t* narrow_cols = nullptr;
  const std::uint64_t* wide_rows = nullptr;
  const std::uint64_t* wide_cols = nullptr;
  const float* scales = nullptr;
  std::uint64_t num_pieces = 0;
  std::uint64_t num_entries = 0;
};

// Owns the arrays of a view. Move-only; empty (num_segments 0) when the
// graph is not segmented.
class SegmentedGraph {
 public:
  const SegmentView& view() const noexcept { return view_; }
  bool empty() const noexcept { return view_.num_segments == 0; }

 private:
  friend class SegmentBuilder;

  Buffer<std::uint64_t> segment_begin_;
  Buffer<std::uint64_t> starts_;
  Buffer<std::uint32_t> narrow_rows_;
  Buffer<std::uint32_t> narrow_cols_;
  Buffer<std::uint64_t> wide_rows_;
  Buffer<std::uint64_t> wide_cols_;
  Buffer<float> scales_;
  SegmentView view_;
};

// The segments of `segment_rows` (>= 1) columns each, built in two parallel
// passes over the graph. Empty when they would not pay: fewer than two
// segments, or more than a quarter of the entries in rows taken whole.
// Errors: OutOfMemory, Cancelled.
Result<SegmentedGraph> build_segments(const GraphView& graph,
                                      std::uint64_t segment_rows,
                                      const CancelFlag* cancel);

// Bytes that build_segments keeps at most for a graph of `n` rows and
// `entries` entries (every row with min(degree, segments) pieces, or one),
// and allocates at its peak on top of that (one count per part of the rows
// and segment). 0 for fewer than two segments.
struct SegmentFootprint {
  std::uint64_t kept = 0;
  std::uint64_t scratch = 0;
};
SegmentFootprint segments_footprint(std::uint64_t n, std::uint64_t entries,
                                    std::uint64_t segment_rows,
                                    std::uint64_t workers);

}  // namespace velmar
