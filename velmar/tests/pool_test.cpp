// Worker pool: coverage of every index, exceptions, concurrent and nested
// submission, fork() safety and the worker-count rule.
#include "pool.h"

#include "cpu_count.h"

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <process.h>
#include <stdlib.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmar {
namespace {

using detail::ScopedPool;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Runs one loop and checks that every index is visited exactly once, by
// blocks of at least `grain` indices except the last.
void expect_exact_cover(std::uint64_t begin, std::uint64_t end,
                        std::uint64_t grain) {
  std::vector<std::atomic<int>> hits(end - begin);
  std::atomic<bool> short_block{false};
  parallel_for(begin, end, grain, [&](std::uint64_t lo, std::uint64_t hi) {
    if (lo >= hi || lo < begin || hi > end) std::abort();
    if (hi - lo < grain && hi != end) short_block = true;
    for (std::uint64_t i = lo; i < hi; ++i) hits[i - begin].fetch_add(1);
  });
  for (std::size_t i = 0; i < hits.size(); ++i) {
    ASSERT_EQ(hits[i].load(), 1) << "index " << begin + i;
  }
  EXPECT_FALSE(short_block.load());
}

struct CoverCase {
  std::uint64_t begin, end, grain;
};

class PoolCover : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolCover, EveryIndexOnce) {
  ScopedPool pool(GetParam());
  EXPECT_EQ(num_threads(), GetParam());
  const CoverCase cases[] = {
      {0, 0, 1},       {7, 7, 1},      {0, 1, 1},      {0, 2, 1},
      {0, 7, 0},       {3, 100, 1},    {0, 97, 5},     {11, 1020, 64},
      {0, 1009, 2000}, {0, 100003, 1}, {0, 100003, 7}, {5, 65541, 1000},
      {1, 262147, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "[" << c.begin << ", " << c.end << ") grain " << c.grain);
    expect_exact_cover(c.begin, c.end, c.grain);
  }
}

// Blocks near 2^64 must not overflow their bounds.
TEST_P(PoolCover, RangeAtTopOfIndexSpace) {
  ScopedPool pool(GetParam());
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::mutex mu;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
  parallel_for(0, kMax, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    std::lock_guard lock(mu);
    blocks.emplace_back(lo, hi);
  });
  std::sort(blocks.begin(), blocks.end());
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.front().first, 0u);
  EXPECT_EQ(blocks.back().second, kMax);
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    EXPECT_LT(blocks[i].first, blocks[i].second);
    EXPECT_EQ(blocks[i].second, blocks[i + 1].first);
  }
  expect_exact_cover(kMax - 1000, kMax, 3);
}

INSTANTIATE_TEST_SUITE_P(Workers, PoolCover, ::testing::Values(1, 2, 3, 8));

TEST(Pool, GlobalPoolCoversAndCountsWorkers) {
  EXPECT_GE(num_threads(), 1u);
  expect_exact_cover(0, 100003, 1);
}

TEST(PoolScoped, NestedScopesRestoreThePreviousPool) {
  const std::size_t global = num_threads();
  {
    ScopedPool outer(3);
    {
      ScopedPool inner(0);  // asks for nothing, gets the calling thread
      EXPECT_EQ(num_threads(), 1u);
    }
    EXPECT_EQ(num_threads(), 3u);
  }
  EXPECT_EQ(num_threads(), global);
}

class PoolErrors : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PoolErrors, FirstExceptionReachesTheSubmitter) {
  ScopedPool pool(GetParam());
  for (int round = 0; round < 20; ++round) {
    try {
      parallel_for(0, 10000, 1, [](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t i = lo; i < hi; ++i) {
          if (i == 4321) throw std::runtime_error("row 4321");
        }
      });
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "row 4321");
    }
  }
  // Every block throws; exactly one exception comes back, of any type.
  EXPECT_THROW(
      parallel_for(0, 5000, 1, [](std::uint64_t, std::uint64_t) { throw 7; }),
      int);
  expect_exact_cover(0, 50000, 1);
}

INSTANTIATE_TEST_SUITE_P(Workers, PoolErrors, ::testing::Values(1, 2, 8));

TEST(PoolErrors, NoBlockStartsAfterAFailureOnOneWorker) {
  ScopedPool pool(1);
  int blocks = 0;
  EXPECT_THROW(parallel_for(0, 1000, 1,
                            [&](std::uint64_t, std::uint64_t) {
                              ++blocks;
                              throw std::logic_error("first");
                            }),
               std::logic_error);
  EXPECT_EQ(blocks, 1);
}

TEST(PoolErrors, GlobalPoolWorksAfterAnException) {
  EXPECT_THROW(parallel_for(0, 100000, 1,
                            [](std::uint64_t lo, std::uint64_t) {
                              if (lo == 0) throw std::runtime_error("x");
                            }),
               std::runtime_error);
  expect_exact_cover(0, 100000, 1);
}

