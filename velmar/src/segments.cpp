// Building the segmented graph: a counting pass over parts of the rows, the
// offsets of every (segment, part) in segment-major order, and a pass that
// copies each part's pieces to their places. Parts are ranges of rows in
// order, so each segment's pieces come out in row order.
#include "segments.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "builder.h"
#include "platform.h"
#include "pool.h"

namespace velmar {

class SegmentBuilder {
 public:
  template <class Index, class Col>
  static Result<SegmentedGraph> build(const GraphView& g, const Col* cols,
                                      std::uint64_t segment_rows,
                                      const CancelFlag* cancel);
};

namespace {

using detail::footprint_bytes;

std::uint64_t segment_count(std::uint64_t n, std::uint64_t segment_rows) {
  return n / segment_rows + (n % segment_rows != 0 ? 1 : 0);
}

// Whether row [b, e)'s entries visit the segments in increasing order.
template <class Col>
bool in_segment_order(const Col* cols, std::uint64_t b, std::uint64_t e,
                      std::uint64_t segment_rows) {
  for (std::uint64_t k = b + 1; k < e; ++k) {
    if (cols[k] / segment_rows < cols[k - 1] / segment_rows) return false;
  }
  return true;
}

bool raised(const CancelFlag* c) { return c != nullptr && c->is_raised(); }

template <class T>
Status allocate_into(Buffer<T>& out, std::uint64_t count) {
  auto b = Buffer<T>::allocate(count);
  if (!b.ok()) return std::move(b).error();
  out = std::move(b).value();
  return ok_status();
}

}  // namespace

template <class Index, class Col>
Result<SegmentedGraph> SegmentBuilder::build(const GraphView& g,
                                             const Col* cols,
                                             std::uint64_t segment_rows,
                                             const CancelFlag* cancel) {
  const std::uint64_t n = g.num_nodes();
  const std::uint64_t nnz = g.num_entries();
  const std::uint64_t* const rp = g.row_ptrs();
  const std::uint64_t segments = segment_count(n, segment_rows);
  SegmentedGraph out;
  if (segments < 2) return out;

  const std::uint64_t parts = detail::part_count(nnz + n, num_threads());
  const std::vector<std::uint64_t> bounds = detail::split_rows(rp, n, parts);
  // Per (part, segment): pieces, then entries; after the offsets pass, the
  // first piece and entry that the part writes in that segment.
  std::uint64_t cells = 0;
  if (platform::mul_overflow(parts, 2 * segments, &cells)) {
    return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
  }
  Buffer<std::uint64_t> count_buf;
  if (Status s = allocate_into(count_buf, cells); !s.ok()) {
    return std::move(s).error();
  }
  std::uint64_t* const counts = count_buf.data();
  std::vector<std::uint64_t> whole_entries(parts, 0);
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      std::uint64_t* const pieces = counts + p * 2 * segments;
      std::uint64_t* const entries = pieces + segments;
      for (std::uint64_t r = bounds[p]; r < bounds[p + 1]; ++r) {
        const std::uint64_t b = rp[r];
        const std::uint64_t e = rp[r + 1];
        if (b == e || !in_segment_order(cols, b, e, segment_rows)) {
          ++pieces[0];
          entries[0] += e - b;
          whole_entries[p] += e - b;
          continue;
        }
        std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
        for (std::uint64_t k = b; k < e; ++k) {
          const std::uint64_t s = cols[k] / segment_rows;
          pieces[s] += s != last ? 1 : 0;
          ++entries[s];
          last = s;
        }
      }
    }
  });
  if (raised(cancel)) return VelmarError::cancelled();
  std::uint64_t whole = 0;
  for (const std::uint64_t w : whole_entries) whole += w;
  if (whole > nnz / 4) return out;

  if (Status s = allocate_into(out.segment_begin_, segments + 1); !s.ok()) {
    return std::move(s).error();
  }
  std::uint64_t* const segment_begin = out.segment_begin_.data();
  std::uint64_t piece_total = 0;
  std::uint64_t entry_total = 0;
  for (std::uint64_t s = 0; s < segments; ++s) {
    segment_begin[s] = piece_total;
    for (std::uint64_t p = 0; p < parts; ++p) {
      std::uint64_t* const cell = counts + p * 2 * segments;
      const std::uint64_t pieces = cell[s];
      const std::uint64_t entries = cell[segments + s];
      cell[s] = piece_total;
      cell[segments + s] = entry_total;
      piece_total += pieces;
      entry_total += entries;
    }
  }
  segment_begin[segments] = piece_total;

  Buffer<Index>& rows_buf = [&]() -> Buffer<Index>& {
    if constexpr (sizeof(Index) == 4) {
      return out.narrow_rows_;
    } else {
      return out.wide_rows_;
    }
  }();
  Buffer<Index>& cols_buf = [&]() -> Buffer<Index>& {
    if constexpr (sizeof(Index) == 4) {
      return out.narrow_cols_;
    } else {
      return out.wide_cols_;
    }
  }();
  Status allocated = allocate_into(out.starts_, piece_total + 1);
  if (allocated.ok()) allocated = allocate_into(rows_buf, piece_total);
  if (allocated.ok()) allocated = allocate_into(cols_buf, entry_total);
  if (allocated.ok()) allocated = allocate_into(out.scales_, entry_total);
  if (!allocated.ok()) return std::move(allocated).error();
  std::uint64_t* const starts = out.starts_.data();
  Index* const rows = rows_buf.data();
  Index* const seg_cols = cols_buf.data();
  float* const scales = out.scales_.data();
  const float* const in_scales = g.scales();
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      std::uint64_t* const next_piece = counts + p * 2 * segments;
      std::uint64_t* const next_entry = next_piece + segments;
      const auto put = [&](std::uint64_t s, std::uint64_t k) {
        const std::uint64_t at = next_entry[s]++;
        seg_cols[at] = static_cast<Index>(cols[k]);
        scales[at] = in_scales[k];
      };
      for (std::uint64_t r = bounds[p]; r < bounds[p + 1]; ++r) {
        const std::uint64_t b = rp[r];
        const std::uint64_t e = rp[r + 1];
        if (b == e || !in_segment_order(cols, b, e, segment_rows)) {
          const std::uint64_t i = next_piece[0]++;
          starts[i] = next_entry[0] | kFirstPiece | kLastPiece;
          rows[i] = static_cast<Index>(r);
          for (std::uint64_t k = b; k < e; ++k) put(0, k);
          continue;
        }
        const std::uint64_t last = cols[e - 1] / segment_rows;
        std::uint64_t current = std::numeric_limits<std::uint64_t>::max();
        for (std::uint64_t k = b; k < e; ++k) {
          const std::uint64_t s = cols[k] / segment_rows;
          if (s != current) {
            const std::uint64_t i = next_piece[s]++;
            starts[i] = next_entry[s] | (k == b ? kFirstPiece : 0) |
                        (s == last ? kLastPiece : 0);
            rows[i] = static_cast<Index>(r);
            current = s;
          }
          put(s, k);
        }
      }
    }
  });
  starts[piece_total] = entry_total;
  if (raised(cancel)) return VelmarError::cancelled();

  SegmentView& v = out.view_;
  v.num_segments = segments;
  v.segment_rows = segment_rows;
  v.segment_begin = segment_begin;
  v.starts = starts;
  if constexpr (sizeof(Index) == 4) {
    v.narrow_rows = rows;
    v.narrow_cols = seg_cols;
  } else {
    v.wide_rows = rows;
    v.wide_cols = seg_cols;
  }
  v.scales = scales;
  v.num_pieces = piece_total;
  v.num_entries = entry_total;
  return out;
}

