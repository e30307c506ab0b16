// The process-wide worker pool behind parallel_for, and its worker count.
//
// A pool of N participants owns N - 1 threads; the thread that submits a loop
// is the N-th and works on its own loop until no block is left, so a loop
// always finishes even when every worker is busy (several submitters at once,
// or a body that submits a nested loop). A loop is cut into blocks of
// max(grain, len / (32 N)) indices, handed out in ascending order through an
// atomic block counter: many small blocks keep skewed rows balanced, and the
// submitter never waits for work that nobody has started.
#include "pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    threads.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
      threads.emplace_back([this] { worker_main(); });
    }
  } catch (const std::exception&) {
    // Fewer threads than asked for still run every loop: the submitter
    // participates in its own.
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
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

// Registered when the library is loaded, before any of its threads exist.
// Registering on first use raced with fork(): a fork in another thread while
// the registering thread was still inside a function-local static's
// initialisation left the child waiting forever on that static's guard.
[[maybe_unused]] const int g_fork_handler =
    pthread_atfork(nullptr, nullptr, &on_fork_child);

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

// ---- default worker count -------------------------------------------------

std::optional<std::size_t> env_thread_count(const char* name) {
  const char* text = std::getenv(name);
  if (!text) return std::nullopt;
  return parse_thread_count(text);
}

std::size_t affinity_cpu_count() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(static_cast<std::size_t>(cpus));
    if (!set) break;
    const std::size_t size = CPU_ALLOC_SIZE(static_cast<std::size_t>(cpus));
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    const int err = errno;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 0;
    if (err != EINVAL) break;  // EINVAL: the kernel's mask is larger
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 0;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

bool has_item(const std::string& list, const char* item) {
  for (const auto& part : split(list, ',')) {
    if (part == item) return true;
  }
  return false;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// mountinfo escapes blanks and backslashes in paths as \ooo.
std::string unescape_mount_path(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && is_octal(s[i + 1]) &&
        is_octal(s[i + 2]) && is_octal(s[i + 3])) {
      out.push_back(static_cast<char>((s[i + 1] - '0') * 64 +
                                      (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::optional<std::uint64_t> parse_u64(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\n") - b + 1);
}

// CPUs allowed by one cgroup directory, or nothing when it sets no limit.
std::optional<std::uint64_t> cgroup_dir_quota(const std::string& dir, bool v2) {
  std::string limit_text, period_text;
  if (v2) {
    std::string line;
    if (!read_file(dir + "/cpu.max", line)) return std::nullopt;
    const auto fields = split(trim(line), ' ');
    if (fields.size() < 2) return std::nullopt;
    limit_text = fields[0];  // "max" when unlimited
    period_text = fields[1];
  } else {
    if (!read_file(dir + "/cpu.cfs_quota_us", limit_text) ||
        !read_file(dir + "/cpu.cfs_period_us", period_text)) {
      return std::nullopt;
    }
    limit_text = trim(limit_text);  // "-1" when unlimited
    period_text = trim(period_text);
  }
  const auto limit = parse_u64(limit_text);
  const auto period = parse_u64(period_text);
  if (!limit || !period || *period == 0) return std::nullopt;
  return std::max<std::uint64_t>(1, *limit / *period);
}

}  // namespace

std::optional<std::uint64_t> cgroup_cpu_quota(const std::string& proc_cgroup,
                                              const std::string& mountinfo,
                                              const std::string& fs_root) {
  // Lines read "id:controllers:path"; a v1 hierarchy with the cpu controller
  // takes precedence over the unified (v2) one, whose controller list is empty.
  std::optional<std::string> group;
  bool v2 = false;
  for (const auto& line : split(proc_cgroup, '\n')) {
    const auto first = line.find(':');
    const auto second =
        line.find(':', first == std::string::npos ? 0 : first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) {
      if (!group) {
        group = path;
        v2 = true;
      }
    } else if (has_item(controllers, "cpu")) {
      group = path;
      v2 = false;
      break;
    }
  }
  if (!group) return std::nullopt;

  for (const auto& line : split(mountinfo, '\n')) {
    // "id parent dev root mountpoint options [optional...] - fstype src super"
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const auto head = split(line.substr(0, dash), ' ');
    const auto tail = split(line.substr(dash + 3), ' ');
    if (head.size() < 5 || tail.size() < 3) continue;
    if (v2 ? tail[0] != "cgroup2"
           : tail[0] != "cgroup" || !has_item(tail[2], "cpu")) {
      continue;
    }
    const std::string root = unescape_mount_path(head[3]);
    const std::string mount = fs_root + unescape_mount_path(head[4]);
    // The mount shows the hierarchy from `root` down; the group must lie
    // below it to be reachable through this mount.
    std::string rel;
    if (root == "/") {
      rel = *group;
    } else if (group->compare(0, root.size(), root) == 0 &&
               (group->size() == root.size() || (*group)[root.size()] == '/')) {
      rel = group->substr(root.size());
    } else {
      continue;
    }
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    std::optional<std::uint64_t> quota;
    for (;;) {
      if (auto q = cgroup_dir_quota(mount + rel, v2)) {
        quota = quota ? std::min(*quota, *q) : *q;
      }
      if (rel.empty()) break;
      rel.resize(rel.rfind('/'));
    }
    return quota;
  }
  return std::nullopt;
}

namespace {

std::size_t machine_thread_count() {
  std::size_t count = affinity_cpu_count();
  if (count == 0) return 1;
  std::string cgroup, mountinfo;
  if (!read_file("/proc/self/cgroup", cgroup) ||
      !read_file("/proc/self/mountinfo", mountinfo)) {
    return count;
  }
  if (auto quota = cgroup_cpu_quota(cgroup, mountinfo, "")) {
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, *quota));
  }
  return count;
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

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t default_thread_count() {
  // RAYON_NUM_THREADS=0 asks for the machine's count and skips the second
  // variable; only an unset or unparsable value falls through to it.
  if (auto n = env_thread_count("RAYON_NUM_THREADS")) {
    return *n > 0 ? *n : machine_thread_count();
  }
  if (auto n = env_thread_count("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return machine_thread_count();
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

std::size_t num_threads() {
  if (detail::t_scoped_pool) {
    return detail::is_current(*detail::t_scoped_pool)
               ? detail::t_scoped_pool->size()
               : 1;
  }
  return detail::global_pool().size();
}

}  // namespace velmar
