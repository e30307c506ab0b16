// The block arithmetic of the spectral method (blockops.h): a sparse product
// with a diagonal and a combination of the finished rows, the Gram matrix of
// a range of rows and the product of a block with a small matrix.
//
// Each is compiled three times on x86-64 (x86-64-v4, x86-64-v3, baseline)
// and runs the clone kernels.cpp chose. The clones differ only in how many
// elements one instruction handles and in the register tiles of the two
// dense products, never in any element's operations or their order.
#include "blockops.h"

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <cstring>

#include "kernels.h"
#include "platform.h"

static_assert(FLT_EVAL_METHOD == 0);

namespace velmar::detail {
namespace {

constexpr std::uint64_t kPrefetchEntries = 8;
constexpr std::size_t kCacheLine = 64;
// Columns of a row summed at once in the sparse product: a row's partial
// sums stay in the first-level cache.
constexpr std::size_t kRowChunk = 256;

template <class Col>
VELMAR_ALWAYS_INLINE void sparse_rows(const std::uint64_t* row_ptrs,
                                      const Col* cols, const float* scales,
                                      const SparseProduct& p, std::uint64_t lo,
                                      std::uint64_t hi) noexcept {
  alignas(64) float acc[kRowChunk];
  const std::uint64_t k_end = row_ptrs[hi];
  for (std::uint64_t r = lo; r < hi; ++r) {
    const float d = p.diag != nullptr ? p.diag[r] : p.diag_value;
    const bool has_diag = p.diag != nullptr || p.diag_value != 0.0f;
    for (std::size_t j0 = 0; j0 < p.width; j0 += kRowChunk) {
      const std::size_t w = std::min<std::size_t>(kRowChunk, p.width - j0);
      const std::size_t bytes = w * sizeof(float);
      const float* const xr = p.x + r * p.x_stride + j0;
      if (has_diag) {
        for (std::size_t j = 0; j < w; ++j) acc[j] = d * xr[j];
      } else {
        std::fill(acc, acc + w, 0.0f);
      }
      const std::uint64_t e = row_ptrs[r + 1];
      for (std::uint64_t k = row_ptrs[r]; k < e; ++k) {
        if (k + kPrefetchEntries < k_end) {
          const char* ahead = reinterpret_cast<const char*>(
              p.x + cols[k + kPrefetchEntries] * p.x_stride + j0);
          for (std::size_t off = 0; off < bytes; off += kCacheLine) {
            platform::prefetch_read(ahead + off);
          }
        }
        const float s = scales[k];
        const float* __restrict xc = p.x + cols[k] * p.x_stride + j0;
        for (std::size_t j = 0; j < w; ++j) acc[j] = acc[j] + s * xc[j];
      }
      float* const out = p.out + r * p.out_stride + j0;
      const float* const u =
          p.u != nullptr ? p.u + r * p.u_stride + j0 : nullptr;
      const float* const v =
          p.v != nullptr ? p.v + r * p.v_stride + j0 : nullptr;
      if (u == nullptr && v == nullptr) {
        for (std::size_t j = 0; j < w; ++j) out[j] = p.alpha * acc[j];
      } else if (v == nullptr) {
        for (std::size_t j = 0; j < w; ++j) {
          out[j] = p.alpha * acc[j] + p.beta * u[j];
        }
      } else if (u == nullptr) {
        for (std::size_t j = 0; j < w; ++j) {
          out[j] = p.alpha * acc[j] + p.gamma * v[j];
        }
      } else {
        for (std::size_t j = 0; j < w; ++j) {
          out[j] = (p.alpha * acc[j] + p.beta * u[j]) + p.gamma * v[j];
        }
      }
      if (p.c != nullptr) {
        float* const c = p.c + r * p.c_stride + j0;
        for (std::size_t j = 0; j < w; ++j) c[j] = c[j] + p.coef * out[j];
      }
    }
  }
}

VELMAR_ALWAYS_INLINE void sparse_product_body(const GraphView& g,
                                              const SparseProduct& p,
                                              std::uint64_t lo,
                                              std::uint64_t hi) noexcept {
  if (g.narrow_cols() != nullptr) {
    sparse_rows(g.row_ptrs(), g.narrow_cols(), g.scales(), p, lo, hi);
  } else {
    sparse_rows(g.row_ptrs(), g.wide_cols(), g.scales(), p, lo, hi);
  }
}

// Rows are converted to float64 a panel of kPanelRows at a time, so that the
// tiles below read each value with one load; the accumulators of a tile
// stay in registers while a panel's rows stream past, and go to `g` (which
// holds the sum so far) between panels. Each element still adds its
// products one row after the other.
constexpr std::uint64_t kPanelRows = 32;

// Full tiles use vectors of L doubles (GCC's vector extension: each
// operation is the elementwise IEEE one, so a vector of sums is L plain
// sums); partial tiles at the edges run the same arithmetic one element at a
// time.
// The vector helpers are always inlined into the clones, so the ABI of
// vectors passed by value, which GCC warns about, never applies.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
template <int L>
struct Lanes;
#define VELMAR_LANES(count)                                                \
  template <>                                                              \
  struct Lanes<count> {                                                    \
    typedef double V __attribute__((vector_size(count * sizeof(double)))); \
    VELMAR_ALWAYS_INLINE static V load(const double* p) noexcept {         \
      V v;                                                                 \
      std::memcpy(&v, p, sizeof v);                                        \
      return v;                                                            \
    }                                                                      \
    VELMAR_ALWAYS_INLINE static void store(double* p, V v) noexcept {      \
      std::memcpy(p, &v, sizeof v);                                        \
    }                                                                      \
  };
VELMAR_LANES(2)
VELMAR_LANES(4)
VELMAR_LANES(8)
#undef VELMAR_LANES
static_assert(sizeof(Lanes<8>::V) == 8 * sizeof(double));

// One TA x TB tile at (a0, b0) over the rows of a panel (xp: rows x wx,
// yp: rows x wy, float64), added to g's sums so far.
template <int TA, int TB, int L>
VELMAR_ALWAYS_INLINE void gram_tile(const double* xp, std::uint64_t wx,
                                    const double* yp, std::uint64_t wy,
                                    std::uint64_t rows, std::uint64_t a0,
                                    std::uint64_t b0, double* g) noexcept {
  using Ln = Lanes<L>;
  using V = typename Ln::V;
  constexpr int kV = TB / L;
  V acc[TA][kV];
  for (int s = 0; s < TA; ++s) {
    const double* const row =
        g + (a0 + static_cast<std::uint64_t>(s)) * wy + b0;
    for (int t = 0; t < kV; ++t) acc[s][t] = Ln::load(row + t * L);
  }
  for (std::uint64_t i = 0; i < rows; ++i) {
    const double* const xr = xp + i * wx + a0;
    const double* const yr = yp + i * wy + b0;
    V y[kV];
    for (int t = 0; t < kV; ++t) y[t] = Ln::load(yr + t * L);
    for (int s = 0; s < TA; ++s) {
      const double xv = xr[s];
      for (int t = 0; t < kV; ++t) acc[s][t] = acc[s][t] + y[t] * xv;
    }
  }
  for (int s = 0; s < TA; ++s) {
    double* const row = g + (a0 + static_cast<std::uint64_t>(s)) * wy + b0;
    for (int t = 0; t < kV; ++t) Ln::store(row + t * L, acc[s][t]);
  }
}

VELMAR_ALWAYS_INLINE void gram_edge(const double* xp, std::uint64_t wx,
                                    const double* yp, std::uint64_t wy,
                                    std::uint64_t rows, std::uint64_t a0,
                                    std::uint64_t b0, std::uint64_t ta,
                                    std::uint64_t tb, double* g) noexcept {
  for (std::uint64_t s = 0; s < ta; ++s) {
    double* const row = g + (a0 + s) * wy + b0;
    for (std::uint64_t i = 0; i < rows; ++i) {
      const double xv = xp[i * wx + a0 + s];
      const double* const yr = yp + i * wy + b0;
      for (std::uint64_t t = 0; t < tb; ++t) row[t] = row[t] + yr[t] * xv;
    }
  }
}

VELMAR_ALWAYS_INLINE void pack_rows(const float* x, std::uint64_t stride,
                                    std::uint64_t width,
                                    const std::uint64_t* rows,
                                    std::uint64_t first, std::uint64_t count,
                                    double* panel) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t r = rows != nullptr ? rows[first + i] : first + i;
    const float* const from = x + r * stride;
    double* const to = panel + i * width;
    for (std::uint64_t j = 0; j < width; ++j)
      to[j] = static_cast<double>(from[j]);
  }
}

