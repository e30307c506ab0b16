// The spectral method's small dense routines against matrices whose
// factors are known, and the whole method's bits over thread counts and
// filter blocks.
#include "spectral.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "dense.h"
#include "graph.h"
#include "pool.h"

namespace velmar {
namespace {

using Matrix = std::vector<double>;  // row-major b x b

Matrix random_gram(std::size_t rows, std::size_t b, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::vector<double> x(rows * b);
  for (double& v : x) v = normal(rng);
  Matrix g(b * b, 0.0);
  for (std::size_t i = 0; i < b; ++i) {
    for (std::size_t j = 0; j < b; ++j) {
      for (std::size_t r = 0; r < rows; ++r) {
        g[i * b + j] += x[r * b + i] * x[r * b + j];
      }
    }
  }
  return g;
}

double max_abs(const Matrix& m) {
  double out = 0.0;
  for (const double v : m) out = std::max(out, std::abs(v));
  return out;
}

class Cholesky : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Cholesky, FactorsAndInvertsAPositiveDefiniteMatrix) {
  const std::size_t b = GetParam();
  const Matrix g = random_gram(3 * b + 4, b, 5);
  Matrix r(b * b), inv(b * b);
  EXPECT_EQ(detail::cholesky_upper(g.data(), b, 1e-12, r.data()), 0u);
  detail::invert_upper(r.data(), b, inv.data());
  Matrix rtr(b * b, 0.0), rx(b * b, 0.0);
  for (std::size_t i = 0; i < b; ++i) {
    for (std::size_t j = 0; j < b; ++j) {
      if (i > j) {
        EXPECT_EQ(r[i * b + j], 0.0);
      }
      for (std::size_t k = 0; k < b; ++k) {
        rtr[i * b + j] += r[k * b + i] * r[k * b + j];
        rx[i * b + j] += r[i * b + k] * inv[k * b + j];
      }
      rtr[i * b + j] -= g[i * b + j];
      rx[i * b + j] -= i == j ? 1.0 : 0.0;
    }
  }
  EXPECT_LT(max_abs(rtr), 1e-12 * max_abs(g));
  EXPECT_LT(max_abs(rx), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Cholesky, ::testing::Values(1, 2, 7, 40));

TEST(Cholesky, DropsADependentColumnAndKeepsTheOthers) {
  // Column 2 of X is column 0 plus column 1: its pivot vanishes.
  const std::size_t b = 4;
  const double x[5][4] = {
      {1, 2, 3, 0.5}, {0, 1, 1, -1}, {2, 0, 2, 3}, {1, 1, 2, 0}, {-1, 3, 2, 1}};
  Matrix g(b * b, 0.0);
  for (std::size_t i = 0; i < b; ++i) {
    for (std::size_t j = 0; j < b; ++j) {
      for (const auto& row : x) g[i * b + j] += row[i] * row[j];
    }
  }
  Matrix r(b * b), inv(b * b);
  EXPECT_EQ(detail::cholesky_upper(g.data(), b, 1e-12, r.data()), 1u);
  detail::invert_upper(r.data(), b, inv.data());
  for (std::size_t j = 0; j < b; ++j) {
    EXPECT_EQ(r[2 * b + j], 0.0);
    EXPECT_EQ(inv[2 * b + j], 0.0);
    EXPECT_EQ(inv[j * b + 2], 0.0);
  }
  // X R^-1 has orthonormal columns 0, 1 and 3.
  const std::size_t kept[] = {0, 1, 3};
  for (const std::size_t a : kept) {
    for (const std::size_t c : kept) {
      double dot = 0.0;
      for (const auto& row : x) {
        double qa = 0.0, qc = 0.0;
        for (std::size_t k = 0; k < b; ++k) {
          qa += row[k] * inv[k * b + a];
          qc += row[k] * inv[k * b + c];
        }
        dot += qa * qc;
      }
      EXPECT_NEAR(dot, a == c ? 1.0 : 0.0, 1e-12) << a << " " << c;
    }
  }
}

struct EigenCase {
  const char* name;
  std::size_t b;
  Matrix a;
  std::vector<double> values;  // descending
  Matrix vectors;              // column j the j-th eigenvector, or empty
};

// The path graph's Laplacian on 5 nodes: eigenvalues 2 - 2 cos(k pi / 5).
EigenCase path_laplacian() {
  EigenCase c{"path_laplacian", 5, Matrix(25, 0.0), {}, {}};
  for (std::size_t i = 0; i < 5; ++i) {
    c.a[i * 5 + i] = i == 0 || i == 4 ? 1.0 : 2.0;
    if (i + 1 < 5) c.a[i * 5 + i + 1] = c.a[(i + 1) * 5 + i] = -1.0;
  }
  for (int k = 4; k >= 0; --k) {
    c.values.push_back(2.0 - 2.0 * std::cos(k * std::numbers::pi / 5.0));
  }
  return c;
}

std::vector<EigenCase> eigen_cases() {
  const double h = std::sqrt(0.5);
  return {
      {"one", 1, {-3.0}, {-3.0}, {1.0}},
      {"diagonal",
       3,
       {1, 0, 0, 0, 3, 0, 0, 0, 2},
       {3, 2, 1},
       {0, 0, 1, 1, 0, 0, 0, 1, 0}},
      // (1, -1) / sqrt(2): the first of the tied largest entries positive.
      {"two_by_two", 2, {2, 1, 1, 2}, {3, 1}, {h, h, h, -h}},
      {"negative_sign_fixed", 2, {0, -2, -2, 0}, {2, -2}, {h, h, -h, h}},
      {"zero", 3, Matrix(9, 0.0), {0, 0, 0}, {}},
      path_laplacian(),
  };
}

class Eigen : public ::testing::TestWithParam<EigenCase> {};

void expect_decomposes(const Matrix& a, std::size_t b, const Matrix& values,
                       const Matrix& v, double tol) {
  for (std::size_t i = 0; i + 1 < b; ++i) EXPECT_GE(values[i], values[i + 1]);
  for (std::size_t j = 0; j < b; ++j) {
    // A v_j = lambda_j v_j; v_j of unit length, orthogonal to the others.
    for (std::size_t i = 0; i < b; ++i) {
      double av = 0.0;
      for (std::size_t k = 0; k < b; ++k) av += a[i * b + k] * v[k * b + j];
      EXPECT_NEAR(av, values[j] * v[i * b + j], tol) << i << " " << j;
    }
    for (std::size_t l = 0; l < b; ++l) {
      double dot = 0.0;
      for (std::size_t k = 0; k < b; ++k) dot += v[k * b + j] * v[k * b + l];
      EXPECT_NEAR(dot, j == l ? 1.0 : 0.0, tol);
    }
    // Its first largest-magnitude entry is positive.
    std::size_t top = 0;
    for (std::size_t k = 1; k < b; ++k) {
      if (std::abs(v[k * b + j]) > std::abs(v[top * b + j])) top = k;
    }
    EXPECT_GT(v[top * b + j], 0.0) << "vector " << j;
  }
}

TEST_P(Eigen, KnownMatrices) {
  const EigenCase& c = GetParam();
  const std::size_t b = c.b;
  Matrix values(b), v(b * b), work(b * b + 2 * b);
  detail::symmetric_eigen(c.a.data(), b, values.data(), v.data(), work.data());
  for (std::size_t j = 0; j < b; ++j) {
    EXPECT_NEAR(values[j], c.values[j], 1e-14) << j;
  }
  if (!c.vectors.empty()) {
    for (std::size_t k = 0; k < b * b; ++k) {
      EXPECT_NEAR(v[k], c.vectors[k], 1e-14) << k;
    }
  }
  expect_decomposes(c.a, b, values, v, 1e-13);
}

INSTANTIATE_TEST_SUITE_P(Cases, Eigen, ::testing::ValuesIn(eigen_cases()),
                         [](const ::testing::TestParamInfo<EigenCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Eigen, RandomGramMatrixWithRepeatedAndZeroEigenvalues) {
  // G = X^T X of rank 30 in 60 columns: 30 zero eigenvalues; the rest
  // spread over four orders of magnitude.
  const std::size_t b = 60;
  Matrix g = random_gram(30, b, 11);
  for (std::size_t i = 0; i < b; ++i) {
    for (std::size_t j = 0; j < b; ++j) {
      g[i * b + j] *= std::pow(10.0, -2.0 * static_cast<double>(i + j) / b);
    }
  }
  Matrix values(b), v(b * b), work(b * b + 2 * b);
  detail::symmetric_eigen(g.data(), b, values.data(), v.data(), work.data());
  expect_decomposes(g, b, values, v, 1e-12 * values[0]);
  for (std::size_t j = 30; j < b; ++j) {
    EXPECT_LT(std::abs(values[j]), 1e-12 * values[0]);
  }
}

TEST(Eigen, FullRankGramMatricesOfEverySizeModFour) {
  // The reduction runs rows in pairs and fours: sizes that leave each
  // remainder, and one beside a Cholesky-QR block's width.
  for (std::size_t b : {4, 5, 6, 7, 13, 41}) {
    Matrix g = random_gram(b + 8, b, 5);
    Matrix values(b), v(b * b), work(b * b + 2 * b);
    detail::symmetric_eigen(g.data(), b, values.data(), v.data(), work.data());
    SCOPED_TRACE(b);
    expect_decomposes(g, b, values, v, 1e-12 * values[0]);
  }
}

// An undirected graph of positive weights: random edges among the first
// n - 20 nodes, a triangle apart among the next three, the rest isolated.
CompactGraph spectral_graph(std::uint64_t n, bool undirected,
                            double negative_weight = 0.0) {
  std::mt19937_64 rng(3);
  std::vector<std::int64_t> rows, cols;
  std::vector<double> w;
  const std::uint64_t linked = n - 20;
  for (std::uint64_t r = 0; r < linked; ++r) {
    for (int k = 0; k < 4; ++k) {
      const std::uint64_t c = rng() % linked;
      if (c == r) continue;
      rows.push_back(static_cast<std::int64_t>(r));
      cols.push_back(static_cast<std::int64_t>(c));
      w.push_back(0.5 + static_cast<double>(rng() % 8) / 4.0);
    }
  }
  const std::int64_t t = static_cast<std::int64_t>(linked);
  const std::int64_t triangle[3][2] = {{t, t + 1}, {t + 1, t + 2}, {t, t + 2}};
  for (const auto& edge : triangle) {
    rows.push_back(edge[0]);
    cols.push_back(edge[1]);
    w.push_back(1.0);
  }
  if (negative_weight != 0.0) w[5] = negative_weight;
  const CooInput in{rows.data(),       IndexType::kInt64, cols.data(),
                    IndexType::kInt64, w.data(),          n,
                    rows.size()};
  auto built = build_compact(in, BuildOptions{undirected, true}, nullptr);
  EXPECT_TRUE(built.ok());
  return std::move(built).value();
}

std::vector<float> run_spectral(const CompactGraph& g, std::uint64_t dim,
                                std::uint64_t filter_block,
                                std::size_t threads) {
  detail::ScopedPool pool(threads);
  SpectralSettings s;
  s.dim = dim;
  s.base_seed = 42;
  s.filter_block = filter_block;
  const std::uint64_t n = g.view().num_nodes();
  std::vector<float> out(n * dim, -1.0f);
  RunControl ctl;
  const Status st = embed_spectral(g.view(), g.values(), s,
                                   OutputBlock{out.data(), dim}, &ctl);
  EXPECT_TRUE(st.ok());
  EXPECT_EQ(ctl.done.load(), ctl.total.load());
  return out;
}

struct BitsCase {
  std::uint64_t n, dim;
  std::uint64_t filter_block;
  std::size_t threads;
};

class SpectralBits : public ::testing::TestWithParam<BitsCase> {};

// 1300 nodes take random blocks; 30 at dim 64 take identity blocks (of 29
// and 30 columns), whose filter has fewer columns than the embedding.
TEST_P(SpectralBits, SameForAnyThreadsAndFilterBlock) {
  const BitsCase& c = GetParam();
  const CompactGraph g = spectral_graph(c.n, true);
  const std::vector<float> base = run_spectral(g, c.dim, 0, 1);
  const std::vector<float> out =
      run_spectral(g, c.dim, c.filter_block, c.threads);
  ASSERT_EQ(out.size(), base.size());
  EXPECT_EQ(std::memcmp(out.data(), base.data(), 4 * out.size()), 0);
  // The columns past the filter's are zero, and all others were written.
  const std::uint64_t filtered = std::min<std::uint64_t>(c.dim, 2 * c.n - 1);
  for (std::uint64_t r = 0; r < c.n; ++r) {
    for (std::uint64_t j = 0; j < c.dim; ++j) {
      const float v = out[r * c.dim + j];
      if (j >= filtered) {
        ASSERT_EQ(v, 0.0f) << r << " " << j;
      } else {
        ASSERT_NE(v, -1.0f) << r << " " << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, SpectralBits,
    ::testing::Values(BitsCase{1300, 16, 0, 2}, BitsCase{1300, 16, 0, 3},
                      BitsCase{1300, 16, 1, 2}, BitsCase{1300, 16, 7, 3},
                      BitsCase{1300, 16, 32, 1}, BitsCase{30, 64, 0, 2},
                      BitsCase{30, 64, 5, 3}));

TEST(Spectral, OrthogonalColumnsAndZeroRowsForIsolatedNodes) {
  const std::uint64_t n = 1300, dim = 16;
  const CompactGraph g = spectral_graph(n, true);
  const std::vector<float> e = run_spectral(g, dim, 0, 2);
  // E = U S^1/2: E^T E is diagonal, descending.
  std::vector<double> gram(dim * dim, 0.0);
  for (std::uint64_t r = 0; r < n; ++r) {
    for (std::uint64_t a = 0; a < dim; ++a) {
      for (std::uint64_t b = 0; b < dim; ++b) {
        gram[a * dim + b] += double(e[r * dim + a]) * e[r * dim + b];
      }
    }
  }
  for (std::uint64_t a = 0; a < dim; ++a) {
    if (a + 1 < dim) {
      EXPECT_GE(gram[a * dim + a], gram[(a + 1) * dim + a + 1]);
    }
    for (std::uint64_t b = 0; b < dim; ++b) {
      if (a != b) {
        EXPECT_LT(std::abs(gram[a * dim + b]), 1e-4 * gram[0]) << a << " " << b;
      }
    }
  }
  for (std::uint64_t r = n - 17; r < n; ++r) {
    for (std::uint64_t j = 0; j < dim; ++j) EXPECT_EQ(e[r * dim + j], 0.0f);
  }
  // The separate triangle still gets a row.
  double norm = 0.0;
  for (std::uint64_t j = 0; j < dim; ++j)
    norm += std::abs(e[(n - 20) * dim + j]);
  EXPECT_GT(norm, 0.0);
}

// Paths of one to four nodes (one node: a self-loop) at dim 8: fewer nodes
// than columns everywhere; finite rows, zero past the filter's columns.
class SpectralTiny : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SpectralTiny, EmbedsEveryNode) {
  const std::uint64_t n = GetParam(), dim = 8;
  std::vector<std::int64_t> rows, cols;
  for (std::uint64_t i = 0; i + 1 < std::max<std::uint64_t>(n, 2); ++i) {
    rows.push_back(static_cast<std::int64_t>(i));
    cols.push_back(static_cast<std::int64_t>(n == 1 ? i : i + 1));
  }
  std::vector<double> w(rows.size(), 1.5);
  const CooInput in{rows.data(),       IndexType::kInt64, cols.data(),
                    IndexType::kInt64, w.data(),          n,
                    rows.size()};
  auto built = build_compact(in, BuildOptions{true, true}, nullptr);
  ASSERT_TRUE(built.ok());
  const std::vector<float> out = run_spectral(built.value(), dim, 0, 2);
  for (std::uint64_t r = 0; r < n; ++r) {
    for (std::uint64_t j = 0; j < dim; ++j) {
      const float v = out[r * dim + j];
      EXPECT_TRUE(std::isfinite(v)) << r << " " << j;
      if (j >= 2 * n - 1) {
        EXPECT_EQ(v, 0.0f) << r << " " << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Nodes, SpectralTiny, ::testing::Values(1, 2, 3, 4));

struct RefusalCase {
  const char* name;
  bool undirected;
  double negative_weight;
  const char* message;
};

class SpectralRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SpectralRefuses, GraphsItCannotEmbed) {
  const RefusalCase& c = GetParam();
  const CompactGraph g = spectral_graph(200, c.undirected, c.negative_weight);
  SpectralSettings s;
  s.dim = 4;
  std::vector<float> out(200 * 4);
  const Status st = embed_spectral(g.view(), g.values(), s,
                                   OutputBlock{out.data(), 4}, nullptr);
  ASSERT_FALSE(st.ok());
  const auto* e = std::get_if<InvalidInput>(&st.error().kind);
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e->message.find(c.message), std::string::npos) << e->message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpectralRefuses,
    ::testing::Values(
        RefusalCase{"directed", false, 0.0, "needs an undirected graph"},
        RefusalCase{"negative", true, -1.0, "non-negative edge weights"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
      return std::string(info.param.name);
    });

TEST(Spectral, NeedsTheWeights) {
  const CompactGraph g = spectral_graph(200, true);
  SpectralSettings s;
  s.dim = 4;
  std::vector<float> out(200 * 4);
  const Status st =
      embed_spectral(g.view(), nullptr, s, OutputBlock{out.data(), 4}, nullptr);
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(std::holds_alternative<InvalidInput>(st.error().kind));
}

}  // namespace
}  // namespace velmar
