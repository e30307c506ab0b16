// The process-wide worker pool.
//
// One operation: parallel_for(begin, end, body) calls body(lo, hi) on disjoint
// blocks that cover [begin, end), spread over the workers, and returns when
// every block is done. Bodies write only their own rows, so any division of
// the range gives the same result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <string_view>

namespace velmar {

namespace detail {

using BlockFn = void (*)(void* ctx, std::uint64_t lo, std::uint64_t hi);

// Runs fn(ctx, lo, hi) over blocks of at least `grain` indices covering
// [begin, end) on the current pool. If a block throws, blocks not yet started
// are skipped and the first exception is rethrown on the calling thread.
void run_blocks(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                void* ctx, BlockFn fn);

// Parses a thread-count variable: optional '+', then decimal digits only.
// Returns nothing for text that does not parse.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The worker count a new pool would get from the environment and the machine.
std::size_t default_thread_count();

// The smallest CPU quota (whole CPUs, at least 1) on the path from the
// process's cgroup up to its hierarchy's root, or nothing when none applies.
// `proc_cgroup` and `mountinfo` are the texts of /proc/self/cgroup and
// /proc/self/mountinfo; `fs_root` prefixes every path read ("" in use).
std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& proc_cgroup,
                                              const std::string& mountinfo,
                                              const std::string& fs_root);

// For tests: while alive, loops submitted from this thread (and nested loops
// submitted by the private pool's workers) run on a private pool of
// `threads` workers instead of the process-wide one.
class ScopedPool {
 public:
  explicit ScopedPool(std::size_t threads);
  ~ScopedPool();
  ScopedPool(const ScopedPool&) = delete;
  ScopedPool& operator=(const ScopedPool&) = delete;

 private:
  void* pool_;
  void* previous_;
};

}  // namespace detail

// Number of workers of the pool that serves this thread (creating the
// process-wide pool if needed).
std::size_t num_threads();

template <class Body>
void parallel_for(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                  Body&& body) {
  detail::run_blocks(begin, end, grain, &body,
                     [](void* ctx, std::uint64_t lo, std::uint64_t hi) {
                       (*static_cast<std::remove_reference_t<Body>*>(ctx))(lo,
                                                                           hi);
                     });
}

}  // namespace velmar
