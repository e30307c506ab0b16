// Column blocks over the compact graph against the graph store's own run, and
// the checks of caller arrays.
#include "engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "algorithm.h"
#include "graph.h"
#include "kernels.h"
#include "pool.h"
#include "segments.h"
#include "tuning.h"

namespace velmar {
namespace {

struct Arrays {
  std::vector<std::int64_t> row_ptrs;
  std::vector<std::int32_t> cols;
  std::vector<double> values;
  std::uint64_t n = 0;

  CsrInput input() const {
    return {row_ptrs.data(),   IndexType::kInt64, cols.data(),
            IndexType::kInt32, values.data(),     n,
            cols.size()};
  }
};

// Sorted rows, a few negative and zero weights, some rows empty. With
// `hubs`, nodes divisible by 3 have no entries and no node links to them,
// and rows 1 and 2 link to every other node.
Arrays random_graph(std::uint64_t n, int degree, unsigned seed,
                    bool hubs = false) {
  std::mt19937_64 rng(seed);
  Arrays a;
  a.n = n;
  a.row_ptrs.push_back(0);
  for (std::uint64_t r = 0; r < n; ++r) {
    std::vector<std::int32_t> row;
    for (int k = 0; k < degree; ++k) {
      if (rng() % 5 == 0) continue;
      row.push_back(static_cast<std::int32_t>(rng() % n));
    }
    if (hubs) {
      if (r == 1 || r == 2) {
        for (std::uint64_t c = 0; c < n; ++c) {
          row.push_back(static_cast<std::int32_t>(c));
        }
      }
      std::erase_if(row,
                    [&](std::int32_t c) { return r % 3 == 0 || c % 3 == 0; });
    }
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
    for (auto c : row) {
      a.cols.push_back(c);
      a.values.push_back(static_cast<double>(rng() % 7) - 2.0);
    }
    a.row_ptrs.push_back(static_cast<std::int64_t>(a.cols.size()));
  }
  return a;
}

DenseMatrix reference(const Arrays& a, std::uint64_t dim,
                      const std::vector<double>& w, bool undirected) {
  std::vector<std::uint64_t> rp(a.row_ptrs.begin(), a.row_ptrs.end());
  std::vector<std::uint64_t> cols(a.cols.begin(), a.cols.end());
  auto g = build_from_csr(rp, cols, a.values, a.n);
  auto e = compute_velmar(g.value(), dim, w, 9, undirected);
  return std::move(e).value();
}

// How the graph's rows are stored (with a row map but the one of kNodes):
// in node order; as node 37 p mod n at position p, so that nearly every row
// is unsorted; or with the nodes of the first sixteenth swapped in pairs, so
// that a few rows are.
enum class Order { kNodes, kShuffled, kFewSwapped };

struct BlockCase {
  bool undirected;
  std::uint64_t j0, j1, block;
  std::size_t threads;
  Order order = Order::kNodes;
  std::uint64_t segment_rows = 0;  // EmbedSettings::segment_rows; 0: none
  bool hubs = false;               // random_graph's hubs and empty rows
  // Centred steps, against a run of every column on one worker in node
  // order (their bits against NumPy: tests/test_bench_reference.py).
  bool center = false;
};

// The graph's rows in another order, each keeping its entries in order with
// columns renamed to the new positions.
struct Reordered {
  std::vector<std::uint64_t> order;
  std::vector<std::int64_t> row_ptrs{0};
  std::vector<std::uint32_t> cols;
  std::vector<float> scales;
};

Reordered reorder(const GraphView& g, Order order) {
  const std::uint64_t n = g.num_nodes();
  Reordered out;
  std::vector<std::uint64_t> position(n);
  for (std::uint64_t p = 0; p < n; ++p) {
    out.order.push_back(order == Order::kShuffled ? p * 37 % n
                        : p < n / 32 * 2          ? p ^ 1
                                                  : p);
    position[out.order.back()] = p;
  }
  for (const std::uint64_t r : out.order) {
    for (std::uint64_t k = g.row_ptrs()[r]; k < g.row_ptrs()[r + 1]; ++k) {
      const std::uint64_t c =
          g.narrow_cols() != nullptr ? g.narrow_cols()[k] : g.wide_cols()[k];
      out.cols.push_back(static_cast<std::uint32_t>(position[c]));
      out.scales.push_back(g.scales()[k]);
    }
    out.row_ptrs.push_back(static_cast<std::int64_t>(out.cols.size()));
  }
  return out;
}

class ColumnBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(ColumnBlocks, EqualTheSameColumnsOfTheFullRun) {
  const BlockCase c = GetParam();
  const std::uint64_t dim = 20;
  const std::vector<double> w{0.5, 0.0, 1.0, -0.25};
  const Arrays a = random_graph(700, 9, 4, c.hubs);
  auto built = build_compact(a.input(), BuildOptions{c.undirected}, nullptr);
  ASSERT_TRUE(built.ok());
  const CompactGraph& g = built.value();
  DenseMatrix full;
  if (c.center) {
    detail::ScopedPool one(1);
    full = DenseMatrix::zeros(a.n, dim).value();
    EmbedSettings whole{w, 9, 0, dim, dim, dim};
    whole.step_center = true;
    whole.segment_rows = a.n;
    ASSERT_TRUE(
        embed_columns(g.view(), whole, {full.row(0), dim}, nullptr).ok());
  } else {
    full = reference(a, dim, w, c.undirected);
  }

