// The float32 row arithmetic of the propagation, in one place.
//
// Every element is computed as the algorithm defines it: a row of the next
// matrix starts at +0.0 and adds in[j] * t for its entries in stored order,
// an element of the result adds h[j] * w; each product and each sum rounded
// to float32. The library is built with -ffp-contract=off, so no clone below
// fuses a multiply and an add, and no loop reduces across j: vectorising
// changes how many elements one instruction handles, never their arithmetic.
//
// A step gathers one dim-float row per stored entry from rows spread over the
// whole matrix, so it is bound by memory latency: the loop prefetches the
// rows of the entries a few positions ahead of the one it adds.
#include "kernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "rng.h"

namespace velmar::detail {
namespace {

// Entries ahead whose rows are being fetched. Eight rows of 512 bytes keep
// enough lines in flight to cover the memory latency of this class of
// machine without evicting rows still to be used.
constexpr std::uint64_t kPrefetchEntries = 8;
constexpr std::size_t kCacheLine = 64;

VELMAR_ALWAYS_INLINE void prefetch_row(const float* row,
                                       std::size_t bytes) noexcept {
  const char* p = reinterpret_cast<const char*>(row);
  for (std::size_t off = 0; off < bytes; off += kCacheLine) {
    platform::prefetch_read(p + off);
  }
}

// platform::add and platform::mul are the plain operations on x86; elsewhere
// they give an invalid operation x86's NaN, so the bits agree everywhere.
using platform::add;
using platform::mul;

VELMAR_ALWAYS_INLINE void scale_add(float* __restrict out,
                                    const float* __restrict in, float t,
                                    std::size_t n) noexcept {
  for (std::size_t j = 0; j < n; ++j) out[j] = add(mul(in[j], t), out[j]);
}

// out[j] = in[j] * t + 0.0f: the same operations as scale_add on an `out`
// that holds +0.0, without reading it.
VELMAR_ALWAYS_INLINE void scale_add_to_zero(float* __restrict out,
                                            const float* __restrict in, float t,
                                            std::size_t n) noexcept {
  for (std::size_t j = 0; j < n; ++j) out[j] = add(mul(in[j], t), 0.0f);
}

constexpr float kSqrt3 = std::bit_cast<float>(0x3FDDB3D7u);
constexpr float kMinusSqrt3 = std::bit_cast<float>(0xBFDDB3D7u);
// 1/6 rounded to float32, and its double computed in float32.
constexpr float kP = std::bit_cast<float>(0x3E2AAAABu);
constexpr float kTwoP = kP + kP;
static_assert(std::bit_cast<std::uint32_t>(kTwoP) == 0x3EAAAAABu);

// The element decided by one generator output.
VELMAR_ALWAYS_INLINE float projection_entry(std::uint64_t r) noexcept {
  // The top 24 bits scaled into [0, 1), exact in float32 (through int32,
  // which vectorises where a conversion from uint64 does not).
  const float u =
      static_cast<float>(static_cast<std::int32_t>(r >> 40)) * 0x1p-24f;
  // Selects rather than branches: the outcome is random.
  const float nonzero = kP > u ? kSqrt3 : kMinusSqrt3;
  return kTwoP > u ? nonzero : 0.0f;
}

// A row's generator is one serial chain of dependent operations. Rows are
// drawn in groups whose generators step in lockstep, so that the chains
// overlap (and vectorise across the group); each row still gets exactly its
// own generator's outputs in order. Leftover rows use a group of one.
// `saved`: the group's generator words (RowGenerators), or null.
template <std::size_t L>
VELMAR_ALWAYS_INLINE void fill_projection_group(
    float* rows, std::uint64_t stride, std::uint64_t width, std::uint64_t j0,
    std::uint64_t first_seed, const std::uint64_t* keys, std::uint64_t* saved,
    bool resume) noexcept {
  XoshiroLanes<L> lanes;
  if (saved != nullptr && resume) {
    lanes.load(saved);
  } else {
    if (keys != nullptr) {
      lanes.seed_each(first_seed, keys);
    } else {
      lanes.seed(first_seed);
    }
    lanes.discard(j0);
  }
  for (std::uint64_t j = 0; j < width; ++j) {
    std::uint64_t out[L];
    lanes.next(out);
    for (std::size_t l = 0; l < L; ++l) {
      rows[l * stride + j] = projection_entry(out[l]);
    }
  }
  if (saved != nullptr) lanes.store(saved);
}

VELMAR_ALWAYS_INLINE void fill_projection_block_body(
    float* h, std::uint64_t stride, std::uint64_t width, std::uint64_t j0,
    std::uint64_t lo, std::uint64_t hi, std::uint64_t base, RowGenerators gens,
    const std::uint64_t* row_map) noexcept {
  constexpr std::uint64_t kGroup = 8;
  const auto saved = [&](std::uint64_t r) {
    return gens.words != nullptr ? gens.words + 4 * r : nullptr;
  };
  // With a row map, row r is keyed base + row_map[r]; without, base + r.
  const auto first = [&](std::uint64_t r) {
    return row_map != nullptr ? base : base + r;
  };
  const auto keys = [&](std::uint64_t r) {
    return row_map != nullptr ? row_map + r : nullptr;
  };
  std::uint64_t r = lo;
  for (; r + kGroup <= hi; r += kGroup) {
    fill_projection_group<kGroup>(h + r * stride, stride, width, j0, first(r),
                                  keys(r), saved(r), gens.resume);
  }
  for (; r < hi; ++r) {
    fill_projection_group<1>(h + r * stride, stride, width, j0, first(r),
                             keys(r), saved(r), gens.resume);
  }
}

VELMAR_ALWAYS_INLINE void scale_block_rows_body(float* h, std::uint64_t stride,
                                                std::uint64_t width,
                                                const float* scales,
                                                std::uint64_t lo,
                                                std::uint64_t hi) noexcept {
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* __restrict const row = h + r * stride;
    const float s = scales[r];
    // A select, not a branch: zeros are a third of a random row.
    for (std::uint64_t j = 0; j < width; ++j) {
      row[j] = row[j] != 0.0f ? mul(row[j], s) : row[j];
    }
  }
}

template <class Col>
VELMAR_ALWAYS_INLINE void feature_rows_sparse(const FeatureBlock& b,
                                              const Col* cols, std::uint64_t lo,
                                              std::uint64_t hi) noexcept {
  const FeatureInput& x = *b.x;
  const auto width = static_cast<std::size_t>(b.width);
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* __restrict const out = b.h + r * b.stride;
    std::fill(out, out + width, 0.0f);
    const std::uint64_t i = b.row_map != nullptr ? b.row_map[r] : r;
    const auto e = static_cast<std::uint64_t>(x.row_ptrs[i + 1]);
    for (auto k = static_cast<std::uint64_t>(x.row_ptrs[i]); k < e; ++k) {
      const auto c = static_cast<std::uint64_t>(cols[k]);
      scale_add(out, b.r + c * b.width, x.values[k], width);
    }
  }
}

