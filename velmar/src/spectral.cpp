// The spectral method (spectral.h), step by step:
//
//   degrees      d_i = sum of row i's weights (stored order, float64)
//   spectral     Q = orthonormal(projection block of seed stream 0), then
//                Q <- (N + I) Q, orthonormalised every few products and
//                after the last; Rayleigh-Ritz with N Q; the eigenvectors 2
//                to spectral_columns + 1, unit rows (isolated nodes zero)
//   log matrix   M_ij = ln(w_ij / d_i) - ln P_j on A's pattern, P_j the
//                column sums of D^-1 A to the power 3/4, normalised; M^T on
//                the same pattern (the graph is undirected)
//   log block    randomised SVD of M (seed stream 1): U S^1/2, unit rows
//   filter       X = [spectral | log]; Chebyshev band-pass filter of
//                L = I - D'^-1 A', A' = A + sigma I (sigma the mean entry
//                weight), Y = (A / sigma + I)(X - filtered X), column by
//                column
//   reduction    Y^T Y = V S^2 V^T; the result is Y V S^-1/2, dim columns
//
// Orthonormalisation is Cholesky-QR (dense.h) on the Gram matrix; every Gram
// matrix is summed over fixed chunks of kGramRows nodes, each chunk in node
// order, the chunks' partial sums added in chunk order. Sparse products,
// row scalings and products with small matrices treat each row alone. So no
// result depends on the number of workers or on how rows are split.
#include "spectral.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <string>
#include <utility>

#include "blockops.h"
#include "buffer.h"
#include "builder.h"
#include "dense.h"
#include "ieee_math.h"
#include "kernels.h"
#include "pool.h"
#include "rng.h"
#include "row_loop.h"
#include "tuning.h"

static_assert(FLT_EVAL_METHOD == 0);

namespace velmar {
namespace {

using detail::footprint_bytes;

// Nodes per chunk of a Gram matrix, and the chunks whose partial sums are
// held at once. Fixed: the sums must not depend on the machine.
constexpr std::uint64_t kGramRows = 512;
constexpr std::uint64_t kGramWave = 16;
// A column whose Cholesky pivot falls to this fraction of its squared
// length is numerically in the span of the columns before it (its float32
// entries carry about 2^-24 of relative error) and is dropped.
constexpr double kDropPivot = 1e-12;
// Eigenvalues of the filtered block's Gram matrix below this fraction of
// the largest: singular values under 1e-5 of the largest, the size of the
// float32 block's rounding.
constexpr double kRankFloor = 1e-10;
// The filter: L's spectrum shifted by mu, and the modified Bessel functions
// I_i(theta) of theta = 0.5 that weigh its Chebyshev terms.
constexpr double kFilterMu = 0.2;
constexpr double kBessel[kMaxFilterOrder] = {
    1.0634833707413236, 0.25789430539089636, 0.031906149177738256,
    0.002645111968990286, 0.00016480554985482356};

std::string dec(std::uint64_t x) { return std::to_string(x); }

// Chunks of a Gram matrix summed at once: a wave, or fewer on a graph of
// fewer chunks (each holds a b x b partial sum and its panel scratch).
std::uint64_t gram_wave(std::uint64_t num_nodes) {
  return std::clamp<std::uint64_t>((num_nodes + kGramRows - 1) / kGramRows, 1,
                                   kGramWave);
}

template <class T>
Result<Buffer<T>> allocate(std::uint64_t count) {
  return Buffer<T>::allocate(count);
}

// The column widths of a run. A graph with no more nodes than a block has
// columns is embedded exactly: its block is the identity (in node order),
// which spans every direction the random block would after its products,
// and holds as many columns as there are nodes.
struct Widths {
  std::uint64_t dim, ks, kl, bs, bl, wx, bmax;
  bool whole_s, whole_l;
};

Widths widths_of(const SpectralSettings& s,
                 std::uint64_t num_nodes = UINT64_MAX) {
  Widths w{};
  w.dim = s.dim;
  w.ks = s.spectral_columns != 0 ? s.spectral_columns : s.dim;
  w.kl = s.log_columns != 0 ? s.log_columns : s.dim;
  w.bs = w.ks + 1 + s.spectral_oversample;
  w.bl = w.kl + s.log_oversample;
  w.whole_s = num_nodes <= w.bs;
  w.whole_l = num_nodes <= w.bl;
  if (w.whole_s) {
    // The first eigenvector is dropped: one column fewer than nodes.
    w.bs = num_nodes;
    w.ks = std::min(w.ks, num_nodes > 0 ? num_nodes - 1 : 0);
  }
  if (w.whole_l) {
    w.bl = num_nodes;
    w.kl = std::min(w.kl, num_nodes);
  }
  w.wx = w.ks + w.kl;
  w.bmax = std::max({w.bs, w.bl, w.wx});
  return w;
}

// The passes over the rows a run makes, one unit of progress each (see
// SpectralRun::passed): the checks, the degrees, each block's steps, the
// filter's blocks and the reduction.
std::uint64_t count_passes(const SpectralSettings& s, const Widths& w,
                           std::uint64_t block) {
  const std::uint64_t every =
      std::max<std::uint64_t>(s.orthonormalize_every, 1);
  const std::uint64_t products = s.spectral_products;
  const std::uint64_t interior = products == 0 ? 0 : (products - 1) / every;
  // Scales, the starting block, two Cholesky-QR passes (a Gram matrix and a
  // product each), the products, the passes between them, two at the end,
  // the Rayleigh-Ritz product, Gram matrix and eigenproblem, the rotation
  // and the unit rows; an identity block skips the Cholesky-QR passes and
  // the products.
  const std::uint64_t spectral = w.whole_s ? 7 : 15 + products + 2 * interior;
  const std::uint64_t iters = s.log_iterations;
  const std::uint64_t log =
      w.whole_l ? 8 : 11 + (iters != 0 ? 4 * iters + 2 : 4);
  const std::uint64_t order =
      std::clamp<std::uint64_t>(s.filter_order, 2, kMaxFilterOrder);
  const std::uint64_t blocks = (w.wx + block - 1) / block;
  const std::uint64_t filter = 1 + blocks * (5 + 2 * (order - 2));
  return 2 + spectral + log + filter + 3;
}

class SpectralRun {
 public:
  // `widths`: widths_of(s, the graph's node count).
  SpectralRun(const GraphView& g, const double* values,
              const SpectralSettings& s, const Widths& widths,
              std::uint64_t block, OutputBlock out, RunControl& ctl)
      : g_(g),
        w_(values),
        s_(s),
        out_(out),
        ctl_(ctl),
        cancel_(ctl.cancel),
        n_(g.num_nodes()),
        m_(g.num_entries()),
        widths_(widths),
        block_(block) {}