  detail::ScopedPool pool(c.threads);
  const std::uint64_t width = c.j1 - c.j0;
  std::vector<float> out(a.n * (width + 3), -1.0f);  // a wider caller array
  EmbedSettings settings{w, 9, c.j0, c.j1, c.block, dim};
  settings.step_center = c.center;
  settings.segment_rows = c.segment_rows != 0 ? c.segment_rows : a.n;
  GraphView view = g.view();
  const bool reordered = c.order != Order::kNodes;
  const Reordered stored = reordered ? reorder(view, c.order) : Reordered{};
  if (reordered) {
    auto opened = view_compact({stored.row_ptrs.data(), stored.cols.data(),
                                IndexType::kUInt32, stored.scales.data(), a.n,
                                stored.cols.size(), stored.order.data()});
    ASSERT_TRUE(opened.ok());
    view = opened.value();
  }
  const Status s =
      embed_columns(view, settings, {out.data() + 1, width + 3}, nullptr);
  ASSERT_TRUE(s.ok());
  for (std::uint64_t r = 0; r < a.n; ++r) {
    EXPECT_EQ(std::memcmp(out.data() + 1 + r * (width + 3), full.row(r) + c.j0,
                          width * sizeof(float)),
              0)
        << "row " << r;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Splits, ColumnBlocks,
    ::testing::Values(
        BlockCase{true, 0, 20, 20, 1}, BlockCase{true, 0, 20, 1, 3},
        BlockCase{true, 0, 20, 7, 2}, BlockCase{true, 5, 13, 3, 2},
        BlockCase{true, 19, 20, 1, 1}, BlockCase{false, 0, 20, 6, 2},
        BlockCase{false, 2, 11, 4, 1},
        BlockCase{true, 0, 20, 7, 2, Order::kShuffled},
        BlockCase{false, 5, 13, 3, 1, Order::kShuffled},
        // Segmented: every column a segment; two segments
        // cutting most rows; one segment (none).
        BlockCase{true, 0, 20, 20, 2, Order::kNodes, 1},
        BlockCase{true, 0, 20, 7, 3, Order::kNodes, 64},
        BlockCase{false, 5, 13, 3, 2, Order::kNodes, 350},
        BlockCase{true, 0, 20, 20, 1, Order::kNodes, 700},
        BlockCase{true, 0, 20, 6, 2, Order::kNodes, 7, true},
        BlockCase{false, 0, 20, 20, 3, Order::kNodes, 64, true},
        // Unsorted rows: nearly all (not segmented), a few
        // (taken whole in segment 0).
        BlockCase{true, 0, 20, 7, 2, Order::kShuffled, 64},
        BlockCase{true, 0, 20, 20, 2, Order::kFewSwapped, 7},
        BlockCase{false, 2, 11, 4, 3, Order::kFewSwapped, 100, true},
        // Centred: blocks, workers, segments and row orders.
        BlockCase{true, 0, 20, 7, 2, Order::kNodes, 0, true, true},
        BlockCase{false, 5, 13, 3, 3, Order::kShuffled, 0, true, true},
        BlockCase{true, 0, 20, 20, 2, Order::kFewSwapped, 64, true, true}));

struct SegmentCase {
  bool hubs;
  Order order;
  std::uint64_t segment_rows;
  bool segmented;  // false: build_segments declines
};

class Segments : public ::testing::TestWithParam<SegmentCase> {};

// Every row's pieces, taken segment by segment, hold its entries once each
// in stored order, the first and the last flagged; each segment's pieces
// are in row order and their columns inside it, but for rows taken whole.
TEST_P(Segments, HoldEveryEntryOnceInStoredOrder) {
  const SegmentCase c = GetParam();
  const Arrays a = random_graph(700, 9, 4, c.hubs);
  auto built = build_compact(a.input(), BuildOptions{}, nullptr);
  GraphView view = built->view();
  const Reordered stored = reorder(view, c.order);
  view = view_compact({stored.row_ptrs.data(), stored.cols.data(),
                       IndexType::kUInt32, stored.scales.data(), a.n,
                       stored.cols.size()})
             .value();
  auto segmented = build_segments(view, c.segment_rows, nullptr);
  ASSERT_TRUE(segmented.ok());
  const SegmentView& v = segmented->view();
  ASSERT_EQ(v.num_segments != 0, c.segmented);
  if (!c.segmented) return;
  std::vector<std::vector<std::pair<std::uint32_t, float>>> rows(a.n);
  std::vector<int> pieces(a.n, 0);
  for (std::uint64_t g = 0; g < v.num_segments; ++g) {
    for (std::uint64_t i = v.segment_begin[g]; i < v.segment_begin[g + 1];
         ++i) {
      const std::uint32_t r = v.narrow_rows[i];
      if (i > v.segment_begin[g]) {
        EXPECT_LT(v.narrow_rows[i - 1], r);
      }
      const std::uint64_t b = v.starts[i] & kPieceEntries;
      const std::uint64_t e = v.starts[i + 1] & kPieceEntries;
      const bool whole = (v.starts[i] & kFirstPiece) != 0 &&
                         (v.starts[i] & kLastPiece) != 0 && g == 0;
      EXPECT_EQ((v.starts[i] & kFirstPiece) != 0, pieces[r] == 0) << r;
      EXPECT_EQ((v.starts[i] & kLastPiece) != 0,
                static_cast<std::int64_t>(rows[r].size() + (e - b)) ==
                    stored.row_ptrs[r + 1] - stored.row_ptrs[r])
          << r;
      for (std::uint64_t k = b; k < e; ++k) {
        if (!whole) {
          EXPECT_EQ(v.narrow_cols[k] / c.segment_rows, g);
        }
        rows[r].emplace_back(v.narrow_cols[k], v.scales[k]);
      }
      ++pieces[r];
    }
  }
  for (std::uint64_t r = 0; r < a.n; ++r) {
    EXPECT_GE(pieces[r], 1) << r;
    std::vector<std::pair<std::uint32_t, float>> want;
    for (auto k = stored.row_ptrs[r]; k < stored.row_ptrs[r + 1]; ++k) {
      want.emplace_back(stored.cols[k], stored.scales[k]);
    }
    EXPECT_EQ(rows[r], want) << r;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, Segments,
    ::testing::Values(SegmentCase{false, Order::kNodes, 64, true},
                      SegmentCase{true, Order::kNodes, 7, true},
                      SegmentCase{false, Order::kNodes, 1, true},
                      SegmentCase{true, Order::kFewSwapped, 7, true},
                      SegmentCase{false, Order::kShuffled, 64, false},
                      SegmentCase{false, Order::kNodes, 700, false}));

struct BadInput {
  std::vector<std::int64_t> row_ptrs;
  std::vector<std::int32_t> cols;
  const char* message;
};

class CallerArrays : public ::testing::TestWithParam<BadInput> {};

TEST_P(CallerArrays, AreCheckedOnce) {
  const BadInput& c = GetParam();
  const std::vector<double> values(c.cols.size(), 1.0);
  const CsrInput in{c.row_ptrs.data(), IndexType::kInt64, c.cols.data(),
                    IndexType::kInt32, values.data(),     c.row_ptrs.size() - 1,
                    c.cols.size()};
  auto built = build_compact(in, BuildOptions{}, nullptr);
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(render(built.error()), std::string("Shape mismatch: ") + c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CallerArrays,
    ::testing::Values(
        BadInput{{1, 1}, {}, "row_ptrs[0] must be 0, got 1"},
        BadInput{{0, 2, 1},
                 {0, 1},
                 "row_ptrs must be non-decreasing, found 2 followed by 1 at "
                 "position 2"},
        BadInput{
            {0, 1, 3},
            {0, 1},
            "row_ptrs last element (3) must equal the number of entries (2)"},
        BadInput{{0, 1, 2},
                 {0, -4},
                 "col_indices[1] = -4 is out of bounds for graph with 2 nodes"},
        BadInput{{0, 2, 2},
                 {1, 2},
                 "col_indices[1] = 2 is out of bounds for graph with 2 nodes"},
        // A later column out of range is found even after an unsorted row.
        BadInput{
            {0, 2, 3},
            {1, 0, 5},
            "col_indices[2] = 5 is out of bounds for graph with 2 nodes"}));

// Entries in any order, through each input form: every builder sorts and
// sums through the same code, so the compact graph holds exactly the
// entries of the graph store's normalised matrix (made undirected when
// asked), each scaled by float32(w) * (1 / float32(degree)).
struct Entries {
  std::uint64_t n;
  std::vector<std::int64_t> rows;  // entry k is (rows[k], cols[k], values[k])
  std::vector<std::int32_t> cols;
  std::vector<double> values;
};

Entries long_row() {
  // 30 entries in row 1, columns descending with every third repeated: past
  // any short-row special case.
  Entries e{12, {}, {}, {}};
  for (int k = 0; k < 30; ++k) {
    e.rows.push_back(1);
    e.cols.push_back(11 - (k % 12));
    e.values.push_back(0.1 * k - 1.0);
  }
  e.rows.push_back(0);
  e.cols.push_back(3);
  e.values.push_back(2.0);
  return e;
}

struct SortCase {
  Entries entries;
  bool undirected;
  bool coo;
};

class EntriesInAnyOrder : public ::testing::TestWithParam<SortCase> {};

TEST_P(EntriesInAnyOrder, BuildTheGraphStoresMatrix) {
  const SortCase& c = GetParam();
  const Entries& e = c.entries;
  // The graph store's matrix: row pointers of the entries grouped by row in
  // their given order, then build_from_csr's normalisation.
  std::vector<std::uint64_t> order(e.rows.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [&](auto a, auto b) { return e.rows[a] < e.rows[b]; });
  std::vector<std::uint64_t> rp(e.n + 1, 0);
  std::vector<std::uint64_t> cols;
  std::vector<std::int32_t> cols32;
  std::vector<std::int64_t> rp64(e.n + 1, 0);
  std::vector<double> vals;
  for (const auto k : order) {
    ++rp[static_cast<std::uint64_t>(e.rows[k]) + 1];
    cols.push_back(static_cast<std::uint64_t>(e.cols[k]));
    cols32.push_back(e.cols[k]);
    vals.push_back(e.values[k]);
  }
  for (std::uint64_t r = 0; r < e.n; ++r) rp[r + 1] += rp[r];
  for (std::uint64_t r = 0; r <= e.n; ++r) {
    rp64[r] = static_cast<std::int64_t>(rp[r]);
  }
  CsrMatrix m = build_from_csr(rp, cols, vals, e.n).value();
  if (c.undirected) m = m.make_undirected().value();

  const BuildOptions options{c.undirected, true};
  auto built =
      c.coo ? build_compact(CooInput{e.rows.data(), IndexType::kInt64,
                                     e.cols.data(), IndexType::kInt32,
                                     e.values.data(), e.n, e.rows.size()},
                            options, nullptr)
            : build_compact(
                  CsrInput{rp64.data(), IndexType::kInt64, cols32.data(),
                           IndexType::kInt32, vals.data(), e.n, cols32.size()},
                  options, nullptr);
  ASSERT_TRUE(built.ok()) << render(built.error());
  const GraphView& g = built->view();
  ASSERT_EQ(g.num_entries(), m.col_indices.size());
  for (std::uint64_t r = 0; r <= e.n; ++r) {
    ASSERT_EQ(g.row_ptrs()[r], m.row_ptrs[r]) << "row " << r;
  }
  for (std::uint64_t r = 0; r < e.n; ++r) {
    const std::uint64_t b = m.row_ptrs[r];
    const std::uint64_t end = m.row_ptrs[r + 1];
    for (std::uint64_t k = b; k < end; ++k) {
      const float t = static_cast<float>(m.values[k]) *
                      (1.0f / static_cast<float>(end - b));
      EXPECT_EQ(g.narrow_cols()[k], m.col_indices[k]) << k;
      EXPECT_EQ(std::memcmp(&g.scales()[k], &t, sizeof t), 0) << k;
      EXPECT_EQ(std::memcmp(&built->values()[k], &m.values[k], 8), 0) << k;
    }
  }

  // The same entries as a graph larger than memory gets them: sorted
  // elsewhere by (row, column, side, order read), then merged and scaled.
  std::vector<std::tuple<std::int64_t, std::int64_t, int, std::size_t>> keys;
  for (std::size_t k = 0; k < e.rows.size(); ++k) {
    keys.emplace_back(e.rows[k], e.cols[k], 0, k);
    if (c.undirected) keys.emplace_back(e.cols[k], e.rows[k], 1, k);
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::int64_t> r, col, side;
  std::vector<double> w;
  for (const auto& [kr, kc, ks, k] : keys) {
    r.push_back(kr);
    col.push_back(kc);
    side.push_back(ks);
    w.push_back(e.values[k]);
  }
  const std::uint64_t merged = merge_sorted(r.data(), col.data(), side.data(),
                                            w.data(), r.size(), c.undirected);
  ASSERT_EQ(merged, m.col_indices.size());
  std::vector<std::int64_t> pointers(e.n + 1, 0);
  for (std::uint64_t k = 0; k < merged; ++k) {
    ++pointers[static_cast<std::uint64_t>(r[k]) + 1];
    EXPECT_EQ(static_cast<std::uint64_t>(col[k]), m.col_indices[k]) << k;
    EXPECT_EQ(std::memcmp(&w[k], &m.values[k], 8), 0) << k;
  }
  for (std::uint64_t i = 0; i < e.n; ++i) pointers[i + 1] += pointers[i];
  std::vector<float> scales(merged);
  entry_scales(pointers.data(), e.n, w.data(), scales.data());
  // An empty graph has no scales to compare (and may hold no array).
  if (merged > 0) {
    EXPECT_EQ(std::memcmp(scales.data(), g.scales(), merged * sizeof(float)),
              0);
  }
}

const Entries kDuplicates{4,
                          {2, 0, 2, 2, 0, 3, 2, 1},
                          {1, 3, 0, 1, 3, 3, 1, 0},
                          {0.5, 1.0, -2.0, 0.25, -1.0, 4.0, 1e-17, 7.0}};
const Entries kCancelling{3, {0, 1, 0}, {1, 0, 2}, {1.0, -1.0, 0.0}};
const Entries kNaNWeight{3,
                         {1, 1, 0},
                         {2, 2, 1},
                         {std::numeric_limits<double>::quiet_NaN(), 1.0, 2.0}};

INSTANTIATE_TEST_SUITE_P(
    Forms, EntriesInAnyOrder,
    ::testing::Values(
        SortCase{kDuplicates, false, false}, SortCase{kDuplicates, true, true},
        SortCase{kDuplicates, false, true}, SortCase{kCancelling, true, false},
        SortCase{kCancelling, false, true}, SortCase{kNaNWeight, true, true},
        SortCase{long_row(), false, false}, SortCase{long_row(), true, true},
        SortCase{Entries{3, {}, {}, {}}, true, true}),
    [](const ::testing::TestParamInfo<SortCase>& info) {
      return "case" + std::to_string(info.index);
    });

TEST(EntriesInAnyOrder, AreCheckedWhateverTheirOrder) {
  const std::vector<std::int64_t> rows{0, 5, 1};
  const std::vector<std::int32_t> cols{1, 0, 9};
  const std::vector<double> values(3, 1.0);
  auto bad_row =
      build_compact(CooInput{rows.data(), IndexType::kInt64, cols.data(),
                             IndexType::kInt32, values.data(), 3, 3},
                    BuildOptions{}, nullptr);
  ASSERT_FALSE(bad_row.ok());
  EXPECT_EQ(
      render(bad_row.error()),
      "Shape mismatch: rows[1] = 5 is out of bounds for graph with 3 nodes");
  auto bad_col =
      build_compact(CooInput{rows.data(), IndexType::kInt64, cols.data(),
                             IndexType::kInt32, values.data(), 6, 3},
                    BuildOptions{}, nullptr);
  ASSERT_FALSE(bad_col.ok());
  EXPECT_EQ(render(bad_col.error()),
            "Shape mismatch: col_indices[2] = 9 is out of bounds for graph "
            "with 6 nodes");
}

// Options and features the engine refuses before it allocates anything, on
// a graph of three nodes with dim 4.
struct BadOption {
  std::uint64_t j0, block, feature_dim;
  std::vector<std::int64_t> row_ptrs;  // empty: dense features
  std::vector<std::int64_t> cols;
  std::vector<float> values;  // dense: 3 rows of 2
  const char* message;
};

class OptionErrors : public ::testing::TestWithParam<BadOption> {};

TEST_P(OptionErrors, AreInvalidInput) {
  const BadOption& c = GetParam();
  const Arrays a = random_graph(3, 2, 1);
  auto built = build_compact(a.input(), BuildOptions{}, nullptr);
  const CompactGraph& g = built.value();
  FeatureInput x{2, c.feature_dim};
  if (c.row_ptrs.empty()) {
    x.dense = c.values.data();
    x.dense_stride = 2;
  } else {
    x.row_ptrs = c.row_ptrs.data();
    x.col_indices = c.cols.data();
    x.values = c.values.data();
    x.num_entries = c.values.size();
  }
  const std::vector<double> w{1.0, 1.0};
  EmbedSettings s{w, 1, c.j0, 4, c.block, 4};
  s.step_normalize = c.feature_dim == 0;
  s.features = c.feature_dim == 0 ? nullptr : &x;
  std::vector<float> out(12);
  const Status st = embed_columns(g.view(), s, {out.data(), 4}, nullptr);
  ASSERT_FALSE(st.ok());
  ASSERT_TRUE(std::holds_alternative<InvalidInput>(st.error().kind));
  EXPECT_EQ(render(st.error()), c.message);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr char kWrongColumns[] =
    "features: the columns of row 1 must be below the number of features "
    "and strictly increase";

INSTANTIATE_TEST_SUITE_P(
    Errors, OptionErrors,
    ::testing::Values(
        BadOption{0,
                  3,
                  0,
                  {},
                  {},
                  {},
                  "step normalisation couples the columns: it needs all 4 "
                  "columns in one block"},
        BadOption{1,
                  4,
                  0,
                  {},
                  {},
                  {},
                  "step normalisation couples the columns: it needs all 4 "
                  "columns in one block"},
        BadOption{0,
                  4,
                  5,
                  {},
                  {},
                  std::vector<float>(6),
                  "feature_dim must be between 1 and dim (4), got 5"},
        BadOption{
            0,
            4,
            2,
            {},
            {},
            {0, 1, 2, kNaN, 4, 5},
            "features must be finite as 32-bit floats; row 1, column 1 is not"},
        BadOption{0, 4, 2, {0, 1, 3, 3}, {0, 1, 1}, {1, 2, 3}, kWrongColumns},
        BadOption{0, 4, 2, {0, 1, 2, 3}, {0, 2, 0}, {1, 2, 3}, kWrongColumns},
        BadOption{0,
                  4,
                  2,
                  {0, 1, 2, 2},
                  {0, 1, 0},
                  {1, 2, 3},
                  "features: row pointers must start at 0 and end at the "
                  "number of entries"}),
    [](const ::testing::TestParamInfo<BadOption>& info) {
      return "case" + std::to_string(info.index);
    });

// The machine model's choices in units of R, the rows of half the cache's
// worth of 64-column rows, and the variables that force them.
struct TuningCase {
  const char* variable;  // set to `value` for the case, or null
  const char* value;
  std::uint64_t n_per_r, n_per_r_divisor, degree, width, columns;
  std::uint64_t rows_per_r;  // 0: none (n), 1: R; otherwise rows as given
  std::uint64_t block;
};

class Tuning : public ::testing::TestWithParam<TuningCase> {};

void set_variable(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

TEST_P(Tuning, ChoosesBlocksAndSegments) {
  const TuningCase& c = GetParam();
  const std::uint64_t r = cache_bytes() / 2 / (4 * 64);
  const std::uint64_t n = r * c.n_per_r / c.n_per_r_divisor;
  if (c.variable != nullptr) set_variable(c.variable, c.value);
  const std::uint64_t rows = segment_rows_for(n, c.degree * n, c.width);
  const std::uint64_t block = preferred_block(n, c.columns);
  if (c.variable != nullptr) set_variable(c.variable, nullptr);
  EXPECT_EQ(rows, c.rows_per_r == 0 ? n : c.rows_per_r == 1 ? r : c.rows_per_r);
  EXPECT_EQ(block, c.block);
}

INSTANTIATE_TEST_SUITE_P(
    Model, Tuning,
    ::testing::Values(
        // Four segments pay at 16 entries per row, not at 8; sixteen do not.
        TuningCase{nullptr, nullptr, 4, 1, 16, 64, 128, 1, 64},
        TuningCase{nullptr, nullptr, 4, 1, 8, 64, 128, 0, 64},
        TuningCase{nullptr, nullptr, 16, 1, 16, 64, 500, 0, 64},
        // A working matrix that fits: one block, no segments.
        TuningCase{nullptr, nullptr, 1, 2, 16, 64, 64, 0, 64},
        TuningCase{nullptr, nullptr, 1, 8, 16, 64, 128, 0, 128},
        TuningCase{"VELMAR_SEGMENT_ROWS", "off", 4, 1, 16, 64, 128, 0, 64},
        TuningCase{"VELMAR_SEGMENT_ROWS", "7", 1, 8, 16, 64, 128, 7, 128},
        TuningCase{"VELMAR_SEGMENT_ROWS", "0", 4, 1, 16, 64, 128, 1, 64},
        TuningCase{"VELMAR_SEGMENT_ROWS", "7x", 4, 1, 16, 64, 128, 1, 64},
        TuningCase{"VELMAR_BLOCK_COLUMNS", "16", 16, 1, 16, 64, 128, 0, 16},
        TuningCase{"VELMAR_BLOCK_COLUMNS", "500", 16, 1, 16, 64, 128, 0, 128},
        TuningCase{"VELMAR_BLOCK_COLUMNS", "off", 1, 8, 16, 64, 96, 0, 96}));

TEST(L2NormalizeRow, SumsEightLanesInFloat64) {
  // 3-4-12-84 gives length 85; the zero row stays as it is.
  const std::vector<float> h{3, 0, 0, 0, 0, 0, 0, 0, 4, 0, 12, 84};
  std::vector<float> row = h;
  detail::l2_normalize_row(row.data(), row.size());
  for (std::size_t j = 0; j < row.size(); ++j) {
    EXPECT_EQ(row[j], static_cast<float>(h[j] * (1.0 / 85.0))) << j;
  }
  std::vector<float> zero(9, 0.0f);
  detail::l2_normalize_row(zero.data(), zero.size());
  EXPECT_EQ(zero, std::vector<float>(9, 0.0f));
}

TEST(RunControl, ACancelledRunStopsWithCancelled) {
  const Arrays a = random_graph(2000, 8, 5);
  auto built = build_compact(a.input(), BuildOptions{}, nullptr);
  const CompactGraph& g = built.value();
  std::vector<float> out(a.n * 8);
  const std::vector<double> w{1.0, 1.0};
  RunControl control;
  control.cancel.raised = true;
  const Status s =
      embed_columns(g.view(), {w, 1, 0, 8, 8}, {out.data(), 8}, &control);
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(s.error().is_cancelled());
}

}  // namespace
}  // namespace velmar
