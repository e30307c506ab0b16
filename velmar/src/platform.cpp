// The operating-system layer: CPU count, random source, fork handlers,
// signal masks and page mappings. One section per platform: Windows, then
// what POSIX systems share, then Linux (and other POSIX systems) and macOS.
#if defined(__APPLE__)
#define __STDC_WANT_LIB_EXT1__ 1  // memset_s, before any C header
#endif
#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#if defined(__APPLE__)
#include <string.h>
#endif

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h defines the types bcrypt.h uses: it comes first.
#include <windows.h>

#include <bcrypt.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#include <sys/sysctl.h>
#else
#include <poll.h>
#include <sched.h>
#include <sys/random.h>

#include <atomic>
#endif
#endif

namespace velmar::platform {

#if defined(_WIN32)
// ---- Windows ----------------------------------------------------------------

std::size_t affinity_cpu_count() noexcept {
  // A process confined to one processor group has its CPUs in the mask; one
  // that spans several groups may run on every active processor.
  USHORT group_count = 0;
  if (!GetProcessGroupAffinity(GetCurrentProcess(), &group_count, nullptr) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER && group_count > 1) {
    return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  }
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask,
                              &system_mask)) {
    return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  }
  std::size_t count = 0;
  for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
  return count;
}

std::uint64_t last_level_cache_bytes() noexcept {
  DWORD bytes = 0;
  if (GetLogicalProcessorInformation(nullptr, &bytes) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) {
    return 0;
  }
  auto* info =
      static_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION*>(std::malloc(bytes));
  if (info == nullptr) return 0;
  std::uint64_t size = 0;
  if (GetLogicalProcessorInformation(info, &bytes)) {
    BYTE level = 0;
    for (std::size_t i = 0; i < bytes / sizeof info[0]; ++i) {
      if (info[i].Relationship != RelationCache) continue;
      const CACHE_DESCRIPTOR& c = info[i].Cache;
      if (c.Type == CacheInstruction || c.Level < level) continue;
      level = c.Level;
      size = c.Size;
    }
  }
  std::free(info);
  return size;
}

bool read_file(const std::string& path, std::string& out) {
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  out.clear();
  char chunk[4096];
  DWORD n = 0;
  bool ok = true;
  while ((ok = ReadFile(file, chunk, sizeof chunk, &n, nullptr) != 0) &&
         n > 0) {
    out.append(chunk, n);
  }
  CloseHandle(file);
  return ok;
}

int os_random_bytes(void* out, std::size_t len) noexcept {
  auto* p = static_cast<unsigned char*>(out);
  while (len > 0) {
    const ULONG n = len > 0x40000000 ? 0x40000000 : static_cast<ULONG>(len);
    if (BCryptGenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
      return EIO;
    }
    p += n;
    len -= n;
  }
  return 0;
}

void secure_zero(void* p, std::size_t len) noexcept {
  SecureZeroMemory(p, len);
}

int register_fork_handlers(void (*)(), void (*)(), void (*)()) noexcept {
  return 0;
}

SignalsBlocked::SignalsBlocked() noexcept : saved_{} {}
SignalsBlocked::~SignalsBlocked() = default;

// VirtualAlloc commits zeroed pages, and refuses what the commit limit cannot
// back, as the POSIX mapping below does. No huge-page advice: large pages on
// Windows need a privilege that ordinary processes lack.
void* map_zeroed(std::size_t bytes) noexcept {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_zeroed(void* data, std::size_t) noexcept {
  VirtualFree(data, 0, MEM_RELEASE);
}

void advise_huge_pages(const void*, std::size_t) noexcept {}

#else
// ---- POSIX ------------------------------------------------------------------

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mapped_length(std::size_t bytes) noexcept {
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

// Plain POSIX reads rather than iostreams: this runs when a pool is created,
// also in the child of a fork(), where nothing may wait on a lock or a
// one-time initialisation that a thread of the parent held.
bool read_file(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    out.append(chunk, static_cast<std::size_t>(n));
  }
}

int register_fork_handlers(void (*prepare)(), void (*parent)(),
                           void (*child)()) noexcept {
  return pthread_atfork(prepare, parent, child);
}

SignalsBlocked::SignalsBlocked() noexcept {
  static_assert(sizeof(sigset_t) <= sizeof saved_ && alignof(sigset_t) <= 8);
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, reinterpret_cast<sigset_t*>(saved_));
}

SignalsBlocked::~SignalsBlocked() {
  pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_),
                  nullptr);
}

void* map_zeroed(std::size_t bytes) noexcept {
  const std::size_t length = mapped_length(bytes);
  if (length < bytes) return nullptr;
  // Over-map by one huge page so that the start can be aligned to it.
  const std::size_t span = length + kHugePage;
  if (span < length) return nullptr;
  // No MAP_NORESERVE: the kernel must be able to refuse a request it cannot
  // back, so that the refusal reaches the caller as a value.
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned =
      (start + kHugePage - 1) / kHugePage * kHugePage;
  const std::size_t head = aligned - start;
  const std::size_t tail = span - head - length;
  if (head != 0) munmap(raw, head);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* data = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(data, length, MADV_HUGEPAGE);  // advisory; failure is harmless
#endif
  return data;
}