template <int TA, int TB, int L>
VELMAR_ALWAYS_INLINE void gram_body(const GramBlocks& gb, std::uint64_t lo,
                                    std::uint64_t hi, double* g) noexcept {
  const bool same =
      gb.x == gb.y && gb.x_stride == gb.y_stride && gb.wx == gb.wy;
  for (std::uint64_t a = 0; a < gb.wx; ++a) {
    std::fill(g + a * gb.wy, g + (a + 1) * gb.wy, 0.0);
  }
  double* const xp = gb.scratch;
  double* const yp = same ? xp : xp + kPanelRows * gb.wx;
  for (std::uint64_t p0 = lo; p0 < hi; p0 += kPanelRows) {
    const std::uint64_t rows = std::min(kPanelRows, hi - p0);
    pack_rows(gb.x, gb.x_stride, gb.wx, gb.rows, p0, rows, xp);
    if (!same) pack_rows(gb.y, gb.y_stride, gb.wy, gb.rows, p0, rows, yp);
    for (std::uint64_t a0 = 0; a0 < gb.wx; a0 += TA) {
      const std::uint64_t ta = std::min<std::uint64_t>(TA, gb.wx - a0);
      // With `upper`, tiles wholly below the diagonal are skipped.
      const std::uint64_t first = gb.upper ? a0 / TB * TB : 0;
      for (std::uint64_t b0 = first; b0 < gb.wy; b0 += TB) {
        const std::uint64_t tb = std::min<std::uint64_t>(TB, gb.wy - b0);
        if (tb != TB) {
          gram_edge(xp, gb.wx, yp, gb.wy, rows, a0, b0, ta, tb, g);
        } else if (ta == TA) {
          gram_tile<TA, TB, L>(xp, gb.wx, yp, gb.wy, rows, a0, b0, g);
        } else {
          for (std::uint64_t a = a0; a < a0 + ta; ++a) {
            gram_tile<1, TB, L>(xp, gb.wx, yp, gb.wy, rows, a, b0, g);
          }
        }
      }
    }
  }
}