VELMAR_ALWAYS_INLINE void feature_block_rows_body(const FeatureBlock& b,
                                                  std::uint64_t lo,
                                                  std::uint64_t hi) noexcept {
  const FeatureInput& x = *b.x;
  if (x.dense == nullptr) {
    if (x.col_type == IndexType::kInt32) {
      feature_rows_sparse(b, static_cast<const std::int32_t*>(x.col_indices),
                          lo, hi);
    } else {
      feature_rows_sparse(b, static_cast<const std::int64_t*>(x.col_indices),
                          lo, hi);
    }
    return;
  }
  const auto width = static_cast<std::size_t>(b.width);
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* __restrict const out = b.h + r * b.stride;
    std::fill(out, out + width, 0.0f);
    const std::uint64_t i = b.row_map != nullptr ? b.row_map[r] : r;
    const float* const row = x.dense + i * x.dense_stride;
    for (std::uint64_t c = 0; c < x.num_features; ++c) {
      if (row[c] != 0.0f) scale_add(out, b.r + c * b.width, row[c], width);
    }
  }
}

VELMAR_ALWAYS_INLINE void l2_normalize(float* __restrict h,
                                       std::size_t n) noexcept {
  // Eight independent float64 sums, each in ascending j: vectorising over
  // the lanes keeps every lane's order. The squares are exact in float64.
  double p[8] = {};
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    for (std::size_t l = 0; l < 8; ++l) {
      const double v = h[j + l];
      p[l] = add(p[l], mul(v, v));
    }
  }
  for (std::size_t l = 0; j + l < n; ++l) {
    const double v = h[j + l];
    p[l] = add(p[l], mul(v, v));
  }
  const double ss = add(add(add(p[0], p[1]), add(p[2], p[3])),
                        add(add(p[4], p[5]), add(p[6], p[7])));
  if (ss == 0.0) return;
  const double q = 1.0 / std::sqrt(ss);
  for (std::size_t i = 0; i < n; ++i) {
    h[i] = static_cast<float>(mul(static_cast<double>(h[i]), q));
  }
}

