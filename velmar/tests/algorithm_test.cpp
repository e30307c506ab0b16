// The projection H_0 and the propagation, compared bit for bit with known
// rows, hand-worked results and a plain scalar reference.
#include "algorithm.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kernels.h"
#include "pool.h"
#include "rng.h"

namespace velmar {
namespace {

using detail::ScopedPool;

constexpr std::uint32_t kPlus = 0x3FDDB3D7u;
constexpr std::uint32_t kMinus = 0xBFDDB3D7u;

std::vector<std::uint32_t> bits(const DenseMatrix& m) {
  std::vector<std::uint32_t> out(m.rows * m.cols);
  if (!out.empty()) std::memcpy(out.data(), m.data.data(), out.size() * 4);
  return out;
}

std::vector<std::uint32_t> bits(const std::vector<float>& v) {
  std::vector<std::uint32_t> out(v.size());
  if (!out.empty()) std::memcpy(out.data(), v.data(), v.size() * 4);
  return out;
}

// Bit patterns with every NaN written as one canonical NaN: which NaN an
// operation on two NaNs returns depends on the order of its operands, which
// the compiler may swap in an addition or multiplication; IEEE 754 leaves it
// open. Every other bit must match.
std::vector<std::uint32_t> bits_nan_canonical(std::vector<std::uint32_t> b) {
  for (auto& x : b) {
    if ((x & 0x7F800000u) == 0x7F800000u && (x & 0x007FFFFFu) != 0) {
      x = 0x7FC00000u;
    }
  }
  return b;
}

DenseMatrix must(Result<DenseMatrix> r) {
  if (!r.ok()) throw std::runtime_error(render(r.error()));
  return std::move(r).value();
}

DenseMatrix from_rows(const std::vector<std::vector<float>>& rows) {
  const std::uint64_t cols = rows.empty() ? 0 : rows[0].size();
  DenseMatrix m = must(DenseMatrix::zeros(rows.size(), cols));
  for (std::uint64_t r = 0; r < rows.size(); ++r) {
    std::copy(rows[r].begin(), rows[r].end(), m.row(r));
  }
  return m;
}

DenseMatrix copy_of(const DenseMatrix& m) {
  DenseMatrix c = must(DenseMatrix::zeros(m.rows, m.cols));
  if (m.rows * m.cols != 0) {
    std::memcpy(c.data.data(), m.data.data(), m.rows * m.cols * 4);
  }
  return c;
}

// '+', '-', '0' per element.
std::string signs(const DenseMatrix& m, std::uint64_t r) {
  std::string s;
  for (std::uint64_t j = 0; j < m.cols; ++j) {
    const auto b = std::bit_cast<std::uint32_t>(m.row(r)[j]);
    s += b == kPlus ? '+' : b == kMinus ? '-' : b == 0 ? '0' : '?';
  }
  return s;
}

CsrMatrix csr(std::vector<std::uint64_t> row_ptrs,
              std::vector<std::uint64_t> cols, std::vector<double> values) {
  CsrMatrix g;
  g.num_nodes = row_ptrs.size() - 1;
  g.row_ptrs = std::move(row_ptrs);
  g.col_indices = std::move(cols);
  g.values = std::move(values);
  return g;
}

// A directed graph with skewed degrees (one hub row), empty rows, self-loops,
// zero, negative and float32-underflowing values; columns ascending per row.
CsrMatrix random_graph(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const double kValues[] = {1.0, 0.5, 2.0, -1.5, 0.0, 3.25, 1e-50, 0.1};
  CsrMatrix g;
  g.num_nodes = n;
  g.row_ptrs.push_back(0);
  for (std::uint64_t r = 0; r < n; ++r) {
    const double density = r == n / 2 ? 0.9 : (r % 7 == 3 ? 0.0 : 0.08);
    for (std::uint64_t c = 0; c < n; ++c) {
      if (std::uniform_real_distribution<double>(0, 1)(rng) < density) {
        g.col_indices.push_back(c);
        g.values.push_back(kValues[rng() % std::size(kValues)]);
      }
    }
    g.row_ptrs.push_back(g.col_indices.size());
  }
  return g;
}

// E = sum_i float(w_i) H_i, written from the formulas one element at a time
// (column outside, entries inside), every product and sum rounded to float32.
std::vector<float> reference(const CsrMatrix& g, std::vector<float> h,
                             std::uint64_t dim,
                             const std::vector<double>& weights) {
  const std::uint64_t n = g.num_nodes;
  std::vector<float> e(n * dim, 0.0f);
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (weights[i] != 0.0) {
      const float w = static_cast<float>(weights[i]);
      for (std::size_t x = 0; x < e.size(); ++x) {
        volatile float product = h[x] * w;
        e[x] = product + e[x];
      }
    }
    if (i + 1 == weights.size()) break;
    std::vector<float> next(n * dim, 0.0f);
    for (std::uint64_t r = 0; r < n; ++r) {
      const std::uint64_t begin = g.row_ptrs[r], end = g.row_ptrs[r + 1];
      if (begin == end) continue;
      const float q = 1.0f / static_cast<float>(end - begin);
      for (std::uint64_t j = 0; j < dim; ++j) {
        float sum = 0.0f;
        for (std::uint64_t k = begin; k < end; ++k) {
          const float t = static_cast<float>(g.values[k]) * q;
          volatile float product = h[g.col_indices[k] * dim + j] * t;
          sum = product + sum;
        }
        next[r * dim + j] = sum;
      }
    }
    h = std::move(next);
  }
  return e;
}

std::vector<float> as_vector(const DenseMatrix& m) {
  return std::vector<float>(m.data.data(), m.data.data() + m.rows * m.cols);
}

// ---- projection ---------------------------------------------------------

TEST(Projection, KnownRows) {
  const struct {
    std::uint64_t seed;
    const char* rows[3];
  } cases[] = {
      {0, {"-00+0+00-+-+", "00+0-000++00", "000-00000000"}},
      {42, {"0-0000+0-000", "-00000+-0-00", "+00000000+00"}},
  };
  for (const auto& c : cases) {
    const DenseMatrix h = must(initialize_h0(3, 12, c.seed));
    for (std::uint64_t r = 0; r < 3; ++r) {
      EXPECT_EQ(signs(h, r), c.rows[r]) << "seed " << c.seed << " row " << r;
    }
  }
}

TEST(Projection, RowDependsOnSeedPlusIndexOnly) {
  const std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(signs(must(initialize_h0(1, 40, 43)), 0),
            signs(must(initialize_h0(2, 40, 42)), 1));
  EXPECT_EQ(signs(must(initialize_h0(2, 40, kMax)), 1),
            signs(must(initialize_h0(1, 40, 0)), 0));
  // A wider matrix starts with the narrower one's columns.
  const DenseMatrix narrow = must(initialize_h0(50, 12, 7));
  const DenseMatrix wide = must(initialize_h0(50, 20, 7));
  for (std::uint64_t r = 0; r < 50; ++r) {
    EXPECT_EQ(signs(wide, r).substr(0, 12), signs(narrow, r)) << r;
  }
}

// Rows are drawn in groups whose generators step together; every row must
// still be its own generator's outputs, whatever the group boundaries.
TEST(Projection, EveryRowIsItsOwnGeneratorsOutput) {
  const std::uint64_t base = 0xFFFFFFFFFFFFFFF0ull;  // wraps inside the matrix
  const DenseMatrix h = must(initialize_h0(29, 21, base));
  for (std::uint64_t r = 0; r < 29; ++r) {
    Xoshiro256pp g = Xoshiro256pp::seed_from_u64(base + r);
    for (std::uint64_t j = 0; j < 21; ++j) {
      const std::uint64_t k = g.next() >> 40;
      const std::uint32_t want = k <= 2796202   ? kPlus
                                 : k <= 5592405 ? kMinus
                                                : 0;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(h.row(r)[j]), want)
          << r << "," << j;
    }
  }
}