void unmap_zeroed(void* data, std::size_t bytes) noexcept {
  munmap(data, mapped_length(bytes));
}

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t last = (start + bytes) / kHugePage * kHugePage;
  if (first < last) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)bytes;
#endif
}

#if defined(__APPLE__)
// ---- macOS ------------------------------------------------------------------

std::size_t affinity_cpu_count() noexcept {
  // macOS has no affinity sets: every active CPU is available.
  int count = 0;
  std::size_t size = sizeof count;
  if (sysctlbyname("hw.activecpu", &count, &size, nullptr, 0) == 0 &&
      count > 0) {
    return static_cast<std::size_t>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 0;
}

std::uint64_t last_level_cache_bytes() noexcept {
  for (const char* name : {"hw.l3cachesize", "hw.l2cachesize"}) {
    std::int64_t size = 0;
    std::size_t length = sizeof size;
    if (sysctlbyname(name, &size, &length, nullptr, 0) == 0 && size > 0) {
      return static_cast<std::uint64_t>(size);
    }
  }
  return 0;
}

int os_random_bytes(void* out, std::size_t len) noexcept {
  auto* p = static_cast<unsigned char*>(out);
  while (len > 0) {
    const std::size_t n = len > 256 ? 256 : len;  // getentropy's limit
    if (getentropy(p, n) != 0) return errno;
    p += n;
    len -= n;
  }
  return 0;
}

void secure_zero(void* p, std::size_t len) noexcept {
  memset_s(p, len, 0, len);
}

#else
// ---- Linux and other POSIX systems ------------------------------------------

std::size_t affinity_cpu_count() noexcept {
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

namespace {

// "32768K", "1M" or a plain number of bytes, as sysfs gives cache sizes.
std::uint64_t parse_cache_size(const std::string& text) noexcept {
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (UINT64_MAX >> 4) / 10) return 0;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (i == 0) return 0;
  switch (i < text.size() ? text[i] : '\n') {
    case 'K':
      return value << 10;
    case 'M':
      return value << 20;
    case 'G':
      return value << 30;
    default:
      return value;
  }
}

}  // namespace

std::uint64_t last_level_cache_bytes() noexcept {
  // sysfs first: under some hypervisors glibc's sysconf figure for the L3
  // is that of the whole package rather than of the cache this CPU shares.
  try {
    std::uint64_t size = 0;
    std::uint64_t level = 0;
    std::string text;
    const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index";
    for (int i = 0; i < 16; ++i) {
      const std::string index = dir + std::to_string(i) + "/";
      if (!read_file(index + "type", text)) break;
      if (text.rfind("Instruction", 0) == 0) continue;
      if (!read_file(index + "level", text)) continue;
      const std::uint64_t l = parse_cache_size(text);
      if (!read_file(index + "size", text)) continue;
      const std::uint64_t bytes = parse_cache_size(text);
      if (l >= level && bytes != 0) {
        level = l;
        size = bytes;
      }
    }
    if (size != 0) return size;
  } catch (...) {  // a failed small allocation: fall back to sysconf
  }
#if defined(_SC_LEVEL3_CACHE_SIZE) && defined(_SC_LEVEL2_CACHE_SIZE)
  for (const int name : {_SC_LEVEL3_CACHE_SIZE, _SC_LEVEL2_CACHE_SIZE}) {
    const long size = sysconf(name);
    if (size > 0) return static_cast<std::uint64_t>(size);
  }
#endif
  return 0;
}

namespace {

std::atomic<bool> g_getrandom_missing{false};
std::atomic<bool> g_random_pool_ready{false};

int getrandom_fill(unsigned char* p, std::size_t len) noexcept {
  while (len > 0) {
    const ssize_t n = ::getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

// /dev/urandom gives output before the kernel's pool is seeded; waiting once
// for /dev/random to become readable rules that out.
int wait_for_random_pool() noexcept {
  const int fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  pollfd pfd{fd, POLLIN, 0};
  int err = 0;
  while (::poll(&pfd, 1, -1) < 0) {
    if (errno != EINTR && errno != EAGAIN) {
      err = errno;
      break;
    }
  }
  ::close(fd);
  return err;
}

int urandom_fill(unsigned char* p, std::size_t len) noexcept {
  if (!g_random_pool_ready.load(std::memory_order_acquire)) {
    if (const int err = wait_for_random_pool()) return err;
    g_random_pool_ready.store(true, std::memory_order_release);
  }
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  while (len > 0) {
    const ssize_t n = ::read(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) {
      err = EIO;
      break;
    }
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return err;
}

}  // namespace

int os_random_bytes(void* out, std::size_t len) noexcept {
  auto* p = static_cast<unsigned char*>(out);
  if (!g_getrandom_missing.load(std::memory_order_relaxed)) {
    const int err = getrandom_fill(p, len);
    if (err != ENOSYS && err != EPERM) return err;
    // ENOSYS: an old kernel; EPERM: a seccomp filter that refuses the call.
    g_getrandom_missing.store(true, std::memory_order_relaxed);
  }
  return urandom_fill(p, len);
}

void secure_zero(void* p, std::size_t len) noexcept { explicit_bzero(p, len); }

#endif
#endif

}  // namespace velmar::platform