  Status run();

 private:
  Status check_graph();
  Status prepare_common();
  Status spectral_block(Buffer<float>& x);
  Status log_block(Buffer<float>& x);
  Status filter(float* x);
  Status reduce(const float* x);

  // A pass over the rows has ended: cancelled, or one unit of progress.
  Status passed() {
    if (cancel_.is_raised()) return VelmarError::cancelled();
    ctl_.done.fetch_add(1, std::memory_order_relaxed);
    return ok_status();
  }
  Status product(const GraphView& op, const detail::SparseProduct& p) {
    const std::uint64_t per_row =
        p.width * (m_ / std::max<std::uint64_t>(n_, 1) + 1);
    for_rows(n_, per_row, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      detail::sparse_product_rows(op, p, lo, hi);
    });
    return passed();
  }
  Status gram(const float* x, std::uint64_t xs, std::uint64_t wx,
              const float* y, std::uint64_t ys, std::uint64_t wy, bool upper,
              double* g);
  Status multiply(const detail::SmallProduct& p) {
    // At most kCheckElements / 64 of work per row, so that the pieces run
    // whole tiles of rows.
    for_rows(n_, std::min(p.kx * p.wout / 4 + 1, kCheckElements / 64), cancel_,
             [&](std::uint64_t lo, std::uint64_t hi) {
               detail::small_product_rows(p, lo, hi);
             });
    return passed();
  }
  Status cholqr(const float* src, float* dst, std::uint64_t b);
  Status eigen(const double* a, std::uint64_t b) {
    detail::symmetric_eigen(a, b, values_.data(), vectors_.data(),
                            work_.data());
    return passed();
  }
  Status unit_rows(float* x, std::uint64_t stride, std::uint64_t width,
                   bool zero_isolated);
  Status fill_random(float* q, std::uint64_t width, std::uint64_t seed);
  Status fill_identity(float* q, std::uint64_t width);

