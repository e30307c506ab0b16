// The compact graph's builders under cancellation: a build stopped at any
// moment returns Cancelled, never a partly built graph as if it were whole.
#include "graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "builder.h"
#include "pool.h"

namespace velmar {
namespace {

struct Path {
  const char* name;
  bool coo;       // entries one per row index, in any order
  bool unsorted;  // CSR rows whose columns need sorting
  bool undirected;
};

// About 10^6 entries with duplicates, rows in random order for COO.
struct Input {
  std::uint64_t n = 60000;
  std::vector<std::int64_t> rows, row_ptrs;
  std::vector<std::int32_t> cols;
  std::vector<double> values;

  explicit Input(const Path& p) {
    std::mt19937_64 rng(7);
    row_ptrs.push_back(0);
    for (std::uint64_t r = 0; r < n; ++r) {
      const std::uint64_t degree = rng() % 33;
      std::vector<std::int32_t> row;
      for (std::uint64_t k = 0; k < degree; ++k) {
        row.push_back(static_cast<std::int32_t>(rng() % n));
      }
      if (!p.unsorted) {
        std::sort(row.begin(), row.end());
        row.erase(std::unique(row.begin(), row.end()), row.end());
      }
      for (auto c : row) {
        rows.push_back(static_cast<std::int64_t>(r));
        cols.push_back(c);
        values.push_back(static_cast<double>(rng() % 9) - 4.0);
      }
      row_ptrs.push_back(static_cast<std::int64_t>(cols.size()));
    }
    if (p.coo) std::shuffle(rows.begin(), rows.end(), rng);
  }

  Result<CompactGraph> build(const Path& p, const CancelFlag* cancel) const {
    const BuildOptions options{p.undirected, false};
    if (p.coo) {
      return build_compact(
          CooInput{rows.data(), IndexType::kInt64, cols.data(),
                   IndexType::kInt32, values.data(), n, cols.size()},
          options, cancel);
    }
    return build_compact(
        CsrInput{row_ptrs.data(), IndexType::kInt64, cols.data(),
                 IndexType::kInt32, values.data(), n, cols.size()},
        options, cancel);
  }
};

bool same(const GraphView& a, const GraphView& b) {
  const std::uint64_t m = a.num_entries();
  return a.num_nodes() == b.num_nodes() && m == b.num_entries() &&
         std::memcmp(a.row_ptrs(), b.row_ptrs(), 8 * (a.num_nodes() + 1)) ==
             0 &&
         std::memcmp(a.scales(), b.scales(), 4 * m) == 0 &&
         (a.narrow_cols() != nullptr
              ? std::memcmp(a.narrow_cols(), b.narrow_cols(), 4 * m)
              : std::memcmp(a.wide_cols(), b.wide_cols(), 8 * m)) == 0;
}

class CancelledBuild : public ::testing::TestWithParam<Path> {};

TEST_P(CancelledBuild, IsCancelledOrWhole) {
  const Path& p = GetParam();
  const Input input(p);
  auto whole = input.build(p, nullptr);
  ASSERT_TRUE(whole.ok());
  int cancelled = 0;
  // The flag raised at moments spread over the build, the first before it.
  for (int micros : {0, 100, 300, 1000, 3000, 10000, 30000, 100000}) {
    CancelFlag flag;
    if (micros == 0) flag.raised = true;
    std::thread raiser([&flag, micros] {
      std::this_thread::sleep_for(std::chrono::microseconds(micros));
      flag.raised = true;
    });
    auto built = input.build(p, &flag);
    raiser.join();
    if (built.ok()) {
      EXPECT_TRUE(same(built.value().view(), whole.value().view())) << micros;
    } else {
      EXPECT_TRUE(built.error().is_cancelled()) << render(built.error());
      ++cancelled;
    }
  }
  EXPECT_GE(cancelled, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CancelledBuild,
    ::testing::Values(Path{"SortedRowsUndirected", false, false, true},
                      Path{"UnsortedRowsUndirected", false, true, true},
                      Path{"UnsortedRowsDirected", false, true, false},
                      Path{"EntriesUndirected", true, true, true},
                      Path{"EntriesDirected", true, true, false}),
    [](const ::testing::TestParamInfo<Path>& info) {
      return std::string(info.param.name);
    });

// The pages of fresh memory are faulted in before a scatter, one write per
// 4 KiB, with a look at the flag at most every kTouchPages pages: on one
// worker, the pages written between two looks are counted from the memory.
TEST(FirstTouch, WritesEveryPageAndLooksBetweenPieces) {
  detail::ScopedPool one(1);
  const std::uint64_t per_page = 4096 / sizeof(double);
  for (const std::uint64_t count : {std::uint64_t{1}, per_page, per_page + 1,
                                    3 * detail::kTouchPages * per_page + 5}) {
    std::vector<double> memory(count, -1.0);
    std::uint64_t looks = 0, last = 0;
    const auto touched = [&] {
      return static_cast<std::uint64_t>(
          std::count(memory.begin(), memory.end(), 0.0));
    };
    detail::first_touch(memory.data(), count, [&] {
      const std::uint64_t now = touched();
      EXPECT_LE(now - last, detail::kTouchPages) << count;
      last = now;
      ++looks;
      return false;
    });
    const std::uint64_t pages = (count + per_page - 1) / per_page;
    EXPECT_EQ(touched(), pages) << count;
    for (std::uint64_t q = 0; q < pages; ++q) {
      ASSERT_EQ(memory[q * per_page], 0.0) << count << " page " << q;
    }
    EXPECT_GE(looks, (pages + detail::kTouchPages - 1) / detail::kTouchPages);
    // Stopped at the first look: nothing is written.
    std::vector<double> untouched(count, -1.0);
    detail::first_touch(untouched.data(), count, [] { return true; });
    EXPECT_EQ(std::count(untouched.begin(), untouched.end(), 0.0), 0) << count;
  }
}

}  // namespace
}  // namespace velmar
