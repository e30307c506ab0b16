// The same bits everywhere: seeded embeddings of generated graphs, hashed and
// compared with hashes kept here. The suite runs natively under each vector
// clone (VELMAR_KERNEL_CLONE), cross-built for aarch64 under qemu-user and
// for Windows under wine; tests/test_portability.py reads the table below and
// checks the same hashes through the Python module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "graph.h"
#include "kernels.h"
#include "rng.h"
#include "spectral.h"
#include "velmar.h"

namespace velmar {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Edge values: finite in [-1, 3), or with every 7th a NaN, or every 7th
// alternately +inf and -inf.
enum Values { kFinite, kWithNaN, kWithInf };

struct Case {
  const char* name;
  std::uint64_t n;
  std::uint64_t max_degree;
  Values values;
  std::uint64_t dim;
  std::vector<double> weights;
  std::uint64_t seed;
  bool undirected;
  std::uint64_t hash;
};

// One row per line: the Python test parses this table.
const Case kCases[] = {
    // clang-format off
    {"single_node", 1, 0, kFinite, 5, {1.0}, 0u, true, 0xdcc530e05c9d5319},
    {"dim_one", 50, 4, kFinite, 1, {0.0, 1.0, 1.0}, 1u, true, 0x724765d3045b1cf1},
    {"directed_odd_dim", 200, 8, kFinite, 7, {0.5, -1.25, 2.0, 0.125}, 42u, false, 0xefac01cf7f50fb63},
    {"max_seed", 300, 6, kFinite, 33, {1.0, 1.0, 1.0}, 18446744073709551615u, true, 0x7728dbd9eceed29f},
    {"wide_rows", 120, 5, kFinite, 128, {0.0, 1.0, 1.0}, 7u, true, 0x122ee4cd93c4af0d},
    {"nan_edges", 100, 5, kWithNaN, 16, {0.0, 1.0, 1.0}, 3u, true, 0x9d86bde2376a190e},
    {"inf_edges", 100, 5, kWithInf, 16, {1.0, 0.5}, 3u, false, 0xd2bc428ec6688b0d},
    {"nan_weight", 80, 4, kFinite, 24, {1.0, kNaN, 0.5}, 11u, true, 0x3a3dee780d27f925},
    {"inf_weights", 80, 4, kFinite, 24, {kInf, 1.0, -kInf}, 12u, false, 0xf470f5b48c67f925},
    {"many_blocks", 3000, 10, kFinite, 64, {0.0, 1.0, 1.0, 0.5}, 2026u, true, 0x63e435a40ca1f3f7},
    // clang-format on
};

// A graph from a SplitMix64 stream seeded with n: each node gets
// (draw % (max_degree + 1)) edges to (draw % n), in generation order, so rows
// are unsorted and may repeat a column (merged by the graph store).
struct Graph {
  std::vector<std::uint64_t> row_ptrs;
  std::vector<std::uint64_t> col_indices;
  std::vector<double> values;
  std::uint64_t num_nodes = 0;
};

Graph make_graph(const Case& c) {
  std::uint64_t state = c.n;
  Graph g;
  g.num_nodes = c.n;
  g.row_ptrs.push_back(0);
  for (std::uint64_t i = 0; i < c.n; ++i) {
    const std::uint64_t degree = splitmix64_next(state) % (c.max_degree + 1);
    for (std::uint64_t k = 0; k < degree; ++k) {
      g.col_indices.push_back(splitmix64_next(state) % c.n);
      const double u =
          static_cast<double>(splitmix64_next(state) >> 11) * 0x1p-53;
      double v = u * 4.0 - 1.0;
      const std::uint64_t e = g.col_indices.size();
      if (c.values != kFinite && e % 7 == 0) {
        v = c.values == kWithNaN ? kNaN : (e % 14 == 0 ? kInf : -kInf);
      }
      g.values.push_back(v);
    }
    g.row_ptrs.push_back(g.col_indices.size());
  }
  return g;
}

// FNV-1a over the elements' bit patterns as 32-bit words, so the hash does
// not depend on the byte order.
std::uint64_t hash_floats(const float* data, std::size_t count) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, data + i, sizeof bits);
    h ^= bits;
    h *= 0x100000001B3ull;
  }
  return h;
}