// A finished row of a step: normalised when asked, then accumulated.
VELMAR_ALWAYS_INLINE void finish_block_row(const BlockStep& step,
                                           float* __restrict out,
                                           std::uint64_t r) noexcept {
  const auto width = static_cast<std::size_t>(step.width);
  if (step.normalize) l2_normalize(out, width);
  if (step.acc != nullptr) {
    float* const acc = step.acc + r * step.acc_stride;
    if (step.acc_is_zero) {
      scale_add_to_zero(acc, out, step.weight, width);
    } else {
      scale_add(acc, out, step.weight, width);
    }
  }
}

// The compact graph's rows, with 32- or 64-bit column indices.
template <class Col>
VELMAR_ALWAYS_INLINE void propagate_block(const std::uint64_t* row_ptrs,
                                          const Col* cols, const float* scales,
                                          const BlockStep& step,
                                          std::uint64_t lo,
                                          std::uint64_t hi) noexcept {
  const std::uint64_t width = step.width;
  const float* __restrict cur = step.cur;
  const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(float);
  const std::uint64_t k_end = row_ptrs[hi];
  for (std::uint64_t r = lo; r < hi; ++r) {
    float* __restrict const out = step.next + r * width;
    std::fill(out, out + width, 0.0f);
    const std::uint64_t e = row_ptrs[r + 1];
    for (std::uint64_t k = row_ptrs[r]; k < e; ++k) {
      if (k + kPrefetchEntries < k_end) {
        prefetch_row(cur + cols[k + kPrefetchEntries] * width, row_bytes);
      }
      scale_add(out, cur + cols[k] * width, scales[k],
                static_cast<std::size_t>(width));
    }
    finish_block_row(step, out, r);
  }
}

// Rows of a segment come from the last-level cache rather than from memory:
// narrow rows are fetched further ahead, so that about as many lines are in
// flight as for the wide rows of kPrefetchEntries entries.
VELMAR_ALWAYS_INLINE std::uint64_t pieces_ahead(
    std::size_t row_bytes) noexcept {
  constexpr std::uint64_t kLines = 64;
  const std::uint64_t lines = (row_bytes + kCacheLine - 1) / kCacheLine;
  return std::clamp<std::uint64_t>(kLines / std::max<std::uint64_t>(lines, 1),
                                   kPrefetchEntries, 4 * kPrefetchEntries);
}

template <class Index>
VELMAR_ALWAYS_INLINE void propagate_pieces(const std::uint64_t* starts,
                                           const Index* rows, const Index* cols,
                                           const float* scales,
                                           const BlockStep& step,
                                           std::uint64_t lo,
                                           std::uint64_t hi) noexcept {
  const std::uint64_t width = step.width;
  const float* __restrict cur = step.cur;
  const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(float);
  const std::uint64_t ahead = pieces_ahead(row_bytes);
  const std::uint64_t k_end = starts[hi] & kPieceEntries;
  for (std::uint64_t i = lo; i < hi; ++i) {
    const std::uint64_t tag = starts[i];
    const std::uint64_t r = rows[i];
    float* __restrict const out = step.next + r * width;
    if ((tag & kFirstPiece) != 0) std::fill(out, out + width, 0.0f);
    const std::uint64_t e = starts[i + 1] & kPieceEntries;
    for (std::uint64_t k = tag & kPieceEntries; k < e; ++k) {
      if (k + ahead < k_end) {
        prefetch_row(cur + cols[k + ahead] * width, row_bytes);
      }
      scale_add(out, cur + cols[k] * width, scales[k],
                static_cast<std::size_t>(width));
    }
    if ((tag & kLastPiece) != 0) finish_block_row(step, out, r);
  }
}

VELMAR_ALWAYS_INLINE void propagate_block_pieces_body(
    const SegmentView& v, const BlockStep& step, std::uint64_t lo,
    std::uint64_t hi) noexcept {
  if (v.narrow_rows != nullptr) {
    propagate_pieces(v.starts, v.narrow_rows, v.narrow_cols, v.scales, step, lo,
                     hi);
  } else {
    propagate_pieces(v.starts, v.wide_rows, v.wide_cols, v.scales, step, lo,
                     hi);
  }
}