  const GraphView& g_;
  const double* w_;
  const SpectralSettings& s_;
  OutputBlock out_;
  RunControl& ctl_;
  const CancelFlag& cancel_;
  const std::uint64_t n_;
  const std::uint64_t m_;
  const Widths widths_;
  const std::uint64_t block_;
  // The stored row of each node (inverse row map), null without a row map.
  Buffer<std::uint64_t> node_rows_;
  Buffer<double> degrees_;
  // Small dense matrices, sized for the widest block.
  Buffer<double> partials_, scratch_, gram_, factor_, inverse_, values_,
      vectors_, work_;
};

Status SpectralRun::check_graph() {
  if (m_ != 0 && w_ == nullptr) {
    return VelmarError::invalid_input(
        "the spectral method needs the graph's edge weights");
  }
  const std::uint64_t* const rp = g_.row_ptrs();
  const std::uint64_t* const map = g_.row_map();
  const auto col = [&](std::uint64_t k) -> std::uint64_t {
    return g_.narrow_cols() != nullptr ? g_.narrow_cols()[k]
                                       : g_.wide_cols()[k];
  };
  const auto node = [&](std::uint64_t r) {
    return map != nullptr ? map[r] : r;
  };
  // The entry of row q whose column is node `target`, or m_: rows list
  // their columns in increasing node order (a prepared graph kept in
  // another order keeps its entries in node order), else it is searched.
  const auto reverse = [&](std::uint64_t q, std::uint64_t target) {
    std::uint64_t lo = rp[q], hi = rp[q + 1];
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (node(col(mid)) < target) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo < rp[q + 1] && node(col(lo)) == target) return lo;
    for (std::uint64_t k = rp[q]; k < rp[q + 1]; ++k) {
      if (node(col(k)) == target) return k;
    }
    return m_;
  };
  // 0: fine; 1: a bad weight; 2: no reverse entry with the same weight.
  const auto fault = [&](std::uint64_t k, std::uint64_t r) -> int {
    const double w = w_[k];
    if (!(w >= 0.0) || w == std::numeric_limits<double>::infinity()) return 1;
    const std::uint64_t back = reverse(col(k), node(r));
    return back == m_ || !(w_[back] == w) ? 2 : 0;
  };
  std::atomic<std::uint64_t> first{UINT64_MAX};
  for_rows(n_, m_ / std::max<std::uint64_t>(n_, 1) * 8 + 1, cancel_,
           [&](std::uint64_t lo, std::uint64_t hi) {
             for (std::uint64_t r = lo; r < hi; ++r) {
               if (r >= first.load(std::memory_order_relaxed)) return;
               for (std::uint64_t k = rp[r]; k < rp[r + 1]; ++k) {
                 if (fault(k, r) == 0) continue;
                 std::uint64_t seen = first.load(std::memory_order_relaxed);
                 while (r < seen && !first.compare_exchange_weak(
                                        seen, r, std::memory_order_relaxed)) {
                 }
                 return;
               }
             }
           });
  if (cancel_.is_raised()) return VelmarError::cancelled();
  const std::uint64_t r = first.load();
  if (r == UINT64_MAX) return passed();
  for (std::uint64_t k = rp[r]; k < rp[r + 1]; ++k) {
    const int f = fault(k, r);
    if (f == 1) {
      return VelmarError::invalid_input(
          "the spectral method needs finite, non-negative edge weights; "
          "node " +
          dec(node(r)) + " has an edge weighing " + std::to_string(w_[k]) +
          " (method='projection' takes any weights)");
    }
    if (f == 2) {
      return VelmarError::invalid_input(
          "the spectral method needs an undirected graph, every edge stored "
          "in both directions with the same weight (undirected=True makes "
          "one); node " +
          dec(node(r)) + " has an edge to node " + dec(node(col(k))) +
          " that it does not have back (method='projection' embeds directed "
          "graphs)");
    }
  }
  return VelmarError::invalid_input("inconsistent graph check");
}

Status SpectralRun::prepare_common() {
  const Widths& w = widths_;
  const std::uint64_t b2 = w.bmax * w.bmax;
  for (Buffer<double>* b : {&gram_, &factor_, &inverse_, &vectors_}) {
    auto a = allocate<double>(b2);
    if (!a.ok()) return std::move(a).error();
    *b = std::move(a).value();
  }
  const std::uint64_t wave = gram_wave(n_);
  auto partials = allocate<double>(wave * b2);
  if (!partials.ok()) return std::move(partials).error();
  partials_ = std::move(partials).value();
  auto scratch =
      allocate<double>(wave * detail::gram_scratch_size(w.bmax, w.bmax));
  if (!scratch.ok()) return std::move(scratch).error();
  scratch_ = std::move(scratch).value();
  auto values = allocate<double>(w.bmax);
  if (!values.ok()) return std::move(values).error();
  values_ = std::move(values).value();
  auto work = allocate<double>(b2 + 2 * w.bmax);
  if (!work.ok()) return std::move(work).error();
  work_ = std::move(work).value();

  auto rows = node_rows(g_, cancel_);
  if (!rows.ok()) return std::move(rows).error();
  node_rows_ = std::move(rows).value();
  auto degrees = allocate<double>(n_);
  if (!degrees.ok()) return std::move(degrees).error();
  degrees_ = std::move(degrees).value();
  double* const d = degrees_.data();
  const std::uint64_t* const rp = g_.row_ptrs();
  for_rows(n_, m_ / n_ + 1, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      double sum = 0.0;
      for (std::uint64_t k = rp[r]; k < rp[r + 1]; ++k) sum = sum + w_[k];
      d[r] = sum;
    }
  });
  return passed();
}

Status SpectralRun::gram(const float* x, std::uint64_t xs, std::uint64_t wx,
                         const float* y, std::uint64_t ys, std::uint64_t wy,
                         bool upper, double* g) {
  detail::GramBlocks blocks{x, xs, wx, y, ys, wy, node_rows_.data(), upper};
  const std::uint64_t scratch = detail::gram_scratch_size(wx, wy);
  const std::uint64_t size = wx * wy;
  std::fill(g, g + size, 0.0);
  double* const partials = partials_.data();
  const std::uint64_t chunks = (n_ + kGramRows - 1) / kGramRows;
  for (std::uint64_t c0 = 0; c0 < chunks; c0 += kGramWave) {
    const std::uint64_t c1 = std::min(chunks, c0 + kGramWave);
    parallel_for(c0, c1, 1, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t c = lo; c < hi; ++c) {
        if (cancel_.is_raised()) return;
        detail::GramBlocks mine = blocks;
        mine.scratch = scratch_.data() + (c - c0) * scratch;
        detail::gram_rows(mine, c * kGramRows,
                          std::min(n_, (c + 1) * kGramRows),
                          partials + (c - c0) * size);
      }
    });
    if (cancel_.is_raised()) return VelmarError::cancelled();
    // Added in chunk order, each row of g by one task.
    parallel_for(0, wx, 1, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t a = lo; a < hi; ++a) {
        const std::uint64_t first = upper ? a : 0;
        double* const row = g + a * wy;
        for (std::uint64_t c = c0; c < c1; ++c) {
          const double* const p = partials + (c - c0) * size + a * wy;
          for (std::uint64_t b = first; b < wy; ++b) row[b] = row[b] + p[b];
        }
      }
    });
  }
  if (upper) {
    for (std::uint64_t a = 0; a < wx; ++a) {
      for (std::uint64_t b = a + 1; b < wy; ++b) g[b * wy + a] = g[a * wy + b];
    }
  }
  return passed();
}

