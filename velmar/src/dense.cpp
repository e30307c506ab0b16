// Cholesky factorisation, triangular inverse and symmetric eigensolver for
// the small dense matrices of the spectral method, on one thread. Loops that
// vectorise do so across independent elements only: no reduction is split,
// and the library is built with -ffp-contract=off, so every element sees the
// operations in the order written. Like the block kernels, each routine is
// compiled for the vector clones of kernels.cpp, with the same bits.
#include "dense.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>
#include <vector>

#include "ieee_math.h"
#include "kernels.h"
#include "platform.h"

static_assert(FLT_EVAL_METHOD == 0);

namespace velmar::detail {
namespace {

VELMAR_ALWAYS_INLINE std::uint64_t cholesky_upper_body(const double* g,
                                                       std::size_t b,
                                                       double drop,
                                                       double* r) noexcept {
  std::fill(r, r + b * b, 0.0);
  std::uint64_t dropped = 0;
  // t[l] collects sum_{k<j} R_kj R_kl for l >= j, k increasing.
  std::vector<double> t(b);
  for (std::size_t j = 0; j < b; ++j) {
    std::fill(t.begin() + static_cast<std::ptrdiff_t>(j), t.end(), 0.0);
    for (std::size_t k = 0; k < j; ++k) {
      const double rkj = r[k * b + j];
      if (rkj == 0.0) continue;
      const double* rk = r + k * b;
      for (std::size_t l = j; l < b; ++l) t[l] = t[l] + rkj * rk[l];
    }
    const double gjj = g[j * b + j];
    const double d = gjj - t[j];
    if (!(d > drop * gjj) || !(d > 0.0)) {
      ++dropped;
      continue;
    }
    const double rjj = std::sqrt(d);
    double* rj = r + j * b;
    rj[j] = rjj;
    for (std::size_t l = j + 1; l < b; ++l) rj[l] = (g[j * b + l] - t[l]) / rjj;
  }
  return dropped;
}

VELMAR_ALWAYS_INLINE void invert_upper_body(const double* r, std::size_t b,
                                            double* x) noexcept {
  std::fill(x, x + b * b, 0.0);
  // Row i from the rows below it: t[j] = sum_{k=i+1}^{j} R_ik X_kj, k
  // increasing (X_kj = 0 for j < k), then X_ij = -t[j] / R_ii.
  for (std::size_t i = b; i-- > 0;) {
    const double rii = r[i * b + i];
    if (rii == 0.0) continue;
    double* const xi = x + i * b;
    for (std::size_t k = i + 1; k < b; ++k) {
      const double rik = r[i * b + k];
      if (rik == 0.0) continue;
      const double* const xk = x + k * b;
      for (std::size_t j = k; j < b; ++j) xi[j] = xi[j] + rik * xk[j];
    }
    for (std::size_t j = i + 1; j < b; ++j) xi[j] = -xi[j] / rii;
    xi[i] = 1.0 / rii;
  }
}

// Householder reduction of the symmetric u (b x b, row-major) to tridiagonal
// form: diagonal d, subdiagonal e[1..b-1], and u overwritten by the
// transpose of the orthogonal transformation (its rows are the columns of
// EISPACK's V). EISPACK's tred2 addresses V[k][j] with k >= j; here that is
// u[j][k], so the inner loops run along rows.
VELMAR_ALWAYS_INLINE void tridiagonalize(double* u, std::size_t n, double* d,
                                         double* e) noexcept {
  const auto U = [&](std::size_t i, std::size_t j) -> double& {
    return u[i * n + j];
  };
  for (std::size_t j = 0; j < n; ++j) d[j] = U(j, n - 1);
  for (std::size_t i = n - 1; i > 0; --i) {
    double scale = 0.0;
    double h = 0.0;
    for (std::size_t k = 0; k < i; ++k) scale = scale + std::fabs(d[k]);
    if (scale == 0.0) {
      e[i] = d[i - 1];
      for (std::size_t j = 0; j < i; ++j) {
        d[j] = U(j, i - 1);
        U(j, i) = 0.0;
        U(i, j) = 0.0;
      }
    } else {
      for (std::size_t k = 0; k < i; ++k) {
        d[k] = d[k] / scale;
        h = h + d[k] * d[k];
      }
      double f = d[i - 1];
      double g = std::sqrt(h);
      if (f > 0.0) g = -g;
      e[i] = scale * g;
      h = h - f * g;
      d[i - 1] = f - g;
      for (std::size_t j = 0; j < i; ++j) e[j] = 0.0;
      // Rows j and j + 1 together, so that their two sums (chains of
      // dependent additions) overlap; each sum and each e[k] sees the same
      // operations in the same order as one row at a time.
      std::size_t j = 0;
      for (; j + 1 < i; j += 2) {
        const double f0 = d[j];
        const double f1 = d[j + 1];
        U(i, j) = f0;
        U(i, j + 1) = f1;
        const double* const u0 = u + j * n;
        const double* const u1 = u0 + n;
        double g0 = e[j] + u0[j] * f0;
        g0 = g0 + u0[j + 1] * d[j + 1];
        e[j + 1] = e[j + 1] + u0[j + 1] * f0;
        double g1 = e[j + 1] + u1[j + 1] * f1;
        for (std::size_t k = j + 2; k < i; ++k) {
          g0 = g0 + u0[k] * d[k];
          g1 = g1 + u1[k] * d[k];
          e[k] = e[k] + u0[k] * f0;
          e[k] = e[k] + u1[k] * f1;
        }
        e[j] = g0;
        e[j + 1] = g1;
      }
      for (; j < i; ++j) {
        f = d[j];
        U(i, j) = f;
        g = e[j] + U(j, j) * f;
        const double* uj = u + j * n;
        for (std::size_t k = j + 1; k < i; ++k) {
          g = g + uj[k] * d[k];
          e[k] = e[k] + uj[k] * f;
        }
        e[j] = g;
      }
      f = 0.0;
      for (std::size_t j = 0; j < i; ++j) {
        e[j] = e[j] / h;
        f = f + e[j] * d[j];
      }
      const double hh = f / (h + h);
      for (std::size_t j = 0; j < i; ++j) e[j] = e[j] - hh * d[j];
      for (std::size_t j = 0; j < i; ++j) {
        f = d[j];
        g = e[j];
        double* uj = u + j * n;
        for (std::size_t k = j; k < i; ++k) {
          uj[k] = uj[k] - (f * e[k] + g * d[k]);
        }
        d[j] = U(j, i - 1);
        U(j, i) = 0.0;
      }
    }
    d[i] = h;
  }
  // Accumulate the transformations.
  for (std::size_t i = 0; i + 1 < n; ++i) {
    U(i, n - 1) = U(i, i);
    U(i, i) = 1.0;
    const double h = d[i + 1];
    double* ui1 = u + (i + 1) * n;
    if (h != 0.0) {
      for (std::size_t k = 0; k <= i; ++k) d[k] = ui1[k] / h;
      // Four rows at a time: their sums are independent, so running them
      // side by side hides the latency of each chain of additions without
      // changing any sum's order.
      std::size_t j = 0;
      for (; j + 4 <= i + 1; j += 4) {
        double* const u0 = u + j * n;
        double* const u1 = u0 + n;
        double* const u2 = u1 + n;
        double* const u3 = u2 + n;
        double g0 = 0.0;
        double g1 = 0.0;
        double g2 = 0.0;
        double g3 = 0.0;
        for (std::size_t k = 0; k <= i; ++k) {
          const double a = ui1[k];
          g0 = g0 + a * u0[k];
          g1 = g1 + a * u1[k];
          g2 = g2 + a * u2[k];
          g3 = g3 + a * u3[k];
        }
        for (std::size_t k = 0; k <= i; ++k) {
          u0[k] = u0[k] - g0 * d[k];
          u1[k] = u1[k] - g1 * d[k];
          u2[k] = u2[k] - g2 * d[k];
          u3[k] = u3[k] - g3 * d[k];
        }
      }
      for (; j <= i; ++j) {
        double* uj = u + j * n;
        double g = 0.0;
        for (std::size_t k = 0; k <= i; ++k) g = g + ui1[k] * uj[k];
        for (std::size_t k = 0; k <= i; ++k) uj[k] = uj[k] - g * d[k];
      }
    }
    for (std::size_t k = 0; k <= i; ++k) ui1[k] = 0.0;
  }
  for (std::size_t j = 0; j < n; ++j) {
    d[j] = U(j, n - 1);
    U(j, n - 1) = 0.0;
  }
  U(n - 1, n - 1) = 1.0;
  e[0] = 0.0;
}

// Eigenvalues d and eigenvectors (the rows of u) of the tridiagonal matrix
// from tridiagonalize, by the implicit QL method (EISPACK's tql2), each
// rotation applied to two rows of u.
VELMAR_ALWAYS_INLINE void tridiagonal_ql(double* u, std::size_t n, double* d,
                                         double* e) noexcept {
  constexpr int kMaxIterations = 64;
  for (std::size_t i = 1; i < n; ++i) e[i - 1] = e[i];
  e[n - 1] = 0.0;
  double f = 0.0;
  double tst1 = 0.0;
  const double eps = 0x1p-52;
  for (std::size_t l = 0; l < n; ++l) {
    tst1 = std::max(tst1, std::fabs(d[l]) + std::fabs(e[l]));
    std::size_t m = l;
    while (m < n - 1 && !(std::fabs(e[m]) <= eps * tst1)) ++m;
    if (m > l) {
      for (int iter = 0; iter < kMaxIterations; ++iter) {
        double g = d[l];
        double p = (d[l + 1] - g) / (2.0 * e[l]);
        double r = ieee_hypot(p, 1.0);
        if (p < 0.0) r = -r;
        d[l] = e[l] / (p + r);
        d[l + 1] = e[l] * (p + r);
        const double dl1 = d[l + 1];
        double h = g - d[l];
        for (std::size_t i = l + 2; i < n; ++i) d[i] = d[i] - h;
        f = f + h;
        p = d[m];
        double c = 1.0;
        double c2 = c;
        double c3 = c;
        const double el1 = e[l + 1];
        double s = 0.0;
        double s2 = 0.0;
        for (std::size_t i = m; i-- > l;) {
          c3 = c2;
          c2 = c;
          s2 = s;
          g = c * e[i];
          h = c * p;
          r = ieee_hypot(p, e[i]);
          e[i + 1] = s * r;
          s = e[i] / r;
          c = p / r;
          p = c * d[i] - s * g;
          d[i + 1] = h + s * (c * g + s * d[i]);
          double* __restrict ui = u + i * n;
          double* __restrict ui1 = u + (i + 1) * n;
          for (std::size_t k = 0; k < n; ++k) {
            const double t = ui1[k];
            ui1[k] = s * ui[k] + c * t;
            ui[k] = c * ui[k] - s * t;
          }
        }
        p = -s * s2 * c3 * el1 * e[l] / dl1;
        e[l] = s * p;
        d[l] = c * p;
        if (!(std::fabs(e[l]) > eps * tst1)) break;
      }
    }
    d[l] = d[l] + f;
    e[l] = 0.0;
  }
}

VELMAR_ALWAYS_INLINE void symmetric_eigen_body(const double* a, std::size_t b,
                                               double* values, double* vectors,
                                               double* work) noexcept {
  if (b == 0) return;
  double* const d = work;
  double* const e = work + b;
  // The rotations accumulate in `vectors`, used as the row-major u; the
  // sorted eigenvectors are then written back as its columns through a copy.
  std::copy(a, a + b * b, vectors);
  tridiagonalize(vectors, b, d, e);
  tridiagonal_ql(vectors, b, d, e);
  std::vector<std::size_t> order(b);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return d[x] > d[y]; });
  double* const rows = work + 2 * b;
  std::copy(vectors, vectors + b * b, rows);
  for (std::size_t j = 0; j < b; ++j) {
    const double* row = rows + order[j] * b;
    std::size_t top = 0;
    for (std::size_t k = 1; k < b; ++k) {
      if (std::fabs(row[k]) > std::fabs(row[top])) top = k;
    }
    const double sign = row[top] < 0.0 ? -1.0 : 1.0;
    values[j] = d[order[j]];
    for (std::size_t k = 0; k < b; ++k) vectors[k * b + j] = sign * row[k];
  }
}