VELMAR_ALWAYS_INLINE void propagate_block_rows_body(const GraphView& graph,
                                                    const BlockStep& step,
                                                    std::uint64_t lo,
                                                    std::uint64_t hi) noexcept {
  if (graph.narrow_cols() != nullptr) {
    propagate_block(graph.row_ptrs(), graph.narrow_cols(), graph.scales(), step,
                    lo, hi);
  } else {
    propagate_block(graph.row_ptrs(), graph.wide_cols(), graph.scales(), step,
                    lo, hi);
  }
}

VELMAR_ALWAYS_INLINE void accumulate_block_rows_body(
    float* acc, std::uint64_t acc_stride, const float* h, std::uint64_t width,
    float w, bool acc_is_zero, std::uint64_t lo, std::uint64_t hi) noexcept {
  const auto n = static_cast<std::size_t>(width);
  for (std::uint64_t r = lo; r < hi; ++r) {
    if (acc_is_zero) {
      scale_add_to_zero(acc + r * acc_stride, h + r * width, w, n);
    } else {
      scale_add(acc + r * acc_stride, h + r * width, w, n);
    }
  }
}

// ---- clones
// ------------------------------------------------------------------
//
// On x86-64 each kernel is compiled three times (VELMAR_X86_CLONES in
// kernels.h), and the widest clone that the CPU runs is chosen once while
// the library loads, for these kernels and for those of blockops.cpp and
// dense.cpp. The developer switch
// VELMAR_KERNEL_CLONE=x86-64-v4|x86-64-v3|default, read at that moment, forces
// one (if the CPU runs it), so that tests can compare the clones' bits.
// Dispatch is an explicit switch rather than an ifunc resolver: it works the
// same on every object format and can be steered.

#define VELMAR_DEFINE_KERNELS(suffix, attributes)                             \
  attributes void fill_projection_block_##suffix(                             \
      float* h, std::uint64_t stride, std::uint64_t width, std::uint64_t j0,  \
      std::uint64_t lo, std::uint64_t hi, std::uint64_t base,                 \
      RowGenerators gens, const std::uint64_t* row_map) noexcept {            \
    fill_projection_block_body(h, stride, width, j0, lo, hi, base, gens,      \
                               row_map);                                      \
  }                                                                           \
  attributes void scale_block_rows_##suffix(                                  \
      float* h, std::uint64_t stride, std::uint64_t width,                    \
      const float* scales, std::uint64_t lo, std::uint64_t hi) noexcept {     \
    scale_block_rows_body(h, stride, width, scales, lo, hi);                  \
  }                                                                           \
  attributes void feature_block_rows_##suffix(const FeatureBlock& block,      \
                                              std::uint64_t lo,               \
                                              std::uint64_t hi) noexcept {    \
    feature_block_rows_body(block, lo, hi);                                   \
  }                                                                           \
  attributes void l2_normalize_row_##suffix(float* h,                         \
                                            std::size_t n) noexcept {         \
    l2_normalize(h, n);                                                       \
  }                                                                           \
  attributes void propagate_block_rows_##suffix(                              \
      const GraphView& graph, const BlockStep& step, std::uint64_t lo,        \
      std::uint64_t hi) noexcept {                                            \
    propagate_block_rows_body(graph, step, lo, hi);                           \
  }                                                                           \
  attributes void propagate_block_pieces_##suffix(                            \
      const SegmentView& segments, const BlockStep& step, std::uint64_t lo,   \
      std::uint64_t hi) noexcept {                                            \
    propagate_block_pieces_body(segments, step, lo, hi);                      \
  }                                                                           \
  attributes void accumulate_block_rows_##suffix(                             \
      float* acc, std::uint64_t acc_stride, const float* h,                   \
      std::uint64_t width, float w, bool acc_is_zero, std::uint64_t lo,       \
      std::uint64_t hi) noexcept {                                            \
    accumulate_block_rows_body(acc, acc_stride, h, width, w, acc_is_zero, lo, \
                               hi);                                           \
  }

VELMAR_DEFINE_KERNELS(baseline, )
#if VELMAR_X86_CLONES
VELMAR_DEFINE_KERNELS(v3, __attribute__((target("arch=x86-64-v3"))))
VELMAR_DEFINE_KERNELS(v4, __attribute__((target("arch=x86-64-v4"))))
#endif

