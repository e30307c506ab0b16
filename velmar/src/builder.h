// The only code that turns stored entries into a graph's rows: sorting a row
// by column and summing the entries that share a column, the transpose and
// the merge that give A + A^T, and the entry scales the propagation
// multiplies by. The graph store (CsrMatrix) and the compact graph are both
// built through it, so they hold the same entries with the same bits.
//
// Rows are addressed through row pointers rp[0..n]; the entries of row r are
// [rp[r] - rp[0], rp[r + 1] - rp[0]) of the column and value arrays. Callers
// have checked that the pointers do not decrease and that every column is
// below n.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "buffer.h"
#include "error.h"

#include "platform.h"
#include "pool.h"

namespace velmar::detail {

// Parts per worker, the fewest entries (or rows) worth a part of their own,
// and the rows per task of the row-parallel merges.
inline constexpr std::uint64_t kPartsPerWorker = 4;
inline constexpr std::uint64_t kMinPartEntries = std::uint64_t{1} << 15;
inline constexpr std::uint64_t kMergeGrain = 1024;

template <class T>
constexpr std::uint64_t as_u64(T x) noexcept {
  return static_cast<std::uint64_t>(x);
}

// Parts for a pass over `entries`: a few per worker so that uneven parts even
// out, none smaller than kMinPartEntries, one for a single worker.
inline std::uint64_t part_count(std::uint64_t entries, std::uint64_t workers) {
  if (workers <= 1) return 1;
  return std::min<std::uint64_t>(kPartsPerWorker * workers,
                                 entries / kMinPartEntries + 1);
}

// Parts of the transpose: each keeps a cursor per column, which bounds their
// number by the memory of the transpose itself. One part needs no cursors.
inline std::uint64_t transpose_parts(std::uint64_t n, std::uint64_t nnz,
                                     std::uint64_t workers) {
  return std::min(part_count(nnz, workers), nnz / (n + 1) + 1);
}

// Rows [bounds[p], bounds[p + 1]) hold about nnz / parts entries each.
template <class P>
std::vector<std::uint64_t> split_rows(const P* rp, std::uint64_t n,
                                      std::uint64_t parts) {
  const std::uint64_t base = as_u64(rp[0]);
  const std::uint64_t nnz = as_u64(rp[n]) - base;
  std::vector<std::uint64_t> bounds(parts + 1, n);
  for (std::uint64_t p = 0; p < parts; ++p) {
    // p * nnz / parts without overflowing.
    const std::uint64_t target = p * (nnz / parts) + p * (nnz % parts) / parts;
    bounds[p] = static_cast<std::uint64_t>(
        std::lower_bound(rp, rp + n, static_cast<P>(base + target)) - rp);
  }
  return bounds;
}

// Faults in the pages of fresh memory in order, in parallel, asking `stop()`
// every kTouchPages pages. A scatter into memory never touched takes nearly
// all its page faults in its first stretch, between two looks at the cancel
// flag; on some machines that is the first touch of hundreds of megabytes,
// far longer than a Ctrl-C should wait. The contents stay unspecified.
inline constexpr std::uint64_t kTouchPages = std::uint64_t{1} << 12;

template <class T, class Stop>
void first_touch(T* data, std::uint64_t count, Stop&& stop) {
  // 4 KiB is the smallest page of the platforms we build for; larger pages
  // are touched more than once, which costs nothing.
  constexpr std::uint64_t stride = sizeof(T) >= 4096 ? 1 : 4096 / sizeof(T);
  const std::uint64_t pages = (count + stride - 1) / stride;
  parallel_for(0, pages, kTouchPages, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t q = lo; q < hi; ++q) {
      if ((q - lo) % kTouchPages == 0 && stop()) return;
      data[q * stride] = T{};
    }
  });
}

// T = A^T in compressed-sparse-row form: tp[0..n], and tc, tv of A's length.
// Every row of T lists its columns in ascending order, whatever the number
// of parts: part p places its entries of column c after those of the parts
// before it, in row order. `cursor` holds parts * n elements and is unused
// (may be null) when parts is 1; 32-bit cursors do when A has fewer than
// 2^32 entries, and take half the memory and cache. Every output element is
// written; nothing needs clearing beforehand (tc and tv are faulted in first,
// see first_touch). `stop()` is asked every kStopRows rows of a pass; once it
// says so, the rest is skipped and the result is incomplete.
inline constexpr std::uint64_t kStopRows = 1 << 14;