// Compares as hex strings, so that a failure prints the hash to paste.
void expect_hash(const float* data, std::size_t count, std::uint64_t hash,
                 const char* name) {
  char actual[32];
  std::snprintf(actual, sizeof actual, "0x%016llx",
                static_cast<unsigned long long>(hash_floats(data, count)));
  char expected[32];
  std::snprintf(expected, sizeof expected, "0x%016llx",
                static_cast<unsigned long long>(hash));
  EXPECT_STREQ(actual, expected)
      << name << " under kernel clone " << detail::kernel_clone();
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SeededBits : public ::testing::TestWithParam<Case> {};

TEST_P(SeededBits, HashMatches) {
  const Case& c = GetParam();
  Graph g = make_graph(c);
  const auto builder = VelmarBuilder(c.dim)
                           .with_weights(c.weights)
                           .with_seed(c.seed)
                           .with_undirected(c.undirected);
  auto result =
      builder.from_csr(std::move(g.row_ptrs), std::move(g.col_indices),
                       std::move(g.values), g.num_nodes);
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result->rows, c.n);
  ASSERT_EQ(result->cols, c.dim);
  expect_hash(result->data.data(), result->data.size(), c.hash, c.name);
}

INSTANTIATE_TEST_SUITE_P(Cases, SeededBits, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return info.param.name;
                         });

// The engine's options, through embed_columns on a sorted graph: row i has
// edges to (i * 7 + 13 * k) % n, k < i % 6 + 1, weight 1 + k / 4, made
// undirected; dense features x[i][c] = ((i + 3c) % 5 - 2) / 2, five per
// node. Weights (0.5, 1, 0, 1), seed 7, dim 24. The hashes agree with the
// NumPy reference of bench/reference.py.
// With segment_rows, each step runs over segments of that many columns
// (EmbedSettings::segment_rows): the same hashes.
struct OptionCase {
  const char* name;
  double beta;
  bool step;
  std::uint64_t feature_dim;
  std::uint64_t hash;
  std::uint64_t segment_rows = 0;
};

const OptionCase kOptionCases[] = {
    {"beta", -0.5, false, 0, 0x3d29c66fe492cb78},
    {"step_l2", 1.0, true, 0, 0xc21ade33bde1b2eb},
    {"features", 0.5, true, 9, 0x610b9e5396465632},
    {"beta_segments", -0.5, false, 0, 0x3d29c66fe492cb78, 16},
    {"step_l2_segments", 1.0, true, 0, 0xc21ade33bde1b2eb, 1},
    {"features_segments", 0.5, true, 9, 0x610b9e5396465632, 150},
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class EngineOptionBits : public ::testing::TestWithParam<OptionCase> {};

TEST_P(EngineOptionBits, HashMatches) {
  const OptionCase& c = GetParam();
  constexpr std::uint64_t n = 400, dim = 24, f = 5;
  std::vector<std::int64_t> row_ptrs{0}, cols;
  std::vector<double> values;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::vector<std::pair<std::int64_t, double>> row;
    for (std::uint64_t k = 0; k < i % 6 + 1; ++k) {
      row.emplace_back((i * 7 + 13 * k) % n, 1.0 + static_cast<double>(k) / 4);
    }
    std::sort(row.begin(), row.end());
    for (const auto& [col, v] : row) {
      cols.push_back(col);
      values.push_back(v);
    }
    row_ptrs.push_back(static_cast<std::int64_t>(cols.size()));
  }
  const CsrInput in{row_ptrs.data(),   IndexType::kInt64, cols.data(),
                    IndexType::kInt64, values.data(),     n,
                    cols.size()};
  auto built = build_compact(in, BuildOptions{}, nullptr);
  ASSERT_TRUE(built.ok());
  const CompactGraph& g = built.value();
  std::vector<float> x(n * f);
  for (std::uint64_t i = 0; i < n; ++i) {
    for (std::uint64_t j = 0; j < f; ++j) {
      x[i * f + j] = static_cast<float>((i + 3 * j) % 5) / 2.0f - 1.0f;
    }
  }
  FeatureInput features{f, c.feature_dim};
  features.dense = x.data();
  features.dense_stride = f;
  const std::vector<double> w{0.5, 1.0, 0.0, 1.0};
  EmbedSettings s{w, 7, 0, dim, dim, dim};
  s.normalization_strength = c.beta;
  s.step_normalize = c.step;
  s.features = c.feature_dim != 0 ? &features : nullptr;
  s.segment_rows = c.segment_rows != 0 ? c.segment_rows : n;
  std::vector<float> out(n * dim);
  ASSERT_TRUE(embed_columns(g.view(), s, {out.data(), dim}, nullptr).ok());
  expect_hash(out.data(), out.size(), c.hash, c.name);
}

