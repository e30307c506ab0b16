#include "csr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pool.h"

namespace velmar {
namespace {

using U64s = std::vector<std::uint64_t>;
using F64s = std::vector<double>;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The ShapeMismatch text of a failed result, "<ok>" or "<out of memory>".
std::string message_of(const Result<CsrMatrix>& r) {
  if (r.ok()) return "<ok>";
  if (auto* s = std::get_if<ShapeMismatch>(&r.error().kind)) return s->message;
  return "<out of memory>";
}

// Names a parametrised case after its `name` field.
struct CaseName {
  template <class Case>
  std::string operator()(const testing::TestParamInfo<Case>& c) const {
    return c.param.name;
  }
};

// The invariants every constructor and make_undirected establish.
void expect_invariants(const CsrMatrix& m) {
  ASSERT_EQ(m.row_ptrs.size(), m.num_nodes + 1);
  ASSERT_EQ(m.row_ptrs[0], 0u);
  ASSERT_EQ(m.row_ptrs.back(), m.col_indices.size());
  ASSERT_EQ(m.col_indices.size(), m.values.size());
  for (std::uint64_t i = 0; i < m.num_nodes; ++i) {
    ASSERT_LE(m.row_ptrs[i], m.row_ptrs[i + 1]);
    for (std::uint64_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) {
      ASSERT_LT(m.col_indices[k], m.num_nodes);
      if (k > m.row_ptrs[i]) {
        ASSERT_LT(m.col_indices[k - 1], m.col_indices[k]);
      }
    }
  }
}

// Bitwise comparison so that NaN and -0.0 are checked too.
void expect_same_values(const F64s& got, const F64s& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    if (std::isnan(want[k])) {
      EXPECT_TRUE(std::isnan(got[k])) << "at " << k;
    } else {
      EXPECT_EQ(got[k], want[k]) << "at " << k;
      EXPECT_EQ(std::signbit(got[k]), std::signbit(want[k])) << "at " << k;
    }
  }
}

void expect_matrix(const CsrMatrix& m, const U64s& row_ptrs,
                   const U64s& col_indices, const F64s& values) {
  EXPECT_EQ(m.row_ptrs, row_ptrs);
  EXPECT_EQ(m.col_indices, col_indices);
  expect_same_values(m.values, values);
}

// ---------------------------------------------------------------------------
// build_from_csr

struct CsrErrorCase {
  const char* name;
  U64s row_ptrs;
  U64s col_indices;
  F64s values;
  std::uint64_t num_nodes;
  std::string message;
};

class BuildFromCsrErrorTest : public testing::TestWithParam<CsrErrorCase> {};

TEST_P(BuildFromCsrErrorTest, ReportsFirstFailedCheck) {
  const CsrErrorCase& c = GetParam();
  auto r = build_from_csr(c.row_ptrs, c.col_indices, c.values, c.num_nodes);
  EXPECT_EQ(message_of(r), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, BuildFromCsrErrorTest,
    testing::Values(
        CsrErrorCase{"EmptyRowPtrs",
                     {},
                     {},
                     {},
                     0,
                     "row_ptrs length 0 must be num_nodes + 1 (1)"},
        CsrErrorCase{"LengthBeforeValueMismatch",
                     {0, 1},
                     {0},
                     {},
                     2,
                     "row_ptrs length 2 must be num_nodes + 1 (3)"},
        CsrErrorCase{"LargestNodeCount",
                     {0},
                     {},
                     {},
                     kMaxU64,
                     "row_ptrs length 1 must be num_nodes + 1 "
                     "(18446744073709551616)"},
        CsrErrorCase{"ValueLength",
                     {0, 1},
                     {0},
                     {},
                     1,
                     "col_indices and values must have the same length"},
        CsrErrorCase{"ValueLengthBeforeFirstPtr",
                     {1, 1},
                     {0},
                     {},
                     1,
                     "col_indices and values must have the same length"},
        CsrErrorCase{"FirstPtr",
                     {1, 2},
                     {0, 0},
                     {1, 1},
                     1,
                     "row_ptrs[0] must be 0, got 1"},
        CsrErrorCase{"FirstPtrBeforeLastPtr",
                     {5, 1},
                     {0},
                     {1},
                     1,
                     "row_ptrs[0] must be 0, got 5"},
        CsrErrorCase{"LastPtr",
                     {0, 3},
                     {0, 0},
                     {1, 1},
                     1,
                     "row_ptrs last element (3) must equal col_indices "
                     "length (2)"},
        CsrErrorCase{"LastPtrBeforeMonotonic",
                     {0, 3, 1},
                     {0, 1},
                     {1, 1},
                     2,
                     "row_ptrs last element (1) must equal col_indices "
                     "length (2)"},
        CsrErrorCase{"Monotonic",
                     {0, 3, 2},
                     {0, 1},
                     {1, 1},
                     2,
                     "row_ptrs must be monotonically non-decreasing, found 3 "
                     "followed by 2"},
        CsrErrorCase{"MonotonicBeforeColumns",
                     {0, 3, 2},
                     {0, 9},
                     {1, 1},
                     2,
                     "row_ptrs must be monotonically non-decreasing, found 3 "
                     "followed by 2"},
        CsrErrorCase{"Column",
                     {0, 1, 2},
                     {0, 7},
                     {1, 1},
                     2,
                     "col_indices[1] = 7 is out of bounds for graph with 2 "
                     "nodes"},
        CsrErrorCase{"ColumnEqualToNodeCount",
                     {0, 1, 2},
                     {0, 2},
                     {1, 1},
                     2,
                     "col_indices[1] = 2 is out of bounds for graph with 2 "
                     "nodes"},
        CsrErrorCase{"FirstBadColumn",
                     {0, 1, 2},
                     {5, 9},
                     {1, 1},
                     2,
                     "col_indices[0] = 5 is out of bounds for graph with 2 "
                     "nodes"},
        CsrErrorCase{"NegativeFromPython",
                     {0, 1, 1, 1},
                     {kMaxU64},
                     {1},
                     3,
                     "col_indices[0] = 18446744073709551615 is out of bounds "
                     "for graph with 3 nodes"}),
    CaseName());

TEST(BuildFromCsrTest, EmptyGraph) {
  auto r = build_from_csr({0}, {}, {}, 0);
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0}, {}, {});
  EXPECT_EQ(r->num_nodes, 0u);
}