// One TR x TJ tile of out = x w at rows r0.., columns j0..; xp holds the
// tile's rows in float64 (row stride kx).
template <int TR, int TJ, int L>
VELMAR_ALWAYS_INLINE void product_tile(const SmallProduct& p, const double* xp,
                                       std::uint64_t r0,
                                       std::uint64_t j0) noexcept {
  using Ln = Lanes<L>;
  using V = typename Ln::V;
  constexpr int kV = TJ / L;
  V acc[TR][kV];
  for (int s = 0; s < TR; ++s) {
    for (int t = 0; t < kV; ++t) acc[s][t] = V{};
  }
  const std::uint64_t k_end =
      p.upper ? std::min<std::uint64_t>(p.kx, j0 + TJ) : p.kx;
  for (std::uint64_t k = 0; k < k_end; ++k) {
    const double* const wk = p.w + k * p.ldw + j0;
    V wv[kV];
    for (int t = 0; t < kV; ++t) wv[t] = Ln::load(wk + t * L);
    for (int s = 0; s < TR; ++s) {
      const double xv = xp[static_cast<std::uint64_t>(s) * p.kx + k];
      for (int t = 0; t < kV; ++t) acc[s][t] = acc[s][t] + wv[t] * xv;
    }
  }
  for (int s = 0; s < TR; ++s) {
    const std::uint64_t r = r0 + static_cast<std::uint64_t>(s);
    const std::uint64_t to = p.out_rows != nullptr ? p.out_rows[r] : r;
    float* const out = p.out + to * p.out_stride + j0;
    double sums[TJ] = {};
    for (int t = 0; t < kV; ++t) Ln::store(sums + t * L, acc[s][t]);
    for (int t = 0; t < TJ; ++t) out[t] = static_cast<float>(sums[t]);
  }
}

