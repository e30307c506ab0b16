// The process-wide worker pool.
//
// One operation: parallel_for(begin, end, body) calls body(lo, hi) on disjoint
// blocks that cover [begin, end), spread over the workers, and returns when
// every block is done. Bodies write only their own rows, so any division of
// the range gives the same result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmar {

namespace detail {

using BlockFn = void (*)(void* ctx, std::uint64_t lo, std::uint64_t hi);

// Runs fn(ctx, lo, hi) over blocks of at least `grain` indices covering
// [begin, end) on the current pool. If a block throws, blocks not yet started
// are skipped and the first exception is rethrown on the calling thread.
void run_blocks(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                void* ctx, BlockFn fn);

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

// A pool owned by its creator rather than the process: the package's engine
// module keeps one and replaces it when asked for another size. Destroying
// it joins its threads, so it must not be destroyed by one of them.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const noexcept;
  // False in the child of a fork(), where its threads do not exist.
  bool usable() const noexcept;

 private:
  friend class PoolScope;
  void* pool_;
};

// While alive, loops submitted from this thread (and loops nested in them)
// run on `pool`; an unusable pool runs them on the submitting thread alone.
class PoolScope {
 public:
  explicit PoolScope(WorkerPool& pool);
  ~PoolScope();
  PoolScope(const PoolScope&) = delete;
  PoolScope& operator=(const PoolScope&) = delete;

 private:
  void* previous_;
};

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