Result<SegmentedGraph> build_segments(const GraphView& graph,
                                      std::uint64_t segment_rows,
                                      const CancelFlag* cancel) {
  if (segment_rows == 0) {
    return VelmarError::shape_mismatch("segments of no rows");
  }
  const bool narrow = graph.num_nodes() <= (std::uint64_t{1} << 32);
  if (graph.narrow_cols() != nullptr) {
    return narrow ? SegmentBuilder::build<std::uint32_t>(
                        graph, graph.narrow_cols(), segment_rows, cancel)
                  : SegmentBuilder::build<std::uint64_t>(
                        graph, graph.narrow_cols(), segment_rows, cancel);
  }
  return narrow ? SegmentBuilder::build<std::uint32_t>(graph, graph.wide_cols(),
                                                       segment_rows, cancel)
                : SegmentBuilder::build<std::uint64_t>(graph, graph.wide_cols(),
                                                       segment_rows, cancel);
}

SegmentFootprint segments_footprint(std::uint64_t n, std::uint64_t entries,
                                    std::uint64_t segment_rows,
                                    std::uint64_t workers) {
  SegmentFootprint f;
  if (segment_rows == 0) return f;
  const std::uint64_t segments = segment_count(n, segment_rows);
  if (segments < 2) return f;
  const std::uint64_t index = n <= (std::uint64_t{1} << 32) ? 4 : 8;
  // Each row has min(degree, segments) pieces, or one without entries.
  const std::uint64_t pieces = std::min(
      entries + n, n > UINT64_MAX / segments ? UINT64_MAX : n * segments);
  f.kept = footprint_bytes(8 * (segments + 1)) +
           footprint_bytes(8 * (pieces + 1)) + footprint_bytes(index * pieces) +
           footprint_bytes(index * entries) + footprint_bytes(4 * entries);
  f.scratch =
      footprint_bytes(16 * segments * detail::part_count(entries + n, workers));
  return f;
}

}  // namespace velmar