TEST(BuildFromCsrTest, SortsMergesAndShiftsLaterRows) {
  auto r = build_from_csr({0, 3, 4, 6}, {2, 0, 2, 1, 0, 2},
                          {1.0, 5.0, 0.5, 7.0, 8.0, 9.0}, 3);
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0, 2, 3, 5}, {0, 2, 1, 0, 2}, {5.0, 1.5, 7.0, 8.0, 9.0});
}

TEST(BuildFromCsrTest, TakesSortedInputOverWithoutCopying) {
  U64s rp{0, 2, 3};
  U64s col{0, 1, 1};
  F64s val{0.0, -2.5, kNaN};
  const auto* rp_data = rp.data();
  const auto* col_data = col.data();
  const auto* val_data = val.data();
  auto r = build_from_csr(std::move(rp), std::move(col), std::move(val), 2);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->row_ptrs.data(), rp_data);
  EXPECT_EQ(r->col_indices.data(), col_data);
  EXPECT_EQ(r->values.data(), val_data);
  // Zero, negative and NaN weights and the self-loop are stored as given.
  expect_matrix(*r, {0, 2, 3}, {0, 1, 1}, {0.0, -2.5, kNaN});
}

// ---------------------------------------------------------------------------
// sort_indices

// A matrix of `num_nodes` rows whose first row holds every entry.
CsrMatrix one_row(U64s cols, F64s weights, std::uint64_t num_nodes) {
  U64s row_ptrs(num_nodes + 1, cols.size());
  row_ptrs[0] = 0;
  return CsrMatrix{std::move(row_ptrs), std::move(cols), std::move(weights),
                   num_nodes};
}

struct SortCase {
  const char* name;
  U64s cols;
  F64s weights;
  U64s want_cols;
  F64s want_weights;
};

class SortIndicesTest : public testing::TestWithParam<SortCase> {};