#define VELMAR_DEFINE_DENSE(suffix, attributes)                          \
  attributes std::uint64_t cholesky_##suffix(                            \
      const double* g, std::size_t b, double drop, double* r) noexcept { \
    return cholesky_upper_body(g, b, drop, r);                           \
  }                                                                      \
  attributes void invert_##suffix(const double* r, std::size_t b,        \
                                  double* x) noexcept {                  \
    invert_upper_body(r, b, x);                                          \
  }                                                                      \
  attributes void eigen_##suffix(const double* a, std::size_t b,         \
                                 double* values, double* vectors,        \
                                 double* work) noexcept {                \
    symmetric_eigen_body(a, b, values, vectors, work);                   \
  }

VELMAR_DEFINE_DENSE(baseline, )
#if VELMAR_X86_CLONES
VELMAR_DEFINE_DENSE(v3, __attribute__((target("arch=x86-64-v3"))))
VELMAR_DEFINE_DENSE(v4, __attribute__((target("arch=x86-64-v4"))))
#endif

}  // namespace

std::uint64_t cholesky_upper(const double* g, std::size_t b, double drop,
                             double* r) noexcept {
  VELMAR_CLONE_DISPATCH(kernel_clone_kind(), cholesky, g, b, drop, r);
}

void invert_upper(const double* r, std::size_t b, double* x) noexcept {
  VELMAR_CLONE_DISPATCH(kernel_clone_kind(), invert, r, b, x);
}

void symmetric_eigen(const double* a, std::size_t b, double* values,
                     double* vectors, double* work) noexcept {
  VELMAR_CLONE_DISPATCH(kernel_clone_kind(), eigen, a, b, values, vectors,
                        work);
}

}  // namespace velmar::detail