TEST(Projection, SameForEveryWorkerCountAndOnlyThreeValues) {
  std::optional<std::vector<std::uint32_t>> first;
  for (std::size_t workers : {1, 2, 8}) {
    ScopedPool pool(workers);
    const auto b = bits(must(initialize_h0(3001, 37, 12345)));
    if (first) {
      EXPECT_EQ(b, *first) << workers << " workers";
    } else {
      first = b;
    }
  }
  std::size_t plus = 0, minus = 0;
  for (auto v : *first) {
    ASSERT_TRUE(v == kPlus || v == kMinus || v == 0) << std::hex << v;
    plus += v == kPlus;
    minus += v == kMinus;
  }
  // Each sign has probability 2796203 / 2^24; five standard deviations.
  const double n = static_cast<double>(first->size());
  const double p = 2796203.0 / 16777216.0;
  const double tolerance = 5 * std::sqrt(n * p * (1 - p));
  EXPECT_NEAR(static_cast<double>(plus), n * p, tolerance);
  EXPECT_NEAR(static_cast<double>(minus), n * p, tolerance);
}

TEST(Projection, UnseededRunsDiffer) {
  EXPECT_NE(bits(must(initialize_h0(4, 64, std::nullopt))),
            bits(must(initialize_h0(4, 64, std::nullopt))));
}