// Several submitters share one pool; each also works on its own loop.
void hammer(int loops, std::atomic<int>& failures) {
  for (int round = 0; round < loops; ++round) {
    const std::uint64_t n = 1000 + static_cast<std::uint64_t>(round) * 37;
    std::vector<std::uint64_t> out(n, 0);
    parallel_for(0, n, 1, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t i = lo; i < hi; ++i) out[i] = i * i;
    });
    for (std::uint64_t i = 0; i < n; ++i) {
      if (out[i] != i * i) ++failures;
    }
  }
}

TEST(PoolConcurrency, SeveralThreadsSubmitAtOnce) {
  std::atomic<int> failures{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < 4; ++t) {
    submitters.emplace_back([&] { hammer(50, failures); });
  }
  for (auto& t : submitters) t.join();
  EXPECT_EQ(failures.load(), 0);
}

void nested_sum_check(std::uint64_t outer) {
  std::vector<std::uint64_t> sums(outer, 0);
  parallel_for(0, outer, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) {
      std::vector<std::uint64_t> part(500, 0);
      parallel_for(0, 500, 1, [&](std::uint64_t a, std::uint64_t b) {
        for (std::uint64_t j = a; j < b; ++j) part[j] = i + j;
      });
      for (auto v : part) sums[i] += v;
    }
  });
  for (std::uint64_t i = 0; i < outer; ++i) {
    ASSERT_EQ(sums[i], 500 * i + 499 * 500 / 2) << i;
  }
}

TEST(PoolConcurrency, NestedSubmissionCompletes) {
  nested_sum_check(64);
  for (std::size_t workers : {2, 4}) {
    ScopedPool pool(workers);
    nested_sum_check(64);
  }
}

// ---- fork ---------------------------------------------------------------
#if !defined(_WIN32)

// Runs `child` in a forked process and expects it to exit 0 within 10 s.
template <class Fn>
void expect_child_succeeds(Fn child) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(30);  // a hung child ends itself even if the parent is gone
    _exit(child() ? 0 : 1);
  }
  int status = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "child hung after fork";
  }
  ASSERT_TRUE(WIFEXITED(status)) << "child died, status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

bool loop_sums_correctly() {
  std::vector<std::uint64_t> out(20000, 0);
  parallel_for(0, out.size(), 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) out[i] = 2 * i;
  });
  for (std::uint64_t i = 0; i < out.size(); ++i) {
    if (out[i] != 2 * i) return false;
  }
  return num_threads() >= 1;
}

class PoolFork : public ::testing::Test {
 protected:
  void SetUp() override {
    // ThreadSanitizer does not support threads started in a forked child.
    if (kThreadSanitizer) GTEST_SKIP() << "fork under ThreadSanitizer";
  }
};

TEST_F(PoolFork, ChildRunsLoopsAfterParentUsedThePool) {
  expect_exact_cover(0, 1000, 1);
  expect_child_succeeds(
      [] { return loop_sums_correctly() && loop_sums_correctly(); });
  expect_exact_cover(0, 1000, 1);  // the parent's pool is unaffected
}