template <class P, class C, class O, class K, class Stop>
void transpose(const P* rp, const C* a_col, const double* a_val,
               std::uint64_t n, std::uint64_t parts, K* cursor,
               std::uint64_t* tp, O* tc, double* tv, Stop&& stop) {
  const std::uint64_t base = as_u64(rp[0]);
  first_touch(tc, as_u64(rp[n]) - base, stop);
  first_touch(tv, as_u64(rp[n]) - base, stop);
  if (stop()) return;
  if (parts <= 1) {
    // tp[c + 1] first counts column c; the running sum turns tp[c] into the
    // start of row c; placing entries moves tp[c] to the end of row c, and a
    // shift by one restores the starts.
    std::fill(tp, tp + n + 1, 0);
    const std::uint64_t nnz = as_u64(rp[n]) - base;
    for (std::uint64_t k = 0; k < nnz; ++k) {
      if (k % (kStopRows * 64) == 0 && stop()) return;
      ++tp[as_u64(a_col[k]) + 1];
    }
    for (std::uint64_t c = 0; c < n; ++c) tp[c + 1] += tp[c];
    for (std::uint64_t r = 0; r < n; ++r) {
      if (r % kStopRows == 0 && stop()) return;
      const std::uint64_t end = as_u64(rp[r + 1]) - base;
      for (std::uint64_t k = as_u64(rp[r]) - base; k < end; ++k) {
        const std::uint64_t pos = tp[as_u64(a_col[k])]++;
        tc[pos] = static_cast<O>(r);
        tv[pos] = a_val[k];
      }
    }
    for (std::uint64_t c = n; c > 0; --c) tp[c] = tp[c - 1];
    tp[0] = 0;
    return;
  }
  const std::vector<std::uint64_t> bounds = split_rows(rp, n, parts);
  // cursor[p * n + c]: entries of column c in part p, then the position of
  // part p's next entry of column c.
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      K* count = cursor + p * n;
      std::fill(count, count + n, K{0});
      const std::uint64_t end = as_u64(rp[bounds[p + 1]]) - base;
      for (std::uint64_t k = as_u64(rp[bounds[p]]) - base; k < end; ++k) {
        if (k % (kStopRows * 64) == 0 && stop()) return;
        ++count[as_u64(a_col[k])];
      }
    }
  });
  if (stop()) return;
  const std::uint64_t column_grain =
      std::max<std::uint64_t>(kMinPartEntries / parts, 1);
  // Column totals into tp[c + 1], and each part's offset within its column.
  parallel_for(0, n, column_grain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t c = lo; c < hi; ++c) {
      // Each column reads a word from every part: many cache misses.
      if ((c - lo) % kStopRows == 0 && stop()) return;
      std::uint64_t total = 0;
      for (std::uint64_t p = 0; p < parts; ++p) {
        const std::uint64_t count = cursor[p * n + c];
        cursor[p * n + c] = static_cast<K>(total);
        total += count;
      }
      tp[c + 1] = total;
    }
  });
  if (stop()) return;
  tp[0] = 0;
  for (std::uint64_t c = 0; c < n; ++c) tp[c + 1] += tp[c];
  parallel_for(0, n, column_grain, [&](std::uint64_t lo, std::uint64_t hi) {
    if (stop()) return;
    for (std::uint64_t p = 0; p < parts; ++p) {
      K* row = cursor + p * n;
      for (std::uint64_t c = lo; c < hi; ++c) {
        row[c] = static_cast<K>(row[c] + tp[c]);
      }
    }
  });
  if (stop()) return;
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      K* next = cursor + p * n;
      for (std::uint64_t r = bounds[p]; r < bounds[p + 1]; ++r) {
        if ((r - bounds[p]) % kStopRows == 0 && stop()) return;
        const std::uint64_t end = as_u64(rp[r + 1]) - base;
        for (std::uint64_t k = as_u64(rp[r]) - base; k < end; ++k) {
          const std::uint64_t pos = next[as_u64(a_col[k])]++;
          tc[pos] = static_cast<O>(r);
          tv[pos] = a_val[k];
        }
      }
    }
  });
}

// The weight of a position of A + A^T: the two sides added (A's first), or
// one side's weight + 0.0 (which turns -0.0 into +0.0). A sum that compares
// equal to 0.0 is not stored (either zero is dropped, NaN kept).
inline double pair_sum(double a, double t) noexcept {
  return platform::add(a, t);
}
inline double one_side_sum(double w) noexcept { return w + 0.0; }
inline bool stored(double sum) noexcept { return sum != 0.0; }

