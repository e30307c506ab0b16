// The process-wide worker pool behind parallel_for.
//
// A pool of N participants owns N - 1 threads; the thread that submits a loop
// is the N-th and works on its own loop until no block is left, so a loop
// always finishes even when every worker is busy (several submitters at once,
// or a body that submits a nested loop). A loop is cut into blocks of
// max(grain, len / (32 N)) indices, handed out in ascending order through an
// atomic block counter: many small blocks keep skewed rows balanced, and the
// submitter never waits for work that nobody has started.
#include "pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "cpu_count.h"
#include "platform.h"

namespace velmar {
namespace detail {
namespace {

constexpr std::uint64_t kBlocksPerParticipant = 32;

// One submitted loop. Lives on the submitter's stack until every participant
// has left it (`active` back to 0).
struct Job {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::uint64_t block = 1;
  std::uint64_t num_blocks = 0;
  void* ctx = nullptr;
  BlockFn fn = nullptr;
  std::atomic<std::uint64_t> next_block{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written only by the thread that set `failed`

  // Guarded by the pool's mutex.
  int active = 0;
  bool queued = false;
  Job* next = nullptr;
  std::condition_variable done;
};

// Runs blocks of `job` until none is left or one has thrown. Never throws.
void work_on(Job& job) noexcept {
  for (;;) {
    if (job.failed.load(std::memory_order_relaxed)) return;
    // Bounded by num_blocks plus one call per participant visit, far below
    // 2^64 since num_blocks <= 32 N: the counter cannot wrap.
    const std::uint64_t b =
        job.next_block.fetch_add(1, std::memory_order_relaxed);
    if (b >= job.num_blocks) return;
    const std::uint64_t lo = job.begin + b * job.block;
    const std::uint64_t hi =
        job.end - lo <= job.block ? job.end : lo + job.block;
    try {
      job.fn(job.ctx, lo, hi);
    } catch (...) {
      if (!job.failed.exchange(true)) job.error = std::current_exception();
    }
  }
}

std::atomic<std::uint64_t> g_fork_generation{0};

struct Pool;
// The private pool that serves this thread, if any (see ScopedPool).
thread_local Pool* t_scoped_pool = nullptr;

struct Pool {
  Pool(std::size_t participants, bool is_private);
  ~Pool();  // only for private pools; joins the threads

  std::size_t size() const noexcept { return threads.size() + 1; }
  void run(Job& job);
  void worker_main() noexcept;
  void unqueue(Job& job) noexcept;

