// The passes that both symmetrizations share (the graph store's
// CsrMatrix::make_undirected and the compact graph's builder): cutting rows
// into parts of about equal work, the parallel transpose, and the merge of a
// row of A with the same row of A^T.
//
// Rows are addressed through row pointers rp[0..n]; the entries of row r are
// [rp[r] - rp[0], rp[r + 1] - rp[0]) of the column and value arrays. Callers
// have checked that the pointers do not decrease and that every column is
// below n.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

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

// T = A^T in compressed-sparse-row form: tp[0..n], and tc, tv of A's length.
// Every row of T lists its columns in ascending order, whatever the number
// of parts: part p places its entries of column c after those of the parts
// before it, in row order. `cursor` holds parts * n elements and is unused
// (may be null) when parts is 1; 32-bit cursors do when A has fewer than
// 2^32 entries, and take half the memory and cache. Every output element is
// written; nothing needs clearing beforehand.
template <class P, class C, class O, class K>
void transpose(const P* rp, const C* a_col, const double* a_val,
               std::uint64_t n, std::uint64_t parts, K* cursor,
               std::uint64_t* tp, O* tc, double* tv) {
  const std::uint64_t base = as_u64(rp[0]);
  if (parts <= 1) {
    // tp[c + 1] first counts column c; the running sum turns tp[c] into the
    // start of row c; placing entries moves tp[c] to the end of row c, and a
    // shift by one restores the starts.
    std::fill(tp, tp + n + 1, 0);
    const std::uint64_t nnz = as_u64(rp[n]) - base;
    for (std::uint64_t k = 0; k < nnz; ++k) ++tp[as_u64(a_col[k]) + 1];
    for (std::uint64_t c = 0; c < n; ++c) tp[c + 1] += tp[c];
    for (std::uint64_t r = 0; r < n; ++r) {
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
        ++count[as_u64(a_col[k])];
      }
    }
  });
  const std::uint64_t column_grain =
      std::max<std::uint64_t>(kMinPartEntries / parts, 1);
  // Column totals into tp[c + 1], and each part's offset within its column.
  parallel_for(0, n, column_grain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t c = lo; c < hi; ++c) {
      std::uint64_t total = 0;
      for (std::uint64_t p = 0; p < parts; ++p) {
        const std::uint64_t count = cursor[p * n + c];
        cursor[p * n + c] = static_cast<K>(total);
        total += count;
      }
      tp[c + 1] = total;
    }
  });
  tp[0] = 0;
  for (std::uint64_t c = 0; c < n; ++c) tp[c + 1] += tp[c];
  parallel_for(0, n, column_grain, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = 0; p < parts; ++p) {
      K* row = cursor + p * n;
      for (std::uint64_t c = lo; c < hi; ++c) {
        row[c] = static_cast<K>(row[c] + tp[c]);
      }
    }
  });
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      K* next = cursor + p * n;
      for (std::uint64_t r = bounds[p]; r < bounds[p + 1]; ++r) {
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

// Row i of A + A^T from row i of A (a_col[a..a_end), ascending) and row i of
// A^T (t_col[b..b_end), ascending): emit(column, sum) for every sum that
// compares unequal to 0.0 (either zero is dropped, NaN kept), ascending. An
// entry on one side only is summed with +0.0.
template <class C, class O, class Emit>
inline void merge_row(const C* a_col, const double* a_val, std::uint64_t a,
                      std::uint64_t a_end, const O* t_col, const double* t_val,
                      std::uint64_t b, std::uint64_t b_end, Emit&& emit) {
  const auto put = [&](std::uint64_t c, double w) {
    if (w != 0.0) emit(c, w);
  };
  while (a < a_end && b < b_end) {
    const std::uint64_t ca = as_u64(a_col[a]);
    const std::uint64_t cb = as_u64(t_col[b]);
    if (ca < cb) {
      put(ca, a_val[a] + 0.0);
      ++a;
    } else if (cb < ca) {
      put(cb, t_val[b] + 0.0);
      ++b;
    } else {
      put(ca, platform::add(a_val[a], t_val[b]));
      ++a;
      ++b;
    }
  }
  for (; a < a_end; ++a) put(as_u64(a_col[a]), a_val[a] + 0.0);
  for (; b < b_end; ++b) put(as_u64(t_col[b]), t_val[b] + 0.0);
}

}  // namespace velmar::detail