INSTANTIATE_TEST_SUITE_P(Cases, EngineOptionBits,
                         ::testing::ValuesIn(kOptionCases),
                         [](const ::testing::TestParamInfo<OptionCase>& info) {
                           return info.param.name;
                         });

// The spectral method (embed_spectral) on the graph of EngineOptionBits,
// undirected, with its float64 weights: seed and dim per case, the filter
// in blocks of `block` columns (0: the machine's width; the same hash).
struct SpectralCase {
  const char* name;
  std::uint64_t seed;
  std::uint64_t dim;
  std::uint64_t block;
  std::uint64_t hash;
};

const SpectralCase kSpectralCases[] = {
    {"spectral", 7, 24, 0, 0x17f04348d31c39ea},
    {"spectral_blocks", 7, 24, 5, 0x17f04348d31c39ea},
    {"spectral_dim_5", 1, 5, 0, 0x287a2f33e61c785a},
};

void PrintTo(const SpectralCase& c, std::ostream* os) { *os << c.name; }

class SpectralBits : public ::testing::TestWithParam<SpectralCase> {};

TEST_P(SpectralBits, HashMatches) {
  const SpectralCase& c = GetParam();
  constexpr std::uint64_t n = 400;
  std::vector<std::int64_t> row_ptrs{0}, cols;
  std::vector<double> values;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::vector<std::pair<std::int64_t, double>> row;
    for (std::uint64_t k = 0; k < i % 6 + 1; ++k) {
      row.emplace_back((i * 7 + 13 * k) % n, 1.0 + static_cast<double>(k) / 4);
    }
    std::sort(row.begin(), row.end());
    for (const auto& [col, v] : row) {
      cols.push_back(col);
      values.push_back(v);
    }
    row_ptrs.push_back(static_cast<std::int64_t>(cols.size()));
  }
  const CsrInput in{row_ptrs.data(),   IndexType::kInt64, cols.data(),
                    IndexType::kInt64, values.data(),     n,
                    cols.size()};
  auto built = build_compact(in, BuildOptions{true, true}, nullptr);
  ASSERT_TRUE(built.ok());
  const CompactGraph& g = built.value();
  SpectralSettings s;
  s.dim = c.dim;
  s.base_seed = c.seed;
  s.filter_block = c.block;
  std::vector<float> out(n * c.dim);
  ASSERT_TRUE(
      embed_spectral(g.view(), g.values(), s, {out.data(), c.dim}, nullptr)
          .ok());
  expect_hash(out.data(), out.size(), c.hash, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpectralBits, ::testing::ValuesIn(kSpectralCases),
    [](const ::testing::TestParamInfo<SpectralCase>& info) {
      return info.param.name;
    });

// Each clone gets its own ctest entry with VELMAR_KERNEL_CLONE set; a CPU
// that lacks the clone's instructions runs the widest it has instead.
TEST(KernelClone, ForcedCloneIsInUse) {
  const char* wanted = std::getenv("VELMAR_KERNEL_CLONE");
  if (wanted == nullptr) GTEST_SKIP() << "no clone forced";
  // The baseline runs everywhere: asking for it must always give it.
  if (std::string(detail::kernel_clone()) != wanted &&
      std::string(wanted) != "default") {
    GTEST_SKIP() << "this CPU cannot run " << wanted << "; running "
                 << detail::kernel_clone();
  }
  EXPECT_STREQ(detail::kernel_clone(), wanted);
}

}  // namespace
}  // namespace velmar