// dst = src R^-1, R the Cholesky factor of src^T src (dependent columns
// dropped, their columns of dst zero).
Status SpectralRun::cholqr(const float* src, float* dst, std::uint64_t b) {
  double* const g = gram_.data();
  if (Status st = gram(src, b, b, src, b, b, true, g); !st.ok()) return st;
  detail::cholesky_upper(g, b, kDropPivot, factor_.data());
  detail::invert_upper(factor_.data(), b, inverse_.data());
  detail::SmallProduct p;
  p.x = src;
  p.x_stride = b;
  p.kx = b;
  p.w = inverse_.data();
  p.ldw = b;
  p.upper = true;
  p.out = dst;
  p.out_stride = b;
  p.wout = b;
  return multiply(p);
}

Status SpectralRun::unit_rows(float* x, std::uint64_t stride,
                              std::uint64_t width, bool zero_isolated) {
  const double* const d = degrees_.data();
  for_rows(n_, width, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      float* const row = x + r * stride;
      if (zero_isolated && d[r] == 0.0) {
        std::fill(row, row + width, 0.0f);
      } else {
        detail::l2_normalize_row(row, width);
      }
    }
  });
  return passed();
}

Status SpectralRun::fill_random(float* q, std::uint64_t width,
                                std::uint64_t seed) {
  const std::uint64_t* const map = g_.row_map();
  for_rows(n_, width * 8, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
    detail::fill_projection_block(q, width, width, 0, lo, hi, seed, {}, map);
  });
  return passed();
}

// Row r of q is the unit vector of its node: Q^T M Q is M in node order
// whatever the row map.
Status SpectralRun::fill_identity(float* q, std::uint64_t width) {
  const std::uint64_t* const map = g_.row_map();
  for_rows(n_, width, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t r = lo; r < hi; ++r) {
      float* const row = q + r * width;
      std::fill(row, row + width, 0.0f);
      row[map != nullptr ? map[r] : r] = 1.0f;
    }
  });
  return passed();
}

Status SpectralRun::spectral_block(Buffer<float>& x) {
  const Widths& wd = widths_;
  const std::uint64_t b = wd.bs;
  const std::uint64_t* const rp = g_.row_ptrs();
  const double* const d = degrees_.data();
  // N = D^-1/2 A D^-1/2 on the graph's pattern.
  auto nscale_buf = allocate<float>(m_);
  if (!nscale_buf.ok()) return std::move(nscale_buf).error();
  {
    auto s_buf = allocate<double>(n_);
    if (!s_buf.ok()) return std::move(s_buf).error();
    double* const s = s_buf->data();
    for_rows(n_, 1, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) {
        s[r] = d[r] > 0.0 ? 1.0 / std::sqrt(d[r]) : 0.0;
      }
    });
    float* const ns = nscale_buf->data();
    for_rows(n_, m_ / n_ + 1, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) {
        for (std::uint64_t k = rp[r]; k < rp[r + 1]; ++k) {
          const std::uint64_t c = g_.narrow_cols() != nullptr
                                      ? g_.narrow_cols()[k]
                                      : g_.wide_cols()[k];
          ns[k] = detail::normalized_scale(w_[k], s[r], s[c]);
        }
      }
    });
    if (Status st = passed(); !st.ok()) return st;
  }
  const GraphView nview = with_scales(g_, nscale_buf->data());
  auto q_buf = allocate<float>(n_ * b);
  if (!q_buf.ok()) return std::move(q_buf).error();
  auto w_buf = allocate<float>(n_ * b);
  if (!w_buf.ok()) return std::move(w_buf).error();
  float* q = q_buf->data();
  float* w = w_buf->data();
  detail::SparseProduct step;
  step.x_stride = b;
  step.out_stride = b;
  step.width = b;
  if (wd.whole_s) {
    if (Status st = fill_identity(q, b); !st.ok()) return st;
  } else {
    if (Status st = fill_random(q, b, spectral_seed(s_.base_seed, 0));
        !st.ok()) {
      return st;
    }
    if (Status st = cholqr(q, w, b); !st.ok()) return st;
    if (Status st = cholqr(w, q, b); !st.ok()) return st;
    step.diag_value = 1.0f;
    const std::uint64_t every =
        std::max<std::uint64_t>(s_.orthonormalize_every, 1);
    for (std::uint64_t t = 1; t <= s_.spectral_products; ++t) {
      step.x = q;
      step.out = w;
      if (Status st = product(nview, step); !st.ok()) return st;
      std::swap(q, w);
      if (t % every == 0 && t < s_.spectral_products) {
        if (Status st = cholqr(q, w, b); !st.ok()) return st;
        std::swap(q, w);
      }
    }
    if (Status st = cholqr(q, w, b); !st.ok()) return st;
    if (Status st = cholqr(w, q, b); !st.ok()) return st;
  }
  // Rayleigh-Ritz: T = Q^T N Q.
  step.x = q;
  step.out = w;
  step.diag_value = 0.0f;
  if (Status st = product(nview, step); !st.ok()) return st;
  nscale_buf->reset();
  if (Status st = gram(q, b, b, w, b, b, true, gram_.data()); !st.ok()) {
    return st;
  }
  if (Status st = eigen(gram_.data(), b); !st.ok()) return st;
  // The first Ritz vector (D^1/2 times the components' indicators) says
  // nothing but the degree and is dropped.
  if (q_buf->data() == w) {
    q_buf.value() = std::move(w_buf.value());
    w_buf.value() = Buffer<float>();
  } else {
    w_buf->reset();
  }
  auto x_buf = allocate<float>(n_ * wd.wx);
  if (!x_buf.ok()) return std::move(x_buf).error();
  x = std::move(x_buf).value();
  detail::SmallProduct rot;
  rot.x = q;
  rot.x_stride = b;
  rot.kx = b;
  rot.w = vectors_.data() + 1;
  rot.ldw = b;
  rot.out = x.data();
  rot.out_stride = wd.wx;
  rot.wout = wd.ks;
  if (Status st = multiply(rot); !st.ok()) return st;
  q_buf->reset();
  return unit_rows(x.data(), wd.wx, wd.ks, true);
}