// The same for a partial tile, one element at a time.
VELMAR_ALWAYS_INLINE void product_edge(const SmallProduct& p, const double* xp,
                                       std::uint64_t r0, std::uint64_t j0,
                                       std::uint64_t tr,
                                       std::uint64_t tj) noexcept {
  const std::uint64_t k_end =
      p.upper ? std::min<std::uint64_t>(p.kx, j0 + tj) : p.kx;
  for (std::uint64_t s = 0; s < tr; ++s) {
    const std::uint64_t r = r0 + s;
    const std::uint64_t to = p.out_rows != nullptr ? p.out_rows[r] : r;
    float* const out = p.out + to * p.out_stride + j0;
    for (std::uint64_t t = 0; t < tj; ++t) {
      double acc = 0.0;
      for (std::uint64_t k = 0; k < k_end; ++k) {
        acc = acc + p.w[k * p.ldw + j0 + t] * xp[s * p.kx + k];
      }
      out[t] = static_cast<float>(acc);
    }
  }
}

// product_tile reading float32 rows in place.
template <int TR, int TJ>
VELMAR_ALWAYS_INLINE void product_tile_unpacked(const SmallProduct& p,
                                                std::uint64_t r0,
                                                std::uint64_t j0, int tr,
                                                int tj) noexcept {
  double acc[TR][TJ] = {};
  const std::uint64_t k_end =
      p.upper
          ? std::min<std::uint64_t>(p.kx, j0 + static_cast<std::uint64_t>(tj))
          : p.kx;
  for (std::uint64_t k = 0; k < k_end; ++k) {
    const double* const wk = p.w + k * p.ldw + j0;
    for (int s = 0; s < tr; ++s) {
      const double xv = static_cast<double>(
          p.x[(r0 + static_cast<std::uint64_t>(s)) * p.x_stride + k]);
      for (int t = 0; t < tj; ++t) acc[s][t] = acc[s][t] + xv * wk[t];
    }
  }
  for (int s = 0; s < tr; ++s) {
    const std::uint64_t r = r0 + static_cast<std::uint64_t>(s);
    const std::uint64_t to = p.out_rows != nullptr ? p.out_rows[r] : r;
    float* const out = p.out + to * p.out_stride + j0;
    for (int t = 0; t < tj; ++t) out[t] = static_cast<float>(acc[s][t]);
  }
}

// Rows are converted to float64 a tile of rows at a time, on the stack for
// up to kPackedColumns columns; wider blocks go through a slower path that
// converts each value as it is used (the same arithmetic).
constexpr std::uint64_t kPackedColumns = 512;