TEST_P(SortIndicesTest, SortsAndMergesOneRow) {
  const SortCase& c = GetParam();
  CsrMatrix m = one_row(c.cols, c.weights, 10);
  m.sort_indices();
  expect_matrix(m, one_row(c.want_cols, {}, 10).row_ptrs, c.want_cols,
                c.want_weights);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SortIndicesTest,
    testing::Values(
        SortCase{"Swap", {3, 1}, {1.0, 2.0}, {1, 3}, {2.0, 1.0}},
        SortCase{"AllEqual", {1, 1, 1}, {1.0, 2.0, 4.0}, {1}, {7.0}},
        SortCase{"CancellingLeavesZero", {0, 0}, {1.5, -1.5}, {0}, {0.0}},
        SortCase{"ZeroKept", {2, 0}, {0.0, -0.0}, {0, 2}, {-0.0, 0.0}},
        // 1 + 1 + 2^53 keeps both ones only when they are added first, as
        // in stored order; adding 2^53 earlier loses them to rounding.
        SortCase{"StableSumOrder",
                 {5, 0, 5, 3, 5},
                 {1.0, 9.0, 1.0, 7.0, 9007199254740992.0},
                 {0, 3, 5},
                 {9.0, 7.0, 9007199254740994.0}}),
    CaseName());

TEST(SortIndicesTest, RowsLongerThanTwentyEntries) {
  // 30 entries over 10 columns, descending with each column three times.
  U64s cols;
  F64s weights;
  for (int k = 0; k < 30; ++k) {
    cols.push_back(static_cast<std::uint64_t>(9 - k % 10));
    weights.push_back(k);
  }
  CsrMatrix m = one_row(cols, weights, 10);
  m.sort_indices();
  U64s want_rp(11, 10);
  want_rp[0] = 0;
  U64s want_cols;
  F64s want_weights;
  for (int c = 0; c < 10; ++c) {
    want_cols.push_back(static_cast<std::uint64_t>(c));
    const int first = 9 - c;  // k with 9 - k % 10 == c
    want_weights.push_back(first + (first + 10) + (first + 20));
  }
  expect_matrix(m, want_rp, want_cols, want_weights);
}

TEST(SortIndicesTest, SortedMatrixIsLeftUntouched) {
  CsrMatrix m{{0, 2, 2, 3}, {0, 2, 1}, {1.0, 2.0, 3.0}, 3};
  m.row_ptrs.reserve(64);
  m.col_indices.reserve(64);
  m.values.reserve(64);
  const auto* rp_data = m.row_ptrs.data();
  const auto* col_data = m.col_indices.data();
  const auto* val_data = m.values.data();
  m.sort_indices();
  EXPECT_EQ(m.row_ptrs.data(), rp_data);
  EXPECT_EQ(m.col_indices.data(), col_data);
  EXPECT_EQ(m.values.data(), val_data);
  EXPECT_EQ(m.row_ptrs.capacity(), 64u);
  EXPECT_EQ(m.col_indices.capacity(), 64u);
  expect_matrix(m, {0, 2, 2, 3}, {0, 2, 1}, {1.0, 2.0, 3.0});
}

TEST(SortIndicesTest, EmptyGraphIsLeftAlone) {
  CsrMatrix m{{}, {}, {}, 0};  // not even a row pointer: never looked at
  m.sort_indices();
  EXPECT_TRUE(m.row_ptrs.empty());
}

TEST(SortIndicesTest, RebuildCompactsAcrossRows) {
  CsrMatrix m{{0, 2, 4, 4}, {0, 1, 2, 2}, {1.0, 2.0, 3.0, 4.0}, 3};
  m.sort_indices();
  expect_matrix(m, {0, 2, 3, 3}, {0, 1, 2}, {1.0, 2.0, 7.0});
}

// ---------------------------------------------------------------------------
// build_from_dense

// The logical matrix used for every layout: -0.0 and 0.0 are not edges, NaN
// and negative entries are, the diagonal entry is a self-loop.
const double kDense[3][3] = {
    {0.0, -0.0, 2.0}, {kNaN, -1.5, 0.0}, {0.0, 4.0, 0.0}};

struct Layout3 {
  const char* name;
  std::vector<double> storage;
  std::int64_t offset;  // of element (0, 0) in storage
  std::int64_t row_stride;
  std::int64_t col_stride;
};