Status SpectralRun::log_block(Buffer<float>& x) {
  const Widths& wd = widths_;
  const std::uint64_t b = wd.bl;
  const std::uint64_t* const rp = g_.row_ptrs();
  const double* const d = degrees_.data();
  const auto col = [&](std::uint64_t k) -> std::uint64_t {
    return g_.narrow_cols() != nullptr ? g_.narrow_cols()[k]
                                       : g_.wide_cols()[k];
  };
  auto ms_buf = allocate<float>(m_);
  if (!ms_buf.ok()) return std::move(ms_buf).error();
  auto mt_buf = allocate<float>(m_);
  if (!mt_buf.ok()) return std::move(mt_buf).error();
  {
    // ln P_j = 3/4 ln c_j - ln sum_l c_l^3/4, c_j = sum_i w_ij / d_i, the
    // column sums of D^-1 A (row j's sum, the graph being undirected).
    auto lp_buf = allocate<double>(n_);
    if (!lp_buf.ok()) return std::move(lp_buf).error();
    double* const lp = lp_buf->data();
    for_rows(n_, m_ / n_ + 1, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) {
        double c = 0.0;
        for (std::uint64_t k = rp[r]; k < rp[r + 1]; ++k) {
          if (w_[k] != 0.0) c = c + w_[k] / d[col(k)];
        }
        lp[r] = c > 0.0 ? 0.75 * detail::ieee_log(c) : 0.0;
      }
    });
    if (Status st = passed(); !st.ok()) return st;
    // The normaliser, summed in node order.
    double z = 0.0;
    const std::uint64_t* const rows = node_rows_.data();
    for (std::uint64_t i = 0; i < n_; ++i) {
      const std::uint64_t r = rows != nullptr ? rows[i] : i;
      if (d[r] > 0.0) z = z + detail::ieee_exp(lp[r]);
    }
    const double log_z = z > 0.0 ? detail::ieee_log(z) : 0.0;
    for_rows(n_, 1, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) lp[r] = lp[r] - log_z;
    });
    float* const ms = ms_buf->data();
    float* const mt = mt_buf->data();
    for_rows(n_, 4 * (m_ / n_ + 1), cancel_,
             [&](std::uint64_t lo, std::uint64_t hi) {
               for (std::uint64_t r = lo; r < hi; ++r) {
                 for (std::uint64_t k = rp[r]; k < rp[r + 1]; ++k) {
                   const double w = w_[k];
                   if (w == 0.0) {
                     ms[k] = 0.0f;
                     mt[k] = 0.0f;
                     continue;
                   }
                   const std::uint64_t c = col(k);
                   ms[k] = detail::log_scale(detail::ieee_log(w / d[r]), lp[c]);
                   mt[k] = detail::log_scale(detail::ieee_log(w / d[c]), lp[r]);
                 }
               }
             });
    if (Status st = passed(); !st.ok()) return st;
  }
  const GraphView mview = with_scales(g_, ms_buf->data());
  const GraphView tview = with_scales(g_, mt_buf->data());
  auto q_buf = allocate<float>(n_ * b);
  if (!q_buf.ok()) return std::move(q_buf).error();
  auto w_buf = allocate<float>(n_ * b);
  if (!w_buf.ok()) return std::move(w_buf).error();
  float* q = q_buf->data();
  float* w = w_buf->data();
  detail::SparseProduct step;
  step.x_stride = b;
  step.out_stride = b;
  step.width = b;
  const auto apply = [&](const GraphView& op, const float* from, float* to) {
    step.x = from;
    step.out = to;
    return product(op, step);
  };
  if (wd.whole_l) {
    if (Status st = fill_identity(q, b); !st.ok()) return st;
  } else {
    if (Status st = fill_random(w, b, spectral_seed(s_.base_seed, 1));
        !st.ok()) {
      return st;
    }
    if (Status st = apply(mview, w, q); !st.ok()) return st;
    if (Status st = cholqr(q, w, b); !st.ok()) return st;
    std::swap(q, w);
    for (std::uint64_t t = 1; t <= s_.log_iterations; ++t) {
      if (Status st = apply(tview, q, w); !st.ok()) return st;
      if (Status st = apply(mview, w, q); !st.ok()) return st;
      if (Status st = cholqr(q, w, b); !st.ok()) return st;
      if (t == s_.log_iterations) {
        if (Status st = cholqr(w, q, b); !st.ok()) return st;
      } else {
        std::swap(q, w);
      }
    }
    if (s_.log_iterations == 0) {
      if (Status st = cholqr(q, w, b); !st.ok()) return st;
      if (Status st = cholqr(w, q, b); !st.ok()) return st;
    }
  }
  // B = M^T Q; B^T B = V S^2 V^T; the block is Q V S^1/2.
  if (Status st = apply(tview, q, w); !st.ok()) return st;
  if (Status st = gram(w, b, b, w, b, b, true, gram_.data()); !st.ok()) {
    return st;
  }
  if (q_buf->data() == w) {
    q_buf.value() = std::move(w_buf.value());
    w_buf.value() = Buffer<float>();
  } else {
    w_buf->reset();
  }
  ms_buf->reset();
  mt_buf->reset();
  if (Status st = eigen(gram_.data(), b); !st.ok()) return st;
  double* const rot_w = factor_.data();
  const double* const v = vectors_.data();
  const double* const lambda = values_.data();
  for (std::uint64_t i = 0; i < b; ++i) {
    for (std::uint64_t j = 0; j < wd.kl; ++j) {
      const double l = lambda[j] > 0.0 ? lambda[j] : 0.0;
      rot_w[i * wd.kl + j] = v[i * b + j] * std::sqrt(std::sqrt(l));
    }
  }
  detail::SmallProduct rot;
  rot.x = q;
  rot.x_stride = b;
  rot.kx = b;
  rot.w = rot_w;
  rot.ldw = wd.kl;
  rot.out = x.data() + wd.ks;
  rot.out_stride = wd.wx;
  rot.wout = wd.kl;
  if (Status st = multiply(rot); !st.ok()) return st;
  q_buf->reset();
  return unit_rows(x.data() + wd.ks, wd.wx, wd.kl, false);
}