// Row i of A + A^T from row i of A (a_col[a..a_end), ascending) and row i of
// A^T (t_col[b..b_end), ascending): emit(column, sum) for every stored sum,
// ascending.
template <class C, class O, class Emit>
inline void merge_row(const C* a_col, const double* a_val, std::uint64_t a,
                      std::uint64_t a_end, const O* t_col, const double* t_val,
                      std::uint64_t b, std::uint64_t b_end, Emit&& emit) {
  const auto put = [&](std::uint64_t c, double w) {
    if (stored(w)) emit(c, w);
  };
  while (a < a_end && b < b_end) {
    const std::uint64_t ca = as_u64(a_col[a]);
    const std::uint64_t cb = as_u64(t_col[b]);
    if (ca < cb) {
      put(ca, one_side_sum(a_val[a]));
      ++a;
    } else if (cb < ca) {
      put(cb, one_side_sum(t_val[b]));
      ++b;
    } else {
      put(ca, pair_sum(a_val[a], t_val[b]));
      ++a;
      ++b;
    }
  }
  for (; a < a_end; ++a) put(as_u64(a_col[a]), one_side_sum(a_val[a]));
  for (; b < b_end; ++b) put(as_u64(t_col[b]), one_side_sum(t_val[b]));
}

// Entries sharing a column are summed as they come, each later one added to
// the sum so far: sum = incoming + sum. (With two NaNs the sum carries the
// incoming payload.)
inline double sum_duplicate(double sum, double incoming) noexcept {
  return platform::add(incoming, sum);
}

template <class C>
struct RowEntry {
  C col;
  double weight;
};

// Sorts the entries [s, e) of (col, val) by column, entries of equal column
// keeping their stored order, sums each run of equal columns in that order
// (sum_duplicate) and writes the row from position `to` on; returns the
// number of entries written. The row is copied out first, so `to` may be any
// position at or before s (compacting in place). No weight is tested.
template <class C>
std::uint64_t sort_row(C* col, double* val, std::uint64_t s, std::uint64_t e,
                       std::uint64_t to, std::vector<RowEntry<C>>& scratch) {
  scratch.clear();
  for (std::uint64_t k = s; k < e; ++k) scratch.push_back({col[k], val[k]});
  std::stable_sort(
      scratch.begin(), scratch.end(),
      [](const RowEntry<C>& a, const RowEntry<C>& b) { return a.col < b.col; });
  std::uint64_t k = to;
  for (std::size_t r = 0; r < scratch.size(); ++r) {
    if (r > 0 && scratch[r].col == col[k - 1]) {
      val[k - 1] = sum_duplicate(val[k - 1], scratch[r].weight);
    } else {
      col[k] = scratch[r].col;
      val[k] = scratch[r].weight;
      ++k;
    }
  }
  return k - to;
}

// Whether the entries [s, e) strictly increase by column.
template <class C>
bool row_sorted(const C* col, std::uint64_t s, std::uint64_t e) noexcept {
  for (std::uint64_t k = s + 1; k < e; ++k) {
    if (!(col[k - 1] < col[k])) return false;
  }
  return true;
}

// The factor of an entry of weight w in a row of `degree` stored entries:
// float32(w) * (1 / float32(degree)), each operation rounded to float32.
inline float inverse_degree(std::uint64_t degree) noexcept {
  return 1.0f / static_cast<float>(degree);
}
inline float entry_scale(double w, float inverse) noexcept {
  return static_cast<float>(w) * inverse;
}

// The per-entry factors of the spectral method's operators, which share the
// graph's rows and columns (with_scales in graph.h). w is the entry's weight
// (>= 0), the other arguments per-node figures of its row r and column c;
// each is computed in float64 and rounded once to float32.
//   normalised adjacency D^-1/2 A D^-1/2:  (s_r * w) * s_c,  s = d^-1/2
inline float normalized_scale(double w, double s_r, double s_c) noexcept {
  return static_cast<float>((s_r * w) * s_c);
}
//   log proximity M and its transpose (log_ratio = ln(w / d) of the row or
//   column, ln_p the other node's ln P): a zero weight is no entry of M
inline float log_scale(double log_ratio, double ln_p) noexcept {
  return static_cast<float>(log_ratio - ln_p);
}
//   the filter's -D'^-1 A (d' = d + sigma)
inline float filter_scale(double w, double d_shifted) noexcept {
  return static_cast<float>(-(w / d_shifted));
}
//   A / sigma, sigma the mean entry weight
inline float mean_scaled(double w, double sigma) noexcept {
  return static_cast<float>(w / sigma);
}