std::vector<Layout3> dense_layouts() {
  std::vector<Layout3> out;
  Layout3 row_major{"RowMajor", {}, 0, 3, 1};
  Layout3 col_major{"ColumnMajor", {}, 0, 1, 3};
  Layout3 reversed{"NegativeStrides", std::vector<double>(9), 8, -3, -1};
  Layout3 sliced{"EveryOtherColumn", std::vector<double>(18, 99.0), 0, 6, 2};
  Layout3 flipped_rows{"NegativeRowStride", std::vector<double>(9), 6, -3, 1};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      row_major.storage.push_back(kDense[i][j]);
    }
  }
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) col_major.storage.push_back(kDense[i][j]);
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      reversed.storage[static_cast<std::size_t>(8 - 3 * i - j)] = kDense[i][j];
      sliced.storage[static_cast<std::size_t>(6 * i + 2 * j)] = kDense[i][j];
      flipped_rows.storage[static_cast<std::size_t>(6 - 3 * i + j)] =
          kDense[i][j];
    }
  }
  return {row_major, col_major, reversed, sliced, flipped_rows};
}

class DenseLayoutTest : public testing::TestWithParam<Layout3> {};

TEST_P(DenseLayoutTest, ReadsLogicalOrder) {
  const Layout3& l = GetParam();
  DenseView v{l.storage.data() + l.offset, 3, 3, l.row_stride, l.col_stride};
  auto r = build_from_dense(v);
  ASSERT_TRUE(r.ok()) << message_of(r);
  expect_matrix(*r, {0, 1, 3, 4}, {2, 0, 1, 1}, {2.0, kNaN, -1.5, 4.0});
  // Each sequence is reserved once, at its final size.
  EXPECT_EQ(r->row_ptrs.capacity(), 4u);
  EXPECT_EQ(r->col_indices.capacity(), 4u);
  EXPECT_EQ(r->values.capacity(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DenseLayoutTest,
                         testing::ValuesIn(dense_layouts()), CaseName());

TEST(BuildFromDenseTest, ZeroStridesRepeatOneElement) {
  const double x = -3.0;
  auto r = build_from_dense(DenseView{&x, 2, 2, 0, 0});
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0, 2, 4}, {0, 1, 0, 1}, {x, x, x, x});

  const double row[2] = {0.0, 5.0};
  r = build_from_dense(DenseView{row, 2, 2, 0, 1});
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0, 1, 2}, {1, 1}, {5.0, 5.0});
}

TEST(BuildFromDenseTest, WorkedExample) {
  const double a[4] = {0, 2, 3, 0};
  auto r = build_from_dense(DenseView{a, 2, 2, 2, 1});
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0, 1, 2}, {1, 0}, {2.0, 3.0});
}

TEST(BuildFromDenseTest, EmptyAndAllZero) {
  auto r = build_from_dense(DenseView{nullptr, 0, 0, 0, 0});
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0}, {}, {});
  EXPECT_EQ(r->num_nodes, 0u);

  const double zeros[4] = {0.0, -0.0, -0.0, 0.0};
  r = build_from_dense(DenseView{zeros, 2, 2, 2, 1});
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0, 0, 0}, {}, {});
  EXPECT_EQ(r->col_indices.capacity(), 0u);  // nothing reserved for nnz 0
}

TEST(BuildFromDenseTest, NonSquare) {
  const double a[6] = {1, 2, 3, 4, 5, 6};
  const std::pair<int, int> shapes[] = {{2, 3}, {3, 2}, {0, 3}, {3, 0}};
  for (auto [rows, cols] : shapes) {
    auto r =
        build_from_dense(DenseView{a, static_cast<std::uint64_t>(rows),
                                   static_cast<std::uint64_t>(cols), cols, 1});
    EXPECT_EQ(message_of(r), "Adjacency matrix must be square")
        << rows << "x" << cols;
  }
}

// ---------------------------------------------------------------------------
// build_from_adj_list

TEST(BuildFromAdjListTest, SortsAndMergesEachList) {
  AdjacencyLists lists{
      {{2, 1.0}, {1, 0.5}, {2, 4.0}}, {}, {{2, 0.0}, {0, kNaN}}};
  auto r = build_from_adj_list(std::move(lists));
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0, 2, 2, 4}, {1, 2, 0, 2}, {0.5, 5.0, kNaN, 0.0});
}

