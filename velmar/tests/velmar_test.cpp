#include "velmar.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace velmar {
namespace {

std::string message_of(const Result<DenseMatrix>& r) {
  if (r.ok()) return "<ok>";
  if (auto* s = std::get_if<ShapeMismatch>(&r.error().kind)) return s->message;
  return "<out of memory>";
}

bool bit_identical(const DenseMatrix& a, const DenseMatrix& b) {
  return a.rows == b.rows && a.cols == b.cols &&
         a.data.size() == b.data.size() &&
         (a.data.size() == 0 ||
          std::memcmp(a.data.data(), b.data.data(),
                      a.data.size() * sizeof(float)) == 0);
}

TEST(VelmarBuilderTest, Defaults) {
  const VelmarBuilder b(64);
  EXPECT_EQ(b.dim, 64u);
  EXPECT_EQ(b.weights, (std::vector<double>{0.0, 1.0, 1.0}));
  EXPECT_FALSE(b.seed.has_value());
  EXPECT_TRUE(b.undirected);
}

TEST(VelmarBuilderTest, SettersChainAndAcceptAnything) {
  const auto b =
      VelmarBuilder(0).with_weights({}).with_seed(0).with_undirected(false);
  EXPECT_EQ(b.dim, 0u);
  EXPECT_TRUE(b.weights.empty());
  ASSERT_TRUE(b.seed.has_value());
  EXPECT_EQ(*b.seed, 0u);
  EXPECT_FALSE(b.undirected);
}

TEST(VelmarBuilderTest, GraphStoreErrorsPassThroughUnchanged) {
  const VelmarBuilder b(8);
  const double a[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(message_of(b.fit_dense(DenseView{a, 2, 3, 3, 1})),
            "Adjacency matrix must be square");
  EXPECT_EQ(message_of(b.from_csr({0, 1, 2}, {0, 7}, {1.0, 1.0}, 2)),
            "col_indices[1] = 7 is out of bounds for graph with 2 nodes");
  EXPECT_EQ(message_of(b.fit_adj_list({{{0, 1.0}}, {{2, 1.0}}})),
            "Target node ID 2 is out of bounds for graph with 2 nodes");
}

TEST(VelmarBuilderTest, EngineErrorsPassThroughUnchanged) {
  // 3 rows times 2^63 columns does not fit in 64 bits.
  const VelmarBuilder b(std::uint64_t{1} << 63);
  EXPECT_EQ(message_of(b.from_csr({0, 0, 0, 0}, {}, {}, 3)),
            "Capacity overflow");
}

// One graph in the three input forms: edges 0->1 (2.0), 0->3 (-1.0),
// 1->1 (0.5), 2->0 (3.0), 3->2 (1.0), 3->3 (4.0).
constexpr std::uint64_t kN = 4;
const double kDense[kN * kN] = {0, 2,   0, -1,  //
                                0, 0.5, 0, 0,   //
                                3, 0,   0, 0,   //
                                0, 0,   1, 4};

DenseMatrix run_all_forms_identically(const VelmarBuilder& b) {
  auto csr = b.from_csr({0, 2, 3, 4, 6}, {3, 1, 1, 0, 3, 2},
                        {-1.0, 2.0, 0.5, 3.0, 4.0, 1.0}, kN);
  auto dense = b.fit_dense(DenseView{kDense, kN, kN, kN, 1});
  auto lists = b.fit_adj_list(
      {{{1, 2.0}, {3, -1.0}}, {{1, 0.5}}, {{0, 3.0}}, {{2, 1.0}, {3, 4.0}}});
  EXPECT_TRUE(csr.ok()) << message_of(csr);
  EXPECT_TRUE(dense.ok()) << message_of(dense);
  EXPECT_TRUE(lists.ok()) << message_of(lists);
  if (!csr.ok() || !dense.ok() || !lists.ok()) return {};
  EXPECT_EQ(csr->rows, kN);
  EXPECT_EQ(csr->cols, b.dim);
  EXPECT_TRUE(bit_identical(*csr, *dense));
  EXPECT_TRUE(bit_identical(*csr, *lists));
  return std::move(csr).value();
}

TEST(VelmarBuilderTest, SeededRunIsIdenticalForEveryInputForm) {
  run_all_forms_identically(VelmarBuilder(16).with_seed(42));
  run_all_forms_identically(VelmarBuilder(16)
                                .with_seed(0)
                                .with_weights({1.0, 0.5, -2.0, 0.25})
                                .with_undirected(false));
}

TEST(VelmarBuilderTest, RunPassesEveryParameterToTheEngine) {
  const auto b = VelmarBuilder(8)
                     .with_seed(7)
                     .with_weights({0.5, 2.0})
                     .with_undirected(false);
  DenseMatrix via_builder = run_all_forms_identically(b);

  auto graph = build_from_dense(DenseView{kDense, kN, kN, kN, 1});
  ASSERT_TRUE(graph.ok());
  auto direct = compute_velmar(*graph, 8, b.weights, std::uint64_t{7}, false);
  ASSERT_TRUE(direct.ok()) << message_of(direct);
  EXPECT_TRUE(bit_identical(via_builder, *direct));

  // A different seed or direction changes the result, so the comparison
  // above does see them.
  auto other_seed =
      compute_velmar(*graph, 8, b.weights, std::uint64_t{8}, false);
  auto undirected =
      compute_velmar(*graph, 8, b.weights, std::uint64_t{7}, true);
  ASSERT_TRUE(other_seed.ok() && undirected.ok());
  EXPECT_FALSE(bit_identical(via_builder, *other_seed));
  EXPECT_FALSE(bit_identical(via_builder, *undirected));
}

}  // namespace
}  // namespace velmar