// A + A^T of rows whose columns strictly increase and lie below n, written
// through `sink`:
//   Result<std::uint64_t*> sink.row_pointers()  the result's n + 1 row
//                                               pointers, allocated once the
//                                               transpose's cursors are freed;
//   Status sink.reserve(total)                  room for the entries;
//   sink.put(position, column, sum, inverse)    one entry (row-parallel), with
//                                               inverse_degree of its row.
// T = A^T is built in scratch buffers of column type O; a counting merge of
// each row of A with the same row of T sizes the output rows, and every row
// is then merged again straight into its place. Sums that compare equal to
// 0.0 are dropped (merge_row). `stop()` is asked between passes; when it
// says so, the result is incomplete and Cancelled is returned.
template <class O, class P, class C, class Sink, class Stop>
Status symmetrize(const P* rp, const C* a_col, const double* a_val,
                  std::uint64_t n, Sink& sink, Stop&& stop) {
  const std::uint64_t nnz = as_u64(rp[n]) - as_u64(rp[0]);
  const std::uint64_t base = as_u64(rp[0]);
  auto tp_buf = Buffer<std::uint64_t>::allocate(n + 1);
  if (!tp_buf.ok()) return std::move(tp_buf).error();
  auto tc_buf = Buffer<O>::allocate(nnz);
  if (!tc_buf.ok()) return std::move(tc_buf).error();
  auto tv_buf = Buffer<double>::allocate(nnz);
  if (!tv_buf.ok()) return std::move(tv_buf).error();
  std::uint64_t* tp = tp_buf->data();
  O* tc = tc_buf->data();
  double* tv = tv_buf->data();
  {
    // The cursors are freed before the output is allocated (the memory
    // plan counts on it). 32-bit cursors do below 2^32 entries.
    const std::uint64_t parts = transpose_parts(n, nnz, num_threads());
    const bool narrow = nnz <= 0xFFFFFFFFull;
    Buffer<std::uint32_t> narrow_cursors;
    Buffer<std::uint64_t> wide_cursors;
    if (parts > 1) {
      if (narrow) {
        auto c = Buffer<std::uint32_t>::allocate(parts * n);
        if (!c.ok()) return std::move(c).error();
        narrow_cursors = std::move(c).value();
      } else {
        auto c = Buffer<std::uint64_t>::allocate(parts * n);
        if (!c.ok()) return std::move(c).error();
        wide_cursors = std::move(c).value();
      }
    }
    if (narrow) {
      transpose(rp, a_col, a_val, n, parts, narrow_cursors.data(), tp, tc, tv,
                stop);
    } else {
      transpose(rp, a_col, a_val, n, parts, wide_cursors.data(), tp, tc, tv,
                stop);
    }
  }
  if (stop()) return VelmarError::cancelled();

  auto rows = sink.row_pointers();
  if (!rows.ok()) return std::move(rows).error();
  std::uint64_t* const op = rows.value();
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      if ((i - lo) % kStopRows == 0 && stop()) return;
      std::uint64_t len = 0;
      merge_row(a_col, a_val, as_u64(rp[i]) - base, as_u64(rp[i + 1]) - base,
                tc, tv, tp[i], tp[i + 1],
                [&len](std::uint64_t, double) { ++len; });
      op[i + 1] = len;
    }
  });
  op[0] = 0;
  for (std::uint64_t i = 0; i < n; ++i) op[i + 1] += op[i];
  if (stop()) return VelmarError::cancelled();

  if (Status s = sink.reserve(op[n]); !s.ok()) return s;
  parallel_for(0, n, kMergeGrain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      if ((i - lo) % kStopRows == 0 && stop()) return;
      std::uint64_t pos = op[i];
      const float inverse = inverse_degree(op[i + 1] - op[i]);
      merge_row(a_col, a_val, as_u64(rp[i]) - base, as_u64(rp[i + 1]) - base,
                tc, tv, tp[i], tp[i + 1], [&](std::uint64_t c, double w) {
                  sink.put(pos, c, w, inverse);
                  ++pos;
                });
    }
  });
  if (stop()) return VelmarError::cancelled();
  return ok_status();
}

}  // namespace velmar::detail