TEST(BuildFromAdjListTest, EmptyInput) {
  auto r = build_from_adj_list({});
  ASSERT_TRUE(r.ok());
  expect_matrix(*r, {0}, {}, {});
}

TEST(BuildFromAdjListTest, FirstOutOfBoundsTargetInListOrder) {
  auto r = build_from_adj_list({{{0, 1.0}}, {{3, 1.0}, {7, 1.0}}, {{1, 1.0}}});
  EXPECT_EQ(message_of(r),
            "Target node ID 3 is out of bounds for graph with 3 nodes");
  r = build_from_adj_list({{{kMaxU64, 1.0}}});
  EXPECT_EQ(message_of(r),
            "Target node ID 18446744073709551615 is out of bounds for graph "
            "with 1 nodes");
}

// ---------------------------------------------------------------------------
// make_undirected

struct UndirectedCase {
  const char* name;
  CsrMatrix in;
  U64s want_row_ptrs;
  U64s want_cols;
  F64s want_values;
};

class MakeUndirectedTest : public testing::TestWithParam<UndirectedCase> {};

TEST_P(MakeUndirectedTest, Sums) {
  const UndirectedCase& c = GetParam();
  const CsrMatrix before = c.in;
  auto r = c.in.make_undirected();
  ASSERT_TRUE(r.ok()) << message_of(r);
  expect_invariants(*r);
  EXPECT_EQ(r->num_nodes, c.in.num_nodes);
  expect_matrix(*r, c.want_row_ptrs, c.want_cols, c.want_values);
  expect_matrix(c.in, before.row_ptrs, before.col_indices, before.values);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MakeUndirectedTest,
    testing::Values(UndirectedCase{"Empty", {{0}, {}, {}, 0}, {0}, {}, {}},
                    UndirectedCase{"OneEdge",
                                   {{0, 1, 1}, {1}, {2.0}, 2},
                                   {0, 1, 2},
                                   {1, 0},
                                   {2.0, 2.0}},
                    UndirectedCase{"OppositeEdges",
                                   {{0, 1, 2}, {1, 0}, {1.0, 3.0}, 2},
                                   {0, 1, 2},
                                   {1, 0},
                                   {4.0, 4.0}},
                    UndirectedCase{"SelfLoop",
                                   {{0, 0, 0, 1}, {2}, {0.5}, 3},
                                   {0, 0, 0, 1},
                                   {2},
                                   {1.0}},
                    UndirectedCase{"Cancelling",
                                   {{0, 1, 2}, {1, 0}, {1.0, -1.0}, 2},
                                   {0, 0, 0},
                                   {},
                                   {}},
                    UndirectedCase{"ZerosDropped",
                                   {{0, 2, 2}, {0, 1}, {0.0, -0.0}, 2},
                                   {0, 0, 0},
                                   {},
                                   {}},
                    UndirectedCase{"NaNKept",
                                   {{0, 1, 1}, {1}, {kNaN}, 2},
                                   {0, 1, 2},
                                   {1, 0},
                                   {kNaN, kNaN}},
                    UndirectedCase{
                        "Mixed",
                        {{0, 2, 3, 4}, {1, 2, 0, 0}, {1.0, 5.0, 2.0, -5.0}, 3},
                        {0, 1, 2, 2},
                        {1, 0},
                        {3.0, 3.0}},
                    // Rows are read relative to the first pointer, which may be
                    // non-zero in a hand-made matrix.
                    UndirectedCase{"OffsetFirstPointer",
                                   {{2, 3, 4}, {1, 0}, {1.0, 3.0}, 2},
                                   {0, 1, 2},
                                   {1, 0},
                                   {4.0, 4.0}}),
    CaseName());

struct StructureCase {
  const char* name;
  CsrMatrix in;
  std::string detail;
};

class StructureCheckTest : public testing::TestWithParam<StructureCase> {};

TEST_P(StructureCheckTest, ReportsFirstFailure) {
  const StructureCase& c = GetParam();
  EXPECT_EQ(message_of(c.in.make_undirected()),
            "Invalid CSR structure: Structure Error " + c.detail);
}