// Other threads keep the pool's lock busy, so that some forks happen while
// a thread that does not exist in the child holds it.
TEST_F(PoolFork, ForkWhileOtherThreadsSubmit) {
  // AddressSanitizer's allocator does not reset its locks in a forked child,
  // so the child can hang in malloc whatever the pool does.
  if (kAddressSanitizer) GTEST_SKIP() << "multi-threaded fork under ASan";
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> busy;
  for (int t = 0; t < 2; ++t) {
    busy.emplace_back([&] {
      std::atomic<std::uint64_t> sink{0};
      while (!stop) {
        parallel_for(0, 64, 1, [&](std::uint64_t lo, std::uint64_t) {
          sink.fetch_add(lo, std::memory_order_relaxed);
        });
        hammer(1, failures);
      }
    });
  }
  for (int i = 0; i < 40 && !HasFailure(); ++i) {
    expect_child_succeeds(loop_sums_correctly);
  }
  stop = true;
  for (auto& t : busy) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(PoolFork, PrivatePoolInheritedByChild) {
  std::optional<ScopedPool> pool(std::in_place, 4);
  expect_exact_cover(0, 1000, 1);
  expect_child_succeeds([&pool] {
    const bool ok = loop_sums_correctly();
    pool.reset();  // must not wait for threads that do not exist here
    return ok && loop_sums_correctly();
  });
}

#endif  // !_WIN32

// ---- worker count -------------------------------------------------------

#if defined(_WIN32)
int process_id() { return _getpid(); }
int set_env(const char* name, const char* value, int) {
  return _putenv_s(name, value);
}
int unset_env(const char* name) { return _putenv_s(name, ""); }
#else
int process_id() { return getpid(); }
int set_env(const char* name, const char* value, int overwrite) {
  return setenv(name, value, overwrite);
}
int unset_env(const char* name) { return unsetenv(name); }
#endif

// A fake file system under a temporary directory for the cgroup lookup.
class CgroupQuota : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("velmar_cgroup_" + std::to_string(process_id()));
    std::filesystem::remove_all(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void write(const std::string& path, const std::string& text) {
    const auto full = root_ / path.substr(1);
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << text;  // no CRLF on Windows
  }
  std::optional<std::uint64_t> quota(const std::string& cgroup,
                                     const std::string& mountinfo) {
    return detail::cgroup_cpu_quota(cgroup, mountinfo, root_.string());
  }
  std::filesystem::path root_;
};

constexpr const char* kV2Mount =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw\n";
constexpr const char* kV1Mounts =
    "31 23 0:27 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup "
    "rw,cpu,cpuacct\n"
    "32 23 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";

TEST_F(CgroupQuota, V2SmallestLimitOnThePathUp) {
  write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
  write("/sys/fs/cgroup/a/cpu.max", "250000 100000\n");
  write("/sys/fs/cgroup/cpu.max", "800000 100000\n");
  EXPECT_EQ(quota("0::/a/b\n", kV2Mount), 2u);
  write("/sys/fs/cgroup/a/b/cpu.max", "50000 100000\n");  // half a CPU
  EXPECT_EQ(quota("0::/a/b\n", kV2Mount), 1u);
  EXPECT_EQ(quota("0::/\n", kV2Mount), 8u);
  write("/sys/fs/cgroup/cpu.max", "max 100000\n");
  EXPECT_EQ(quota("0::/\n", kV2Mount), std::nullopt);
  EXPECT_EQ(quota("0::/a/b\n", ""), std::nullopt);  // no cgroup2 mount
}

TEST_F(CgroupQuota, V1CpuControllerWinsAndMountRootIsStripped) {
  write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "300000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
  write("/sys/fs/cgroup/a/cpu.max", "100000 100000\n");
  const std::string cgroup = "0::/a\n4:memory:/x\n3:cpu,cpuacct:/job\n";
  EXPECT_EQ(quota(cgroup, std::string(kV2Mount) + kV1Mounts), 3u);
  // Inside a container the mount shows the hierarchy from /docker/c1 down.
  const std::string container =
      "40 23 0:27 /docker/c1 /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup "
      "rw,cpuacct,cpu\n";
  EXPECT_EQ(quota("3:cpu,cpuacct:/docker/c1/job\n", container), 3u);
  EXPECT_EQ(quota("3:cpu,cpuacct:/other/job\n", container), std::nullopt);
  write("/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n");
  EXPECT_EQ(quota("3:cpu,cpuacct:/job\n", kV1Mounts), std::nullopt);
}

TEST_F(CgroupQuota, EscapedMountPoint) {
  write("/mnt/cg roup/g/cpu.max", "400000 100000\n");
  EXPECT_EQ(
      quota("0::/g\n", "30 23 0:26 / /mnt/cg\\040roup rw - cgroup2 none rw\n"),
      4u);
}

TEST(PoolCount, ParseThreadCount) {
  const std::pair<const char*, std::optional<std::size_t>> cases[] = {
      {"4", 4},
      {"+4", 4},
      {"0", 0},
      {"+0", 0},
      {"007", 7},
      {"18446744073709551615", std::numeric_limits<std::size_t>::max()},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++4", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"4 ", std::nullopt},
      {" 4", std::nullopt},
      {"4x", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(detail::parse_thread_count(text), expected) << '"' << text << '"';
  }
}

class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) saved_ = v;
  }
  ~EnvGuard() {
    if (saved_) {
      set_env(name_, saved_->c_str(), 1);
    } else {
      unset_env(name_);
    }
  }
  void set(const char* value) {
    if (value) {
      set_env(name_, value, 1);
    } else {
      unset_env(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(PoolCount, EnvironmentRule) {
  EnvGuard num("RAYON_NUM_THREADS");
  EnvGuard cpus("RAYON_RS_NUM_CPUS");
  num.set(nullptr);
  cpus.set(nullptr);
  const std::size_t machine = detail::default_thread_count();
  EXPECT_GE(machine, 1u);
#if defined(_WIN32)
  EXPECT_LE(machine, std::size_t{std::thread::hardware_concurrency()});
#else
  EXPECT_LE(machine, static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_CONF)));
#endif

  const struct {
    const char* num;
    const char* cpus;
    std::size_t expected;  // 0 stands for the machine's count
  } cases[] = {
      {"3", "5", 3},     {"+12", nullptr, 12}, {"0", "5", 0},
      {"x", "5", 5},     {"", "+6", 6},        {nullptr, "5", 5},
      {nullptr, "0", 0}, {"-2", "bad", 0},     {"3 ", nullptr, 0},
  };
  for (const auto& c : cases) {
    num.set(c.num);
    cpus.set(c.cpus);
    EXPECT_EQ(detail::default_thread_count(),
              c.expected == 0 ? machine : c.expected)
        << (c.num ? c.num : "(unset)") << " / "
        << (c.cpus ? c.cpus : "(unset)");
  }
}

}  // namespace
}  // namespace velmar
