// Small dense float64 matrices of the spectral method (b x b, b a few
// hundred at most): Cholesky factorisation, the inverse of a triangular
// factor and the symmetric eigen-decomposition. Each runs on one thread in a
// fixed order of operations, so its bits depend only on its input.
//
// Matrices are row-major: element (i, j) of a b x b matrix is a[i * b + j].
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar::detail {

// G = R^T R for a symmetric positive semi-definite G (its upper triangle is
// read) with R upper triangular, column by column:
//   d_j = G_jj - sum_{k<j} R_kj^2,  R_jj = sqrt(d_j),
//   R_jl = (G_jl - sum_{k<j} R_kj R_kl) / R_jj  for l > j,
// each sum over k in increasing order from +0.0, terms with R_kj = 0
// skipped. A column whose d_j is not
// above `drop * G_jj` (numerically dependent on the columns before it, or
// zero) is dropped: its row of R is zero, R_jj included, and it contributes
// to no later column. Returns the number of columns dropped.
std::uint64_t cholesky_upper(const double* g, std::size_t b, double drop,
                             double* r) noexcept;

// The inverse of the upper-triangular R of cholesky_upper, restricted to the
// columns kept (rows and columns of dropped ones are zero), row by row from
// the last (R X = I):
//   X_ii = 1 / R_ii,  X_ij = -(sum_{k=i+1}^{j} R_ik X_kj) / R_ii  for j > i,
// the sum in increasing k from +0.0, terms with R_ik = 0 skipped.
void invert_upper(const double* r, std::size_t b, double* x) noexcept;

// The eigenvalues (descending) and eigenvectors (columns of `vectors`) of a
// symmetric matrix a (its lower triangle is read): Householder reduction to
// tridiagonal form, then the implicit QL method with shifts, the classic
// EISPACK tred2/tql2 order of operations. Ties in the eigenvalues keep the
// order QL found them in. Each eigenvector's largest-magnitude entry (the
// first such on ties) is positive. `work` holds
// b * b + 2 * b doubles.
void symmetric_eigen(const double* a, std::size_t b, double* values,
                     double* vectors, double* work) noexcept;

}  // namespace velmar::detail