constexpr std::uint64_t kTooBig = (std::uint64_t{1} << 63);

INSTANTIATE_TEST_SUITE_P(
    Checks, StructureCheckTest,
    testing::Values(
        StructureCase{"ValuesShort",
                      {{0, 2, 1}, {0, 1}, {1.0}, 5},
                      "(size mismatch): data and indices have different sizes"},
        StructureCase{"UnsortedIndptr",
                      {{0, 2, 1}, {0, 1}, {1.0, 1.0}, 5},
                      "(unsorted): Unsorted indptr"},
        StructureCase{"EmptyIndptr",
                      {{}, {}, {}, 0},
                      "(size mismatch): An indptr should have its len >= 1"},
        StructureCase{"IndptrTooLarge",
                      {{0, kTooBig}, {}, {}, 1},
                      "(out of range): An indptr value is larger than allowed"},
        StructureCase{"IndptrLength",
                      {{0, 1}, {0}, {1.0}, 2},
                      "(size mismatch): Indptr length does not match "
                      "dimension"},
        StructureCase{"LargestDimension",
                      {{0, 1}, {0}, {1.0}, kMaxU64},
                      "(size mismatch): Indptr length does not match "
                      "dimension"},
        StructureCase{"IndicesLength",
                      {{0, 2}, {0}, {1.0}, 1},
                      "(size mismatch): Indices length and inpdtr's nnz do "
                      "not match"},
        StructureCase{"UnsortedRow",
                      {{0, 2, 2, 2}, {2, 1}, {1.0, 1.0}, 3},
                      "(unsorted): Indices are not sorted"},
        StructureCase{"DuplicateColumn",
                      {{0, 2, 2}, {1, 1}, {1.0, 1.0}, 2},
                      "(unsorted): Indices are not sorted"},
        StructureCase{"ColumnTooLarge",
                      {{0, 0, 2}, {0, 2}, {1.0, 1.0}, 2},
                      "(out of range): Indice is larger than inner dimension"},
        // Rows are checked in order, sortedness before range within a row.
        StructureCase{"RangeInEarlierRow",
                      {{0, 1, 3}, {5, 1, 0}, {1.0, 1.0, 1.0}, 2},
                      "(out of range): Indice is larger than inner dimension"},
        StructureCase{"SortInEarlierRow",
                      {{0, 2, 3}, {1, 0, 5}, {1.0, 1.0, 1.0}, 2},
                      "(unsorted): Indices are not sorted"},
        StructureCase{"SortBeforeRangeSameRow",
                      {{0, 2, 2, 2}, {5, 1}, {1.0, 1.0}, 3},
                      "(unsorted): Indices are not sorted"}),
    CaseName());

// ---------------------------------------------------------------------------
// Random inputs against a dense reference. Weights are small integers, so
// every sum is exact whatever the order of additions.

struct Reference {
  std::uint64_t n = 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, double> entries;

  double at(std::uint64_t i, std::uint64_t j) const {
    auto it = entries.find({i, j});
    return it == entries.end() ? 0.0 : it->second;
  }
};

void expect_equals_reference(const CsrMatrix& m, const Reference& ref) {
  ASSERT_EQ(m.num_nodes, ref.n);
  std::size_t count = 0;
  for (std::uint64_t i = 0; i < m.num_nodes; ++i) {
    for (std::uint64_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) {
      auto it = ref.entries.find({i, m.col_indices[k]});
      ASSERT_NE(it, ref.entries.end()) << i << "," << m.col_indices[k];
      EXPECT_EQ(m.values[k], it->second);
      ++count;
    }
  }
  EXPECT_EQ(count, ref.entries.size());
}