TEST(Projection, EmptyShapes) {
  for (auto seed :
       {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{3}}) {
    const DenseMatrix a = must(initialize_h0(0, 5, seed));
    EXPECT_EQ(a.rows, 0u);
    EXPECT_EQ(a.cols, 5u);
    EXPECT_EQ(a.data.size(), 0u);
    const DenseMatrix b = must(initialize_h0(1ull << 40, 0, seed));
    EXPECT_EQ(b.rows, 1ull << 40);
    EXPECT_EQ(b.cols, 0u);
    EXPECT_EQ(b.data.size(), 0u);
  }
}

// ---- propagation --------------------------------------------------------

TEST(Propagation, WorkedExample) {
  const CsrMatrix g = csr({0, 1, 3, 3}, {1, 0, 2}, {1.0, 1.0, 3.0});
  const DenseMatrix h0 = from_rows({{1, 0}, {0, 2}, {4, -1}});
  const std::vector<double> weights{0.0, 1.0, 0.5};
  const DenseMatrix e =
      must(detail::propagate_and_accumulate(g, copy_of(h0), weights));
  EXPECT_EQ(bits(e), bits(std::vector<float>{3.25f, 1.25f, 6.5f, -1.0f, 0, 0}));
  EXPECT_EQ(bits(e), bits(reference(g, as_vector(h0), 2, weights)));
}

// Row 0 has entries of values 1.0 and 0.0 (degree 2), a self-loop on row 1,
// node 3 only has out-edges and node 2 only receives.
TEST(Propagation, DegreeCountsStoredEntriesAndOnlyOutEdges) {
  const CsrMatrix g = csr({0, 2, 3, 3, 4}, {1, 2, 1, 0}, {1.0, 0.0, -2.0, 1.0});
  const DenseMatrix h0 = from_rows({{1, 2}, {4, 8}, {16, 32}, {64, 128}});
  const DenseMatrix h1 =
      must(detail::propagate_and_accumulate(g, copy_of(h0), {{0.0, 1.0}}));
  EXPECT_EQ(bits(h1), bits(std::vector<float>{2, 4, -8, -16, 0, 0, 1, 2}));
}

struct WeightCase {
  const char* name;
  std::vector<double> weights;
};

void PrintTo(const WeightCase& c, std::ostream* os) { *os << c.name; }

class PropagationWeights : public ::testing::TestWithParam<WeightCase> {};