using Clone = KernelClone;

#if VELMAR_X86_CLONES
bool cpu_runs(Clone c) noexcept {
  // Feature by feature: older compilers do not know the level names.
  switch (c) {
    case Clone::kV4:
      if (!(__builtin_cpu_supports("avx512f") &&
            __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512cd") &&
            __builtin_cpu_supports("avx512dq") &&
            __builtin_cpu_supports("avx512vl"))) {
        return false;
      }
      [[fallthrough]];
    case Clone::kV3:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
             __builtin_cpu_supports("avx") &&
             __builtin_cpu_supports("sse4.2") &&
             __builtin_cpu_supports("popcnt");
    case Clone::kBaseline:
      return true;
  }
  return false;
}
#endif

Clone choose_clone() noexcept {
#if VELMAR_X86_CLONES
  // Runs from a static initialiser, possibly before libgcc's own.
  __builtin_cpu_init();
  if (const char* wanted = std::getenv("VELMAR_KERNEL_CLONE")) {
    const Clone forced = std::strcmp(wanted, "x86-64-v4") == 0   ? Clone::kV4
                         : std::strcmp(wanted, "x86-64-v3") == 0 ? Clone::kV3
                         : std::strcmp(wanted, "default") == 0
                             ? Clone::kBaseline
                             : Clone::kV4;
    if (cpu_runs(forced)) return forced;
  }
  if (cpu_runs(Clone::kV4)) return Clone::kV4;
  if (cpu_runs(Clone::kV3)) return Clone::kV3;
#endif
  return Clone::kBaseline;
}

// Chosen while the library loads, never lazily: nothing on a loop's path
// waits on a one-time initialisation (a fork() could cut one in half).
const Clone g_clone = choose_clone();

}  // namespace

const char* kernel_clone() noexcept {
  switch (g_clone) {
    case Clone::kV4:
      return "x86-64-v4";
    case Clone::kV3:
      return "x86-64-v3";
    case Clone::kBaseline:
      break;
  }
  return "default";
}

KernelClone kernel_clone_kind() noexcept {
  switch (g_clone) {
    case Clone::kV4:
      return KernelClone::kV4;
    case Clone::kV3:
      return KernelClone::kV3;
    case Clone::kBaseline:
      break;
  }
  return KernelClone::kBaseline;
}

#define VELMAR_DISPATCH(kernel, ...) \
  VELMAR_CLONE_DISPATCH(g_clone, kernel, __VA_ARGS__)

void fill_projection_block(float* h, std::uint64_t stride, std::uint64_t width,
                           std::uint64_t j0, std::uint64_t lo, std::uint64_t hi,
                           std::uint64_t base, RowGenerators gens,
                           const std::uint64_t* row_map) noexcept {
  VELMAR_DISPATCH(fill_projection_block, h, stride, width, j0, lo, hi, base,
                  gens, row_map);
}

void scale_block_rows(float* h, std::uint64_t stride, std::uint64_t width,
                      const float* scales, std::uint64_t lo,
                      std::uint64_t hi) noexcept {
  VELMAR_DISPATCH(scale_block_rows, h, stride, width, scales, lo, hi);
}

void feature_block_rows(const FeatureBlock& block, std::uint64_t lo,
                        std::uint64_t hi) noexcept {
  VELMAR_DISPATCH(feature_block_rows, block, lo, hi);
}

void l2_normalize_row(float* h, std::size_t n) noexcept {
  VELMAR_DISPATCH(l2_normalize_row, h, n);
}

void propagate_block_rows(const GraphView& graph, const BlockStep& step,
                          std::uint64_t lo, std::uint64_t hi) noexcept {
  VELMAR_DISPATCH(propagate_block_rows, graph, step, lo, hi);
}

void propagate_block_pieces(const SegmentView& segments, const BlockStep& step,
                            std::uint64_t lo, std::uint64_t hi) noexcept {
  VELMAR_DISPATCH(propagate_block_pieces, segments, step, lo, hi);
}

void accumulate_block_rows(float* acc, std::uint64_t acc_stride, const float* h,
                           std::uint64_t width, float w, bool acc_is_zero,
                           std::uint64_t lo, std::uint64_t hi) noexcept {
  VELMAR_DISPATCH(accumulate_block_rows, acc, acc_stride, h, width, w,
                  acc_is_zero, lo, hi);
}

}  // namespace velmar::detail