TEST(RandomGraphTest, BuildersAndSymmetrizationAgreeWithReference) {
  std::mt19937_64 gen(12345);
  auto uniform = [&gen](std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(gen);
  };
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint64_t n = uniform(0, 12);
    AdjacencyLists lists(n);
    Reference ref{n, {}};
    U64s rp{0};
    U64s cols;
    F64s vals;
    for (std::uint64_t i = 0; i < n; ++i) {
      // Some rows longer than 20 so that both sort paths run.
      const std::uint64_t len =
          uniform(0, 3) == 0 ? uniform(21, 40) : uniform(0, 6);
      for (std::uint64_t e = 0; e < len; ++e) {
        const std::uint64_t j = uniform(0, n - 1);
        const double w = static_cast<double>(uniform(0, 6)) - 3.0;
        lists[i].emplace_back(j, w);
        cols.push_back(j);
        vals.push_back(w);
        ref.entries[{i, j}] += w;
      }
      rp.push_back(cols.size());
    }

    auto from_csr = build_from_csr(rp, cols, vals, n);
    ASSERT_TRUE(from_csr.ok()) << message_of(from_csr);
    expect_invariants(*from_csr);
    expect_equals_reference(*from_csr, ref);

    auto from_lists = build_from_adj_list(std::move(lists));
    ASSERT_TRUE(from_lists.ok()) << message_of(from_lists);
    expect_invariants(*from_lists);
    expect_equals_reference(*from_lists, ref);

    // The dense builder keeps exactly the non-zero sums.
    std::vector<double> dense(n * n, 0.0);
    Reference nonzero{n, {}};
    for (const auto& [ij, w] : ref.entries) {
      dense[ij.first * n + ij.second] = w;
      if (w != 0.0) nonzero.entries[ij] = w;
    }
    auto from_dense = build_from_dense(
        DenseView{dense.data(), n, n, static_cast<std::int64_t>(n), 1});
    ASSERT_TRUE(from_dense.ok());
    expect_invariants(*from_dense);
    expect_equals_reference(*from_dense, nonzero);

    auto sym = from_csr->make_undirected();
    ASSERT_TRUE(sym.ok()) << message_of(sym);
    expect_invariants(*sym);
    Reference want{n, {}};
    for (std::uint64_t i = 0; i < n; ++i) {
      for (std::uint64_t j = 0; j < n; ++j) {
        const double w = ref.at(i, j) + ref.at(j, i);
        if (w != 0.0) want.entries[{i, j}] = w;
      }
    }
    expect_equals_reference(*sym, want);
  }
}

// ---------------------------------------------------------------------------
// Symmetrization of a graph large enough to be cut into parts, with skewed
// degrees and columns (a few hubs), against a plain sequential sum and across
// worker counts, bit for bit.

// A + A^T row by row: each sum is A[i][j] + A[j][i], a missing side counted
// as +0.0 added to the present one, sums comparing equal to 0.0 dropped.
CsrMatrix sequential_sum(const CsrMatrix& a) {
  const std::uint64_t n = a.num_nodes;
  std::vector<std::vector<std::pair<std::uint64_t, double>>> columns(n);
  for (std::uint64_t r = 0; r < n; ++r) {
    for (std::uint64_t k = a.row_ptrs[r]; k < a.row_ptrs[r + 1]; ++k) {
      columns[a.col_indices[k]].emplace_back(r, a.values[k]);
    }
  }
  CsrMatrix out{{0}, {}, {}, n};
  for (std::uint64_t i = 0; i < n; ++i) {
    std::map<std::uint64_t, std::pair<const double*, const double*>> row;
    for (std::uint64_t k = a.row_ptrs[i]; k < a.row_ptrs[i + 1]; ++k) {
      row[a.col_indices[k]].first = &a.values[k];
    }
    for (const auto& [r, w] : columns[i]) row[r].second = &w;
    for (const auto& [j, sides] : row) {
      const auto [mine, theirs] = sides;
      const double w = mine && theirs ? *mine + *theirs
                       : mine         ? *mine + 0.0
                                      : *theirs + 0.0;
      if (w != 0.0) {
        out.col_indices.push_back(j);
        out.values.push_back(w);
      }
    }
    out.row_ptrs.push_back(out.col_indices.size());
  }
  return out;
}

void expect_identical(const CsrMatrix& got, const CsrMatrix& want) {
  EXPECT_EQ(got.num_nodes, want.num_nodes);
  EXPECT_EQ(got.row_ptrs, want.row_ptrs);
  EXPECT_EQ(got.col_indices, want.col_indices);
  ASSERT_EQ(got.values.size(), want.values.size());
  EXPECT_EQ(std::memcmp(got.values.data(), want.values.data(),
                        want.values.size() * sizeof(double)),
            0);
}

