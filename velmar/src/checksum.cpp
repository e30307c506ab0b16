// CRC32C: the table-driven loop, the hardware loops, and chunk checksums on
// the worker pool.
//
// Both forms compute the reflected CRC with polynomial 0x82F63B78, initial
// value and final xor 0xFFFFFFFF. The table loop reads the input byte by
// byte into its words, so it gives the same values on either byte order.
#include "checksum.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "pool.h"

#if (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER))
#define VELMAR_CRC_X86 1
#include <nmmintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#elif defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
// Every CPU the build targets has the instructions (Apple's, for one).
#define VELMAR_CRC_ARM 1
#define VELMAR_CRC_ARM_ALWAYS 1
#include <arm_acle.h>
#elif defined(__aarch64__) && defined(__linux__) && \
    (defined(__GNUC__) || defined(__clang__))
// Chosen at run time from the kernel's report of the CPU's features.
#define VELMAR_CRC_ARM 1
#include <sys/auxv.h>
#ifndef HWCAP_CRC32
#define HWCAP_CRC32 (1 << 7)
#endif
#endif

namespace velmar {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;

// t[0] is the byte-at-a-time table; t[k][b] advances t[k - 1][b] by one
// more zero byte, so eight lookups consume eight bytes.
struct Tables {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
};

constexpr Tables make_tables() {
  Tables tables;
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int k = 0; k < 8; ++k)
      c = (c >> 1) ^ ((c & 1u) != 0 ? kPolynomial : 0u);
    tables.t[0][b] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t b = 0; b < 256; ++b) {
      const std::uint32_t prev = tables.t[k - 1][b];
      tables.t[k][b] = (prev >> 8) ^ tables.t[0][prev & 0xFFu];
    }
  }
  return tables;
}

constexpr Tables kTables = make_tables();

inline std::uint32_t load_le32(const unsigned char* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) |
         static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

#if VELMAR_CRC_X86
#if defined(__clang__) && __clang_major__ < 14
#define VELMAR_CRC_TARGET __attribute__((target("sse4.2")))
#elif defined(__GNUC__) || defined(__clang__)
// Newer clang has the CRC32 instruction as a feature of its own, which
// sse4.2 does not switch on for its intrinsics.
#define VELMAR_CRC_TARGET __attribute__((target("sse4.2,crc32")))
#else
#define VELMAR_CRC_TARGET
#endif

VELMAR_CRC_TARGET std::uint32_t hardware_loop(std::uint32_t crc,
                                              const unsigned char* p,
                                              std::size_t size) noexcept {
  for (; size != 0 && (reinterpret_cast<std::uintptr_t>(p) & 7u) != 0; --size) {
    crc = _mm_crc32_u8(crc, *p++);
  }
  std::uint64_t c = crc;
  for (; size >= 8; size -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
  }
  crc = static_cast<std::uint32_t>(c);
  for (; size != 0; --size) crc = _mm_crc32_u8(crc, *p++);
  return crc;
}

// Three checksums of `size` bytes each at once: one instruction's result
// takes three cycles, and three independent chains keep the unit busy.
VELMAR_CRC_TARGET void hardware_loop3(const unsigned char* const p[3],
                                      std::size_t size,
                                      std::uint32_t out[3]) noexcept {
  std::uint64_t c0 = 0xFFFFFFFFu, c1 = 0xFFFFFFFFu, c2 = 0xFFFFFFFFu;
  const unsigned char *a = p[0], *b = p[1], *d = p[2];
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t wa, wb, wd;
    std::memcpy(&wa, a + i, 8);
    std::memcpy(&wb, b + i, 8);
    std::memcpy(&wd, d + i, 8);
    c0 = _mm_crc32_u64(c0, wa);
    c1 = _mm_crc32_u64(c1, wb);
    c2 = _mm_crc32_u64(c2, wd);
  }
  auto r0 = static_cast<std::uint32_t>(c0);
  auto r1 = static_cast<std::uint32_t>(c1);
  auto r2 = static_cast<std::uint32_t>(c2);
  for (; i < size; ++i) {
    r0 = _mm_crc32_u8(r0, a[i]);
    r1 = _mm_crc32_u8(r1, b[i]);
    r2 = _mm_crc32_u8(r2, d[i]);
  }
  out[0] = ~r0;
  out[1] = ~r1;
  out[2] = ~r2;
}

bool cpu_has_crc() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
  int info[4] = {};
  __cpuid(info, 1);
  return (info[2] & (1 << 20)) != 0;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2");
#endif
}
#elif VELMAR_CRC_ARM
#if VELMAR_CRC_ARM_ALWAYS
#define VELMAR_CRC_TARGET
#define VELMAR_CRC32CB __crc32cb
#define VELMAR_CRC32CD __crc32cd
bool cpu_has_crc() noexcept { return true; }
#elif defined(__clang__)
#define VELMAR_CRC_TARGET __attribute__((target("crc")))
#define VELMAR_CRC32CB __builtin_arm_crc32cb
#define VELMAR_CRC32CD __builtin_arm_crc32cd
bool cpu_has_crc() noexcept { return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0; }
#else
#define VELMAR_CRC_TARGET __attribute__((target("+crc")))
#define VELMAR_CRC32CB __builtin_aarch64_crc32cb
#define VELMAR_CRC32CD __builtin_aarch64_crc32cx
bool cpu_has_crc() noexcept { return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0; }
#endif