Status SpectralRun::filter(float* x) {
  const Widths& wd = widths_;
  const std::uint64_t* const rp = g_.row_ptrs();
  const double* const d = degrees_.data();
  // sigma: the mean entry weight (the degrees summed in node order), so
  // that scaling every weight scales the result only.
  double total = 0.0;
  {
    const std::uint64_t* const rows = node_rows_.data();
    for (std::uint64_t i = 0; i < n_; ++i) {
      total = total + d[rows != nullptr ? rows[i] : i];
    }
  }
  const double sigma = total > 0.0 ? total / static_cast<double>(m_) : 1.0;
  auto od_buf = allocate<float>(n_);
  if (!od_buf.ok()) return std::move(od_buf).error();
  auto os_buf = allocate<float>(m_);
  if (!os_buf.ok()) return std::move(os_buf).error();
  auto as_buf = allocate<float>(m_);
  if (!as_buf.ok()) return std::move(as_buf).error();
  float* const od = od_buf->data();
  float* const os = os_buf->data();
  float* const as = as_buf->data();
  for_rows(n_, 2 * (m_ / n_ + 1), cancel_,
           [&](std::uint64_t lo, std::uint64_t hi) {
             for (std::uint64_t r = lo; r < hi; ++r) {
               const double shifted = d[r] + sigma;
               od[r] = static_cast<float>((1.0 - kFilterMu) - sigma / shifted);
               for (std::uint64_t k = rp[r]; k < rp[r + 1]; ++k) {
                 os[k] = detail::filter_scale(w_[k], shifted);
                 as[k] = detail::mean_scaled(w_[k], sigma);
               }
             }
           });
  if (Status st = passed(); !st.ok()) return st;
  const GraphView oview = with_scales(g_, os);
  const GraphView aview = with_scales(g_, as);
  const std::uint64_t block = block_;
  Buffer<float> bufs[4];
  for (Buffer<float>& buf : bufs) {
    auto a = allocate<float>(n_ * block);
    if (!a.ok()) return std::move(a).error();
    buf = std::move(a).value();
  }
  const std::uint64_t order =
      std::clamp<std::uint64_t>(s_.filter_order, 2, kMaxFilterOrder);
  for (std::uint64_t c0 = 0; c0 < wd.wx; c0 += block) {
    const std::uint64_t width = std::min(block, wd.wx - c0);
    float* const xb = x + c0;
    float* const t = bufs[0].data();
    float* l_prev = bufs[1].data();
    float* l_cur = bufs[2].data();
    float* const c = bufs[3].data();
    // C = I_0 X.
    const float c0f = static_cast<float>(kBessel[0]);
    for_rows(n_, width, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) {
        const float* const xr = xb + r * wd.wx;
        float* const cr = c + r * width;
        for (std::uint64_t j = 0; j < width; ++j) cr[j] = c0f * xr[j];
      }
    });
    if (Status st = passed(); !st.ok()) return st;
    detail::SparseProduct op;
    op.width = width;
    op.diag = od;
    // T = op(X); L_1 = op(T) / 2 - X; C += -2 I_1 L_1.
    op.x = xb;
    op.x_stride = wd.wx;
    op.out = t;
    op.out_stride = width;
    if (Status st = product(oview, op); !st.ok()) return st;
    detail::SparseProduct half = op;
    half.x = t;
    half.x_stride = width;
    half.out = l_prev;
    half.alpha = 0.5f;
    half.u = xb;
    half.u_stride = wd.wx;
    half.beta = -1.0f;
    half.c = c;
    half.c_stride = width;
    half.coef = static_cast<float>(-2.0 * kBessel[1]);
    if (Status st = product(oview, half); !st.ok()) return st;
    // L_i = op(op(L_(i-1))) - 2 L_(i-1) - L_(i-2), L_0 = X; C += +-2 I_i L_i.
    // L_i is written over L_(i-2) (each row read before it is written),
    // except over X.
    const float* l_older = xb;
    std::uint64_t older_stride = wd.wx;
    float* l_last = l_prev;
    for (std::uint64_t i = 2; i < order; ++i) {
      op.x = l_last;
      op.x_stride = width;
      op.out = t;
      op.out_stride = width;
      if (Status st = product(oview, op); !st.ok()) return st;
      float* const target = l_older == xb ? l_cur : const_cast<float*>(l_older);
      detail::SparseProduct next = op;
      next.x = t;
      next.x_stride = width;
      next.out = target;
      next.out_stride = width;
      next.u = l_last;
      next.u_stride = width;
      next.beta = -2.0f;
      next.v = l_older;
      next.v_stride = older_stride;
      next.gamma = -1.0f;
      next.c = c;
      next.c_stride = width;
      next.coef = static_cast<float>((i % 2 == 0 ? 2.0 : -2.0) * kBessel[i]);
      if (Status st = product(oview, next); !st.ok()) return st;
      l_older = l_last;
      older_stride = width;
      l_last = target;
    }
    // Y = (A / sigma + I)(X - C), over X's columns.
    for_rows(n_, width, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) {
        const float* const xr = xb + r * wd.wx;
        float* const cr = c + r * width;
        for (std::uint64_t j = 0; j < width; ++j) cr[j] = xr[j] - cr[j];
      }
    });
    if (Status st = passed(); !st.ok()) return st;
    detail::SparseProduct y;
    y.x = c;
    y.x_stride = width;
    y.out = xb;
    y.out_stride = wd.wx;
    y.width = width;
    y.diag_value = 1.0f;
    if (Status st = product(aview, y); !st.ok()) return st;
  }
  return ok_status();
}