CsrMatrix skewed_graph(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  U64s rp{0};
  U64s cols;
  F64s vals;
  for (std::uint64_t i = 0; i < n; ++i) {
    // Mostly short rows, a few very long ones; columns crowd towards 0.
    const double u = unit(gen);
    const auto len = static_cast<std::uint64_t>(u < 0.002  ? 3000
                                                : u < 0.05 ? 60
                                                           : 8 * unit(gen));
    for (std::uint64_t e = 0; e < len; ++e) {
      const double x = unit(gen);
      cols.push_back(
          static_cast<std::uint64_t>(x * x * x * static_cast<double>(n)));
      // Integers from -2 to 2 cancel and sum to zeros; other weights are
      // inexact, so any change in the order of additions would show.
      const double pick = unit(gen);
      vals.push_back(pick < 0.3    ? std::floor(unit(gen) * 5.0) - 2.0
                     : pick < 0.31 ? (pick < 0.305 ? -0.0 : kNaN)
                                   : unit(gen) * 1e3 - 500.0);
    }
    rp.push_back(cols.size());
  }
  auto m = build_from_csr(std::move(rp), std::move(cols), std::move(vals), n);
  EXPECT_TRUE(m.ok());
  return std::move(m).value();
}

TEST(SymmetrizeWorkersTest, SameBitsForAnyWorkerCount) {
  const CsrMatrix graph = skewed_graph(20000, 7);
  ASSERT_GT(graph.col_indices.size(), 200000u);
  const CsrMatrix want = sequential_sum(graph);
  for (std::size_t workers : {1, 2, 7}) {
    SCOPED_TRACE(workers);
    detail::ScopedPool pool(workers);
    auto got = graph.make_undirected();
    ASSERT_TRUE(got.ok()) << message_of(got);
    expect_invariants(*got);
    expect_identical(*got, want);
  }
}

TEST(SymmetrizeWorkersTest, FirstFailingRowWinsForAnyWorkerCount) {
  const CsrMatrix graph = skewed_graph(20000, 11);
  // Rows with two or more entries, which can be broken either way.
  U64s rows;
  for (std::uint64_t i = 0; i < graph.num_nodes; ++i) {
    if (graph.row_ptrs[i + 1] - graph.row_ptrs[i] >= 2) rows.push_back(i);
  }
  ASSERT_GT(rows.size(), 10000u);
  const std::uint64_t last = rows.size() - 1;
  const std::uint64_t mid = rows.size() * 3 / 4;
  // Each case breaks some of those rows (index into `rows`, how): the first
  // in row order decides, and within a row sortedness comes before range.
  enum How { kOutOfRange, kUnsorted, kBoth };
  struct Case {
    std::vector<std::pair<std::uint64_t, How>> breaks;
    const char* detail;
  };
  const Case cases[] = {
      {{{last, kUnsorted}, {mid, kOutOfRange}, {mid + 1, kUnsorted}},
       "(out of range): Indice is larger than inner dimension"},
      {{{mid + 1, kOutOfRange}, {mid, kUnsorted}, {last, kOutOfRange}},
       "(unsorted): Indices are not sorted"},
      {{{last, kOutOfRange}, {mid, kBoth}, {3, kOutOfRange}},
       "(out of range): Indice is larger than inner dimension"},
      {{{last, kOutOfRange}, {mid, kBoth}},
       "(unsorted): Indices are not sorted"},
  };
  for (const Case& c : cases) {
    CsrMatrix bad = graph;
    for (auto [index, how] : c.breaks) {
      const std::uint64_t begin = bad.row_ptrs[rows[index]];
      const std::uint64_t end = bad.row_ptrs[rows[index] + 1];
      if (how != kOutOfRange) {
        std::swap(bad.col_indices[begin], bad.col_indices[begin + 1]);
      }
      if (how != kUnsorted) bad.col_indices[end - 1] = bad.num_nodes;
    }
    for (std::size_t workers : {1, 2, 7}) {
      SCOPED_TRACE(workers);
      detail::ScopedPool pool(workers);
      EXPECT_EQ(
          message_of(bad.make_undirected()),
          "Invalid CSR structure: Structure Error " + std::string(c.detail));
    }
  }
}

}  // namespace
}  // namespace velmar
