// What the engine needs from the operating system and the compiler, behind
// small functions: one implementation per platform in platform.cpp (Linux and
// other POSIX systems, macOS, Windows), compiler fallbacks inline below.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#if defined(__GNUC__) || defined(__clang__)
#define VELMAR_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define VELMAR_ALWAYS_INLINE __forceinline
#else
#define VELMAR_ALWAYS_INLINE inline
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace velmar::platform {

// Number of CPUs the process may run on: its affinity set on Linux and
// Windows, the active CPUs (sysctl) on macOS; 0 when it cannot be told.
// Takes no lock, so it may run in the child of a fork().
std::size_t affinity_cpu_count() noexcept;

// Bytes of one instance of the largest data (or unified) cache level that
// the CPU running the call has: /sys/devices/system/cpu on Linux, else
// sysconf; sysctl on macOS; GetLogicalProcessorInformation on Windows. 0 when
// it cannot be told.
std::uint64_t last_level_cache_bytes() noexcept;

// Reads a whole small file (a /proc or cgroup file) into `out` with plain
// unbuffered reads that take no lock. False when it cannot be read.
bool read_file(const std::string& path, std::string& out);

// Fills `out` from the operating system's random source: getrandom on Linux
// (or /dev/urandom, once /dev/random is readable, where the call is refused),
// getentropy on macOS, BCryptGenRandom on Windows. Returns 0 or an errno value.
int os_random_bytes(void* out, std::size_t len) noexcept;

// Clears `len` bytes at `p` in a way the compiler may not drop.
void secure_zero(void* p, std::size_t len) noexcept;

// Registers functions run around fork(), as pthread_atfork; does nothing
// where processes cannot fork. Returns 0 or an error number.
int register_fork_handlers(void (*prepare)(), void (*parent)(),
                           void (*child)()) noexcept;

// While alive, the calling thread takes no asynchronous signals, and threads
// it starts inherit that. Nothing where threads have no signal masks.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept;
  ~SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  alignas(8) unsigned char saved_[128];
};

// At least `bytes` of zeroed memory straight from the kernel, aligned to
// 2 MiB and advised for transparent huge pages where the platform has them;
// null when the request is refused. Released only by unmap_zeroed with the
// same byte count.
void* map_zeroed(std::size_t bytes) noexcept;
void unmap_zeroed(void* data, std::size_t bytes) noexcept;

// Advises huge pages for the whole 2 MiB pages inside [data, data + bytes),
// where the platform has them. Advisory: failure is ignored.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

// *out = a * b modulo 2^64; true when the product does not fit 64 bits.
VELMAR_ALWAYS_INLINE bool mul_overflow(std::uint64_t a, std::uint64_t b,
                                       std::uint64_t* out) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_mul_overflow(a, b, out);
#else
  *out = a * b;
  return a != 0 && *out / a != b;
#endif
}

// A hint that the cache line at `p` will soon be read.
VELMAR_ALWAYS_INLINE void prefetch_read(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 0, 3);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
  __prefetch(p);
#else
  (void)p;
#endif
}

// a + b and a * b, except that an invalid operation on two numbers (inf * 0,
// inf - inf) gives x86's default NaN, whose sign bit is set, on every
// machine; ARM's and most others' is clear. With it the results carry the
// same bits everywhere. A NaN operand passes through as the hardware has it.
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || \
    defined(_M_IX86)
template <class T>
VELMAR_ALWAYS_INLINE T add(T a, T b) noexcept {
  return a + b;
}
template <class T>
VELMAR_ALWAYS_INLINE T mul(T a, T b) noexcept {
  return a * b;
}
#else
// The default NaN differs from x86's only in its sign bit. Set in the integer
// domain: the compiler treats a NaN's sign as insignificant and may fold a
// float constant NaN into a subtraction that flips it.
template <class T>
VELMAR_ALWAYS_INLINE T invalid_as_x86(T r, T a, T b) noexcept {
  static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
  using Bits = std::conditional_t<std::is_same_v<T, float>, std::uint32_t,
                                  std::uint64_t>;
  constexpr Bits kSign = Bits{1} << (8 * sizeof(Bits) - 1);
  const Bits sign = r != r && a == a && b == b ? kSign : 0;
  return std::bit_cast<T>(std::bit_cast<Bits>(r) | sign);
}
template <class T>
VELMAR_ALWAYS_INLINE T add(T a, T b) noexcept {
  return invalid_as_x86(a + b, a, b);
}
template <class T>
VELMAR_ALWAYS_INLINE T mul(T a, T b) noexcept {
  return invalid_as_x86(a * b, a, b);
}
#endif

}  // namespace velmar::platform