Status SpectralRun::reduce(const float* y) {
  const Widths& wd = widths_;
  const std::uint64_t b = wd.wx;
  if (Status st = gram(y, b, b, y, b, b, true, gram_.data()); !st.ok()) {
    return st;
  }
  if (Status st = eigen(gram_.data(), b); !st.ok()) return st;
  // U S^1/2 = Y V S^-1/2, S^2 the eigenvalues.
  double* const rot_w = factor_.data();
  const double* const v = vectors_.data();
  const double* const lambda = values_.data();
  const std::uint64_t k = std::min(wd.dim, b);
  // Directions beyond Y's numerical rank (a graph with fewer nodes than
  // columns) are rounding noise, which S^-1/2 would blow up: zero columns.
  const double floor = kRankFloor * lambda[0];
  for (std::uint64_t i = 0; i < b; ++i) {
    for (std::uint64_t j = 0; j < k; ++j) {
      rot_w[i * k + j] = lambda[j] > 0.0 && lambda[j] > floor
                             ? v[i * b + j] / std::sqrt(std::sqrt(lambda[j]))
                             : 0.0;
    }
  }
  detail::SmallProduct rot;
  rot.x = y;
  rot.x_stride = b;
  rot.kx = b;
  rot.w = rot_w;
  rot.ldw = k;
  rot.out = out_.data;
  rot.out_stride = out_.row_stride;
  rot.wout = k;
  rot.out_rows = g_.row_map();
  if (k < wd.dim) {
    // A graph of fewer nodes than the filter has columns: the columns past
    // them are zero.
    for_rows(n_, wd.dim - k, cancel_, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t i = lo; i < hi; ++i) {
        float* const row = out_.data + i * out_.row_stride;
        std::fill(row + k, row + wd.dim, 0.0f);
      }
    });
  }
  return multiply(rot);
}

Status SpectralRun::run() {
  if (Status st = check_graph(); !st.ok()) return st;
  if (Status st = prepare_common(); !st.ok()) return st;
  Buffer<float> x;
  if (Status st = spectral_block(x); !st.ok()) return st;
  if (Status st = log_block(x); !st.ok()) return st;
  if (Status st = filter(x.data()); !st.ok()) return st;
  return reduce(x.data());
}

}  // namespace