  std::mutex mutex;
  std::condition_variable work_ready;
  Job* head = nullptr;  // FIFO of loops with blocks possibly left
  Job* tail = nullptr;
  bool shutting_down = false;
  std::vector<std::thread> threads;
  // Workers of a private pool send nested loops to that pool too.
  const bool is_private;
  // A pool created before a fork() has no threads in the child.
  const std::uint64_t generation;
};

Pool::Pool(std::size_t participants, bool private_pool)
    : is_private(private_pool),
      generation(g_fork_generation.load(std::memory_order_relaxed)) {
  const std::size_t wanted = participants > 1 ? participants - 1 : 0;
  // Workers never take asynchronous signals: those belong to the threads the
  // host application manages (the interpreter handles them on its own).
  const platform::SignalsBlocked blocked;
  try {
    threads.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
      threads.emplace_back([this] { worker_main(); });
    }
  } catch (const std::exception&) {
    // Fewer threads than asked for still run every loop: the submitter
    // participates in its own.
  }
}

Pool::~Pool() {
  {
    std::lock_guard lock(mutex);
    shutting_down = true;
  }
  work_ready.notify_all();
  for (auto& t : threads) t.join();
}

void Pool::unqueue(Job& job) noexcept {
  if (!job.queued) return;
  Job** link = &head;
  Job* prev = nullptr;
  while (*link != &job) {
    prev = *link;
    link = &(*link)->next;
  }
  *link = job.next;
  if (tail == &job) tail = prev;
  job.queued = false;
  job.next = nullptr;
}

void Pool::worker_main() noexcept {
  if (is_private) t_scoped_pool = this;
  std::unique_lock lock(mutex);
  for (;;) {
    work_ready.wait(lock, [this] { return shutting_down || head != nullptr; });
    if (head == nullptr) return;
    Job& job = *head;
    ++job.active;
    lock.unlock();
    work_on(job);
    lock.lock();
    // work_on only returns once no block is left to hand out.
    unqueue(job);
    // Notify under the lock: the submitter can only see active == 0 and
    // destroy the job after this thread has released the mutex.
    if (--job.active == 0) job.done.notify_all();
  }
}

void Pool::run(Job& job) {
  std::uint64_t helpers = 0;
  {
    std::lock_guard lock(mutex);
    job.active = 1;
    job.queued = true;
    if (tail) {
      tail->next = &job;
    } else {
      head = &job;
    }
    tail = &job;
    helpers = std::min<std::uint64_t>(job.num_blocks - 1, threads.size());
  }
  if (helpers == threads.size()) {
    work_ready.notify_all();
  } else {
    for (std::uint64_t i = 0; i < helpers; ++i) work_ready.notify_one();
  }
  work_on(job);
  std::unique_lock lock(mutex);
  unqueue(job);
  --job.active;
  job.done.wait(lock, [&job] { return job.active == 0; });
}

std::atomic<Pool*> g_pool{nullptr};
std::atomic<bool> g_creating{false};

// In the child of fork() only the forking thread exists: the old pool's
// threads are gone and its mutex may be held by one of them. It is leaked,
// never touched again, and the next loop builds a fresh pool.
void on_fork_child() noexcept {
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_creating.store(false, std::memory_order_relaxed);
}

// Registered while the library loads, before any thread of ours exists.
// Registering lazily on first use would itself be a one-time initialisation
// that a fork() on another thread could cut in half, leaving the child
// waiting for it forever. Nothing on the path of a loop is lazily guarded.
[[maybe_unused]] const int g_fork_handler =
    platform::register_fork_handlers(nullptr, nullptr, &on_fork_child);

bool is_current(const Pool& pool) noexcept {
  return pool.generation == g_fork_generation.load(std::memory_order_relaxed);
}

// The process-wide pool, created on first use and never destroyed, so no
// thread is joined while the process exits.
Pool& global_pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
  // A spin lock rather than a mutex: the child of a fork can reset it.
  while (g_creating.exchange(true, std::memory_order_acquire)) {
    std::this_thread::yield();
  }
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (!p) {
    try {
      p = new Pool(default_thread_count(), false);
    } catch (...) {
      g_creating.store(false, std::memory_order_release);
      throw;
    }
    g_pool.store(p, std::memory_order_release);
  }
  g_creating.store(false, std::memory_order_release);
  return *p;
}

}  // namespace

void run_blocks(std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                void* ctx, BlockFn fn) {
  if (end <= begin) return;
  Pool* pool = t_scoped_pool;
  // A private pool inherited through fork() has no threads: run inline.
  const bool inline_only = pool != nullptr && !is_current(*pool);
  if (!pool) pool = &global_pool();
  const std::uint64_t len = end - begin;
  const std::uint64_t participants = inline_only ? 1 : pool->size();

  Job job;
  job.begin = begin;
  job.end = end;
  job.ctx = ctx;
  job.fn = fn;
  const std::uint64_t target = participants * kBlocksPerParticipant;
  job.block =
      std::max<std::uint64_t>({grain, 1, len / target + (len % target != 0)});
  job.num_blocks = len / job.block + (len % job.block != 0);

  if (participants == 1 || job.num_blocks == 1) {
    work_on(job);
  } else {
    pool->run(job);
  }
  if (job.error) std::rethrow_exception(job.error);
}

ScopedPool::ScopedPool(std::size_t threads)
    : pool_(nullptr), previous_(t_scoped_pool) {
  auto* pool = new Pool(std::max<std::size_t>(threads, 1), true);
  pool_ = pool;
  t_scoped_pool = pool;
}

ScopedPool::~ScopedPool() {
  t_scoped_pool = static_cast<Pool*>(previous_);
  auto* pool = static_cast<Pool*>(pool_);
  // In a forked child the threads to join do not exist: leak the pool.
  if (is_current(*pool)) delete pool;
}

}  // namespace detail

WorkerPool::WorkerPool(std::size_t threads)
    : pool_(new detail::Pool(std::max<std::size_t>(threads, 1), true)) {}

WorkerPool::~WorkerPool() {
  auto* pool = static_cast<detail::Pool*>(pool_);
  if (detail::is_current(*pool)) delete pool;
}

std::size_t WorkerPool::size() const noexcept {
  return static_cast<const detail::Pool*>(pool_)->size();
}

bool WorkerPool::usable() const noexcept {
  return detail::is_current(*static_cast<const detail::Pool*>(pool_));
}

PoolScope::PoolScope(WorkerPool& pool) : previous_(detail::t_scoped_pool) {
  detail::t_scoped_pool = static_cast<detail::Pool*>(pool.pool_);
}

PoolScope::~PoolScope() {
  detail::t_scoped_pool = static_cast<detail::Pool*>(previous_);
}

std::size_t num_threads() {
  if (detail::t_scoped_pool) {
    return detail::is_current(*detail::t_scoped_pool)
               ? detail::t_scoped_pool->size()
               : 1;
  }
  return detail::global_pool().size();
}

}  // namespace velmar