VELMAR_CRC_TARGET std::uint32_t hardware_loop(std::uint32_t crc,
                                              const unsigned char* p,
                                              std::size_t size) noexcept {
  for (; size != 0 && (reinterpret_cast<std::uintptr_t>(p) & 7u) != 0; --size) {
    crc = VELMAR_CRC32CB(crc, *p++);
  }
  for (; size >= 8; size -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    crc = VELMAR_CRC32CD(crc, word);
  }
  for (; size != 0; --size) crc = VELMAR_CRC32CB(crc, *p++);
  return crc;
}

// Three checksums of `size` bytes each at once, as on x86.
VELMAR_CRC_TARGET void hardware_loop3(const unsigned char* const p[3],
                                      std::size_t size,
                                      std::uint32_t out[3]) noexcept {
  std::uint32_t c0 = 0xFFFFFFFFu, c1 = 0xFFFFFFFFu, c2 = 0xFFFFFFFFu;
  const unsigned char *a = p[0], *b = p[1], *d = p[2];
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t wa, wb, wd;
    std::memcpy(&wa, a + i, 8);
    std::memcpy(&wb, b + i, 8);
    std::memcpy(&wd, d + i, 8);
    c0 = VELMAR_CRC32CD(c0, wa);
    c1 = VELMAR_CRC32CD(c1, wb);
    c2 = VELMAR_CRC32CD(c2, wd);
  }
  for (; i < size; ++i) {
    c0 = VELMAR_CRC32CB(c0, a[i]);
    c1 = VELMAR_CRC32CB(c1, b[i]);
    c2 = VELMAR_CRC32CB(c2, d[i]);
  }
  out[0] = ~c0;
  out[1] = ~c1;
  out[2] = ~c2;
}
#else
bool cpu_has_crc() noexcept { return false; }
#endif

// Decided while the library loads, never lazily (see kernels.cpp's clones).
const bool g_hardware = cpu_has_crc();

}  // namespace

namespace detail {

std::uint32_t crc32c_portable(std::uint32_t crc, const void* data,
                              std::size_t size) noexcept {
  const auto& t = kTables.t;
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t c = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    const std::uint32_t lo = c ^ load_le32(p);
    const std::uint32_t hi = load_le32(p + 4);
    c = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^
        t[4][lo >> 24] ^ t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^
        t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
  }
  for (; size != 0; --size) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFFu];
  return ~c;
}

bool crc32c_hardware_available() noexcept { return g_hardware; }

std::uint32_t crc32c_hardware(std::uint32_t crc, const void* data,
                              std::size_t size) noexcept {
#if VELMAR_CRC_X86 || VELMAR_CRC_ARM
  return ~hardware_loop(~crc, static_cast<const unsigned char*>(data), size);
#else
  return crc32c_portable(crc, data, size);
#endif
}

}  // namespace detail

std::uint32_t crc32c(std::uint32_t crc, const void* data,
                     std::size_t size) noexcept {
  return g_hardware ? detail::crc32c_hardware(crc, data, size)
                    : detail::crc32c_portable(crc, data, size);
}

const char* crc32c_implementation() noexcept {
  if (!g_hardware) return "table";
#if VELMAR_CRC_X86
  return "sse4.2";
#else
  return "arm-crc";
#endif
}

Status chunk_checksums(const void* data, std::uint64_t size,
                       std::uint64_t chunk_bytes, std::uint32_t* out,
                       const CancelFlag* cancel) {
  if (chunk_bytes == 0) return VelmarError::shape_mismatch("chunk size 0");
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::uint64_t chunks = size / chunk_bytes + (size % chunk_bytes != 0);
  // Whole chunks three at a time where the hardware runs three chains.
  parallel_for(0, chunks, 3, [&](std::uint64_t lo, std::uint64_t hi) {
    std::uint64_t c = lo;
#if VELMAR_CRC_X86 || VELMAR_CRC_ARM
    const auto len = static_cast<std::size_t>(chunk_bytes);
    for (; g_hardware && c + 3 <= hi && (c + 3) * chunk_bytes <= size; c += 3) {
      if (cancel != nullptr && cancel->is_raised()) return;
      const unsigned char* p[3] = {bytes + c * chunk_bytes,
                                   bytes + (c + 1) * chunk_bytes,
                                   bytes + (c + 2) * chunk_bytes};
      hardware_loop3(p, len, out + c);
    }
#endif
    for (; c < hi; ++c) {
      if (cancel != nullptr && cancel->is_raised()) return;
      const std::uint64_t start = c * chunk_bytes;
      out[c] =
          crc32c(0, bytes + start,
                 static_cast<std::size_t>(std::min(chunk_bytes, size - start)));
    }
  });
  if (cancel != nullptr && cancel->is_raised()) return VelmarError::cancelled();
  return ok_status();
}

}  // namespace velmar
