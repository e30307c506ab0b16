// The loop over the rows of a working matrix that every row-parallel pass
// runs: pieces handed to the worker pool, each split further so that a
// cancelled run stops within a fraction of a millisecond.
#pragma once

#include <algorithm>
#include <cstdint>

#include "buffer.h"
#include "graph.h"
#include "pool.h"

namespace velmar {

// About this many float operations per block handed to a worker, and per
// look at the cancel flag inside one: a fraction of a millisecond.
inline constexpr std::uint64_t kGrainElements = 4096;
inline constexpr std::uint64_t kCheckElements = std::uint64_t{1} << 18;

// Runs body(lo, hi) over the rows in pieces of about kCheckElements of work,
// skipping what is left once the run is cancelled.
template <class Body>
void for_rows(std::uint64_t n, std::uint64_t work_per_row,
              const CancelFlag& cancel, Body&& body) {
  const std::uint64_t per_row = std::max<std::uint64_t>(work_per_row, 1);
  const std::uint64_t grain =
      std::max<std::uint64_t>(1, kGrainElements / per_row);
  const std::uint64_t piece =
      std::max<std::uint64_t>(1, kCheckElements / per_row);
  parallel_for(0, n, grain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t r = lo; r < hi;) {
      if (cancel.is_raised()) return;
      const std::uint64_t end = hi - r <= piece ? hi : r + piece;
      body(r, end);
      r = end;
    }
  });
}

// The stored row of every node of a graph kept in another row order (the
// inverse of its row map), filled in parallel; an empty buffer (null data)
// when stored row p is node p. Cancelled, it is left part-filled: the caller
// looks at the flag.
inline Result<Buffer<std::uint64_t>> node_rows(const GraphView& graph,
                                               const CancelFlag& cancel) {
  const std::uint64_t* const map = graph.row_map();
  if (map == nullptr) return Buffer<std::uint64_t>();
  auto rows = Buffer<std::uint64_t>::allocate(graph.num_nodes());
  if (!rows.ok()) return rows;
  std::uint64_t* const inv = rows->data();
  for_rows(graph.num_nodes(), 2, cancel,
           [&](std::uint64_t lo, std::uint64_t hi) {
             for (std::uint64_t r = lo; r < hi; ++r) inv[map[r]] = r;
           });
  return rows;
}

}  // namespace velmar