std::uint64_t spectral_seed(std::uint64_t base, int stream) noexcept {
  std::uint64_t x = base ^ 0xBB67AE8584CAA73Bull;
  std::uint64_t seed = splitmix64_next(x);
  for (int i = 0; i < stream; ++i) seed = splitmix64_next(x);
  return seed;
}

MemoryPlan plan_spectral(const GraphShape& shape, std::uint64_t dim,
                         std::uint64_t block, ResultMemory result,
                         std::uint64_t workers, const OptionShape& options) {
  const auto fp = footprint_bytes;
  GraphShape built = shape;
  built.build.keep_values = true;
  const BuildFootprint build = build_footprint(built, workers);
  const std::uint64_t n = shape.num_nodes;
  const std::uint64_t m = std::max(shape.out_entries, options.opened_entries);
  SpectralSettings s;
  s.dim = dim;
  const Widths w = widths_of(s, shape.num_nodes);
  const std::uint64_t cb =
      std::min(w.wx, block != 0 ? block : preferred_filter_block(n, dim));
  MemoryPlan plan;
  plan.graph_build_peak = build.peak;
  plan.graph = build.kept;
  plan.result = result == ResultMemory::kCaller ? 0 : fp(4 * n * dim);
  plan.inputs = options.input_copies;
  if (n == 0) {
    plan.peak = std::max(build.peak, build.kept + plan.result) + plan.inputs;
    return plan;
  }
  // Held throughout: the small dense matrices, the degrees and the row
  // map's inverse.
  const std::uint64_t b2 = w.bmax * w.bmax;
  const std::uint64_t common =
      4 * fp(8 * b2) + fp(8 * gram_wave(n) * b2) +
      fp(8 * gram_wave(n) * detail::gram_scratch_size(w.bmax, w.bmax)) +
      fp(8 * w.bmax) + fp(8 * (b2 + 2 * w.bmax)) +
      (options.reordered ? fp(8 * n) : 0) + fp(8 * n);
  const std::uint64_t x = fp(4 * n * w.wx);
  const std::uint64_t scales = fp(4 * m);
  // The largest moments of each step, in the order the run allocates and
  // frees: the spectral block's scales with d^-1/2, then with Q and W, then
  // Q with X; the log block's two scale arrays with ln P, then with Q and
  // W, then Q; the filter's scales, diagonal and four blocks.
  const std::uint64_t stages[] = {
      scales + fp(8 * n),
      scales + 2 * fp(4 * n * w.bs),
      fp(4 * n * w.bs) + x,
      x + 2 * scales + fp(8 * n),
      x + 2 * scales + 2 * fp(4 * n * w.bl),
      x + fp(4 * n * w.bl),
      x + fp(4 * n) + 2 * scales + 4 * fp(4 * n * cb),
  };
  plan.working =
      common + *std::max_element(std::begin(stages), std::end(stages));
  // A new result's pages are first written by the reduction, after the
  // filter has freed its blocks: until then they take no memory.
  const std::uint64_t reduction = common + x + plan.result;
  plan.peak =
      std::max(build.peak, build.kept + std::max(plan.working, reduction)) +
      plan.inputs;
  return plan;
}

std::uint64_t widest_filter_block(const GraphShape& shape, std::uint64_t dim,
                                  ResultMemory result, std::uint64_t workers,
                                  std::uint64_t limit, std::uint64_t max_block,
                                  const OptionShape& options) {
  const auto fits = [&](std::uint64_t b) {
    return plan_spectral(shape, dim, b, result, workers, options).peak <= limit;
  };
  if (dim == 0 || !fits(1)) return 0;
  std::uint64_t lo = 1;
  std::uint64_t hi = std::max<std::uint64_t>(std::min(2 * dim, max_block), 1);
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo + 1) / 2;
    if (fits(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo;
}

std::uint64_t preferred_filter_block(std::uint64_t num_nodes,
                                     std::uint64_t dim) noexcept {
  return preferred_block(num_nodes, 2 * dim);
}

Status embed_spectral(const GraphView& graph, const double* values,
                      const SpectralSettings& settings, OutputBlock out,
                      RunControl* control) {
  RunControl local;
  RunControl& ctl = control != nullptr ? *control : local;
  const Widths wd = widths_of(settings);
  if (wd.dim == 0) return VelmarError::shape_mismatch("empty column range");
  if (wd.wx < wd.dim) {
    return VelmarError::shape_mismatch(
        "the filter has fewer columns than the embedding");
  }
  const std::uint64_t n = graph.num_nodes();
  const Widths run = widths_of(settings, n);
  const std::uint64_t block = std::max<std::uint64_t>(
      std::min(run.wx, settings.filter_block != 0
                           ? settings.filter_block
                           : preferred_filter_block(n, wd.dim)),
      1);
  const std::uint64_t total = count_passes(settings, run, block);
  ctl.total.store(total, std::memory_order_relaxed);
  if (n == 0) {
    ctl.done.store(total, std::memory_order_relaxed);
    return ok_status();
  }
  return SpectralRun(graph, values, settings, run, block, out, ctl).run();
}

}  // namespace velmar