template <int TR, int TJ, int L>
VELMAR_ALWAYS_INLINE void product_rows_of(const SmallProduct& p,
                                          const double* xp, std::uint64_t r0,
                                          std::uint64_t tr) noexcept {
  for (std::uint64_t j0 = 0; j0 < p.wout; j0 += TJ) {
    const std::uint64_t tj = std::min<std::uint64_t>(TJ, p.wout - j0);
    if (tj != TJ) {
      product_edge(p, xp, r0, j0, tr, tj);
    } else if (tr == TR) {
      product_tile<TR, TJ, L>(p, xp, r0, j0);
    } else {
      for (std::uint64_t s = 0; s < tr; ++s) {
        product_tile<1, TJ, L>(p, xp + s * p.kx, r0 + s, j0);
      }
    }
  }
}

template <int TR, int TJ, int L>
VELMAR_ALWAYS_INLINE void product_body(const SmallProduct& p, std::uint64_t lo,
                                       std::uint64_t hi) noexcept {
  alignas(64) double xp[TR * kPackedColumns];
  for (std::uint64_t r0 = lo; r0 < hi; r0 += TR) {
    const std::uint64_t tr = std::min<std::uint64_t>(TR, hi - r0);
    if (p.kx <= kPackedColumns) {
      pack_rows(p.x, p.x_stride, p.kx, nullptr, r0, tr, xp);
      product_rows_of<TR, TJ, L>(p, xp, r0, tr);
      continue;
    }
    // Wider rows: each value converted where it is used.
    for (std::uint64_t j0 = 0; j0 < p.wout; j0 += TJ) {
      const std::uint64_t tj = std::min<std::uint64_t>(TJ, p.wout - j0);
      product_tile_unpacked<TR, TJ>(p, r0, j0, static_cast<int>(tr),
                                    static_cast<int>(tj));
    }
  }
}

// Register tiles per clone: as many float64 accumulators as the clone has
// vector registers to spare.
#define VELMAR_DEFINE_BLOCK_KERNELS(suffix, attributes, ta, tb, lanes)      \
  attributes void sparse_product_##suffix(                                  \
      const GraphView& g, const SparseProduct& p, std::uint64_t lo,         \
      std::uint64_t hi) noexcept {                                          \
    sparse_product_body(g, p, lo, hi);                                      \
  }                                                                         \
  attributes void gram_##suffix(const GramBlocks& gb, std::uint64_t lo,     \
                                std::uint64_t hi, double* g) noexcept {     \
    gram_body<ta, tb, lanes>(gb, lo, hi, g);                                \
  }                                                                         \
  attributes void product_##suffix(const SmallProduct& p, std::uint64_t lo, \
                                   std::uint64_t hi) noexcept {             \
    product_body<ta, tb, lanes>(p, lo, hi);                                 \
  }

VELMAR_DEFINE_BLOCK_KERNELS(baseline, , 2, 8, 2)
#if VELMAR_X86_CLONES
VELMAR_DEFINE_BLOCK_KERNELS(v3, __attribute__((target("arch=x86-64-v3"))), 4, 8,
                            4)
VELMAR_DEFINE_BLOCK_KERNELS(v4, __attribute__((target("arch=x86-64-v4"))), 8,
                            16, 8)
#endif

}  // namespace

std::uint64_t gram_scratch_size(std::uint64_t wx, std::uint64_t wy) noexcept {
  return kPanelRows * (wx + wy);
}

void sparse_product_rows(const GraphView& graph, const SparseProduct& p,
                         std::uint64_t lo, std::uint64_t hi) noexcept {
  VELMAR_CLONE_DISPATCH(kernel_clone_kind(), sparse_product, graph, p, lo, hi);
}

void gram_rows(const GramBlocks& blocks, std::uint64_t lo, std::uint64_t hi,
               double* g) noexcept {
  VELMAR_CLONE_DISPATCH(kernel_clone_kind(), gram, blocks, lo, hi, g);
}

void small_product_rows(const SmallProduct& p, std::uint64_t lo,
                        std::uint64_t hi) noexcept {
  VELMAR_CLONE_DISPATCH(kernel_clone_kind(), product, p, lo, hi);
}

}  // namespace velmar::detail
