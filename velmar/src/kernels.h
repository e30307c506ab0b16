// Internal to the engine: the float32 row arithmetic of the projection and
// the propagation over column blocks of the compact graph. Everything here
// is defined in kernels.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "feature_input.h"
#include "graph.h"
#include "segments.h"

namespace velmar::detail {

// The vector clone the kernels below run: "x86-64-v4", "x86-64-v3" or
// "default", chosen when the library loads (see kernels.cpp).
const char* kernel_clone() noexcept;

// The same choice, for the other files whose kernels have clones.
enum class KernelClone { kBaseline, kV3, kV4 };
KernelClone kernel_clone_kind() noexcept;

// Kernels are compiled three times, for x86-64-v4 (AVX-512), x86-64-v3
// (AVX2) and the baseline, where the compiler can target each (not under
// the sanitizers, whose runtimes do not follow target attributes); once
// elsewhere. A file defines kernel_v4, kernel_v3 and kernel_baseline of the
// same signature, and its entry point returns
// VELMAR_CLONE_DISPATCH(clone, kernel, arguments...) with clone a
// KernelClone, usually kernel_clone_kind().
#if (defined(__x86_64__) || defined(_M_X64)) &&  \
    (defined(__GNUC__) || defined(__clang__)) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VELMAR_X86_CLONES 1
#endif

#if VELMAR_X86_CLONES
#define VELMAR_CLONE_DISPATCH(clone, kernel, ...)  \
  switch (clone) {                                 \
    case ::velmar::detail::KernelClone::kV4:       \
      return kernel##_v4(__VA_ARGS__);             \
    case ::velmar::detail::KernelClone::kV3:       \
      return kernel##_v3(__VA_ARGS__);             \
    case ::velmar::detail::KernelClone::kBaseline: \
      break;                                       \
  }                                                \
  return kernel##_baseline(__VA_ARGS__)
#else
#define VELMAR_CLONE_DISPATCH(clone, kernel, ...) \
  return kernel##_baseline(__VA_ARGS__)
#endif

// Rows [lo, hi) of columns [j0, j0 + width) of the projection, into the
// rows of h (row stride `stride` >= width): row i from the Xoshiro256++
// generator seeded with base + i (mod 2^64), advanced past its first j0
// outputs, one draw per element in column order, each element +sqrt(3),
// -sqrt(3) or +0.0 by the float32 thresholds. Any column range gives exactly
// those columns of the full projection (j0 = 0, width = dim).
//
// Advancing a generator costs as much as drawing, so a run over consecutive
// column blocks keeps every row's generator between them in `generators`
// (four words per row, row i at words + 4 i): the first block seeds and
// advances them and saves them; the next ones continue from there
// (resume), and give the same draws.
//
// With a row map, row i is drawn from the generator seeded base + row_map[i]
// instead: the stored rows of a graph kept in another node order, keyed by
// the node each one is.
struct RowGenerators {
  std::uint64_t* words = nullptr;  // null: seed and advance every time
  bool resume = false;
};
void fill_projection_block(float* h, std::uint64_t stride, std::uint64_t width,
                           std::uint64_t j0, std::uint64_t lo, std::uint64_t hi,
                           std::uint64_t base, RowGenerators generators = {},
                           const std::uint64_t* row_map = nullptr) noexcept;

// Rows [lo, hi): every nonzero h_row[j], j < width, becomes
// float32(h_row[j] * scales[r]); zeros stay as they are (no 0 * inf).
void scale_block_rows(float* h, std::uint64_t stride, std::uint64_t width,
                      const float* scales, std::uint64_t lo,
                      std::uint64_t hi) noexcept;

// The feature columns of a block: h_row (row stride `stride`, `width`
// columns) = X_row R, R being num_features x width (row stride width).
// Each element starts at +0.0 and adds float32(R[c][j] * x) for the stored
// entries (c, x) of the row in ascending c; dense zeros are skipped, which
// never changes a sum that starts at +0.0. With a row map, row i of h is
// X_row_map[i] R.
struct FeatureBlock {
  const FeatureInput* x = nullptr;
  const float* r = nullptr;
  std::uint64_t width = 0;
  float* h = nullptr;
  std::uint64_t stride = 0;
  const std::uint64_t* row_map = nullptr;
};
void feature_block_rows(const FeatureBlock& block, std::uint64_t lo,
                        std::uint64_t hi) noexcept;

// Scales h[0, n) to unit length in float64: the squares summed in eight
// partial sums by j mod 8, each in ascending j, combined as
// ((p0 + p1) + (p2 + p3)) + ((p4 + p5) + (p6 + p7)); then
// h[j] = float32(h[j] * (1 / sqrt(sum))). A row whose sum is 0 is left as
// it is.
void l2_normalize_row(float* h, std::size_t n) noexcept;

// One propagation step over a column block of width `width`: `cur` and
// `next` are n x width (row stride width), `acc` (when not null) points at
// the block's first column of the result, whose row stride is acc_stride.
struct BlockStep {
  const float* cur = nullptr;
  float* next = nullptr;
  std::uint64_t width = 0;
  bool normalize = false;  // l2_normalize_row each finished row first
  float* acc = nullptr;
  std::uint64_t acc_stride = 0;
  float weight = 0.0f;
  bool acc_is_zero = false;
};

// Rows [lo, hi) of next = P cur over the compact graph, each row the sum over
// its entries (c, s) in stored order of s times row c of `cur`, from +0.0;
// scaled to unit length when step.normalize; then, when step.acc is set,
// acc_row = next_row * weight + acc_row (written without reading acc when
// acc_is_zero).
void propagate_block_rows(const GraphView& graph, const BlockStep& step,
                          std::uint64_t lo, std::uint64_t hi) noexcept;

// Pieces [lo, hi) of one segment of `segments` (segments.h) over a column
// block: each adds s times row c of `cur`, for its entries (c, s) in stored
// order, to its row of `next`, which starts at +0.0 at the row's first piece
// and holds the row's sum so far at the others; a row's last piece finishes
// it as propagate_block_rows does (normalised, accumulated). Run over every
// segment in increasing order, this is propagate_block_rows bit for bit.
void propagate_block_pieces(const SegmentView& segments, const BlockStep& step,
                            std::uint64_t lo, std::uint64_t hi) noexcept;

// Rows [lo, hi): acc_row[j] = h_row[j] * w + acc_row[j] for j < width, h of
// row stride width and acc of row stride acc_stride.
void accumulate_block_rows(float* acc, std::uint64_t acc_stride, const float* h,
                           std::uint64_t width, float w, bool acc_is_zero,
                           std::uint64_t lo, std::uint64_t hi) noexcept;

}  // namespace velmar::detail