// The vectorised kernels against the element-at-a-time reference: widths
// that are and are not multiples of the vector width, non-finite values.
TEST_P(PropagationWeights, MatchesReferenceOnRandomGraphs) {
  for (std::uint64_t graph_seed : {1, 2, 3}) {
    CsrMatrix g = random_graph(61, graph_seed);
    for (std::size_t k = 0; k < g.values.size(); ++k) {
      if (k % 41 == 5) g.values[k] = std::numeric_limits<double>::quiet_NaN();
      if (k % 53 == 7) g.values[k] = -std::numeric_limits<double>::infinity();
    }
    for (std::uint64_t dim : {1, 13, 64, 67}) {
      const DenseMatrix h0 = must(initialize_h0(61, dim, graph_seed * 1000));
      const auto expected = bits_nan_canonical(
          bits(reference(g, as_vector(h0), dim, GetParam().weights)));
      std::optional<std::vector<std::uint32_t>> one_worker;
      for (std::size_t workers : {1, 2, 7}) {
        ScopedPool pool(workers);
        const auto e = bits(must(detail::propagate_and_accumulate(
            g, copy_of(h0), GetParam().weights)));
        EXPECT_EQ(bits_nan_canonical(e), expected)
            << "graph " << graph_seed << ", dim " << dim << ", " << workers
            << " workers";
        // Across worker counts the same code runs: NaNs included, every bit.
        if (!one_worker) one_worker = e;
        EXPECT_EQ(e, *one_worker) << workers << " workers";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Weights, PropagationWeights,
    ::testing::Values(WeightCase{"empty", {}}, WeightCase{"single", {0.7}},
                      WeightCase{"default", {0.0, 1.0, 1.0}},
                      WeightCase{"mixed", {1.0, -0.25, 0.0, 3.0, 1e-3}},
                      WeightCase{"tiny", {1e-60, 2.0}},
                      WeightCase{"negzero", {-0.0, 0.0, 1.0}},
                      WeightCase{"nan", {0.5, std::nan(""), 1.0}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Propagation, WeightIdentities) {
  const CsrMatrix g = random_graph(40, 9);
  const DenseMatrix h0 = must(initialize_h0(40, 6, 5));
  const auto run = [&](std::vector<double> w) {
    return must(detail::propagate_and_accumulate(g, copy_of(h0), w));
  };
  EXPECT_EQ(bits(run({})), std::vector<std::uint32_t>(240, 0));
  EXPECT_EQ(bits(run({1.0, 0.0})), bits(h0));
  std::vector<float> scaled = as_vector(h0);
  for (float& v : scaled) v = v * static_cast<float>(0.3);
  EXPECT_EQ(bits(run({0.3})), bits(scaled));
  // H_2 from two single steps of the reference.
  auto h = as_vector(h0);
  h = reference(g, h, 6, {0.0, 1.0});
  h = reference(g, h, 6, {0.0, 1.0});
  EXPECT_EQ(bits(run({0.0, 0.0, 1.0})), bits(h));
}

TEST(Propagation, NanWeightReachesEveryElement) {
  const CsrMatrix g = random_graph(30, 4);
  const DenseMatrix e = must(detail::propagate_and_accumulate(
      g, must(initialize_h0(30, 8, 1)), {{std::nan(""), 0.0}}));
  for (float v : as_vector(e)) ASSERT_TRUE(std::isnan(v));
}

// Only a skipped pass leaves +0.0 where H_0 holds an infinity.
TEST(Propagation, ZeroWeightsOfEitherSignSkipTheirPass) {
  const CsrMatrix g = csr({0, 0, 0}, {}, {});
  const float inf = std::numeric_limits<float>::infinity();
  for (double w : {0.0, -0.0}) {
    const DenseMatrix e = must(detail::propagate_and_accumulate(
        g, from_rows({{inf, 1}, {-inf, 0}}), {{w}}));
    EXPECT_EQ(bits(e), std::vector<std::uint32_t>(4, 0)) << w;
  }
}

TEST(Propagation, ComputeVelmarIsProjectionThenPropagation) {
  const CsrMatrix g = random_graph(45, 11);
  const std::vector<double> weights{0.5, 1.0, -2.0};
  const auto expected =
      reference(g, as_vector(must(initialize_h0(45, 10, 99))), 10, weights);
  const DenseMatrix e = must(compute_velmar(g, 10, weights, 99, false));
  EXPECT_EQ(e.rows, 45u);
  EXPECT_EQ(e.cols, 10u);
  EXPECT_EQ(bits(e), bits(expected));
}

TEST(Propagation, UndirectedUsesTheSymmetrizedGraph) {
  // Row 0 -> 1 (1.0), 0 -> 2 (2.0); row 2 -> 0 (0.5), 2 -> 2 (1.5).
  const CsrMatrix g = csr({0, 2, 2, 4}, {1, 2, 0, 2}, {1.0, 2.0, 0.5, 1.5});
  // A + A^T, written out.
  const CsrMatrix sym =
      csr({0, 2, 3, 5}, {1, 2, 0, 0, 2}, {1.0, 2.5, 1.0, 2.5, 3.0});
  const std::vector<double> weights{1.0, 1.0, 1.0};
  EXPECT_EQ(bits(must(compute_velmar(g, 5, weights, 3, true))),
            bits(must(compute_velmar(sym, 5, weights, 3, false))));
}

TEST(Propagation, EmptyShapes) {
  const CsrMatrix two = csr({0, 1, 1}, {0}, {1.0});
  const DenseMatrix a = must(compute_velmar(two, 0, {{1.0, 1.0}}, 1, false));
  EXPECT_EQ(a.rows, 2u);
  EXPECT_EQ(a.cols, 0u);
  const CsrMatrix none = csr({0}, {}, {});
  for (bool undirected : {false, true}) {
    const DenseMatrix b =
        must(compute_velmar(none, 7, {{1.0, 1.0}}, std::nullopt, undirected));
    EXPECT_EQ(b.rows, 0u);
    EXPECT_EQ(b.cols, 7u);
    EXPECT_EQ(b.data.size(), 0u);
  }
}

TEST(Propagation, MalformedGraphIsAnInternalFault) {
  const DenseMatrix h0 = must(DenseMatrix::zeros(2, 2));
  const CsrMatrix bad_column = csr({0, 1, 1}, {2}, {1.0});
  EXPECT_THROW((void)detail::propagate_and_accumulate(bad_column, copy_of(h0),
                                                      {{1.0, 1.0}}),
               std::logic_error);
  const CsrMatrix short_values = csr({0, 1, 1}, {1}, {});
  EXPECT_THROW((void)detail::propagate_and_accumulate(short_values, copy_of(h0),
                                                      {{1.0}}),
               std::logic_error);
}

// ---- allocation failures ------------------------------------------------

struct OomCase {
  std::uint64_t dim;
  std::optional<std::string> shape_message;  // ShapeMismatch when set
  std::optional<Layout> layout;  // AllocError when set, else CapacityOverflow
};

void PrintTo(const OomCase& c, std::ostream* os) { *os << "dim " << c.dim; }

class ProjectionErrors : public ::testing::TestWithParam<OomCase> {};

void expect_error(const Result<DenseMatrix>& r, const OomCase& c) {
  ASSERT_FALSE(r.ok());
  const auto& kind = r.error().kind;
  if (c.shape_message) {
    ASSERT_TRUE(std::holds_alternative<ShapeMismatch>(kind));
    EXPECT_EQ(std::get<ShapeMismatch>(kind).message, *c.shape_message);
    return;
  }
  ASSERT_TRUE(std::holds_alternative<OutOfMemory>(kind));
  const auto& e = std::get<OutOfMemory>(kind).reservation;
  if (c.layout) {
    ASSERT_EQ(e.kind, TryReserveError::Kind::AllocError);
    EXPECT_EQ(e.layout.size, c.layout->size);
    EXPECT_EQ(e.layout.align, c.layout->align);
  } else {
    EXPECT_EQ(e.kind, TryReserveError::Kind::CapacityOverflow);
  }
}

TEST_P(ProjectionErrors, TwoNodes) {
  const CsrMatrix two = csr({0, 1, 2}, {1, 0}, {1.0, 1.0});
  expect_error(DenseMatrix::zeros(2, GetParam().dim), GetParam());
  expect_error(initialize_h0(2, GetParam().dim, 1), GetParam());
  expect_error(initialize_h0(2, GetParam().dim, std::nullopt), GetParam());
  for (bool undirected : {false, true}) {
    expect_error(compute_velmar(two, GetParam().dim, {{1.0}}, 1, undirected),
                 GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ProjectionErrors,
    ::testing::Values(OomCase{1ull << 63, "Capacity overflow", std::nullopt},
                      OomCase{1ull << 61, std::nullopt, std::nullopt},
                      OomCase{1ull << 40, std::nullopt,
                              Layout{1ull << 43, 4}}));

TEST(ProjectionErrorsText, EightTebibytes) {
  const auto r = initialize_h0(2, 1ull << 40, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(render(r.error()).find("- Requested Memory: 8388608.00 MB\n"),
            std::string::npos);
}

}  // namespace
}  // namespace velmar
