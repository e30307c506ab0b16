// Random generators: the ChaCha block function against published vectors,
// the seeded row generator, and the per-thread generator for unseeded runs.
#include "rng.h"

#include "platform.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace velmar {
namespace {

using Block = std::array<std::uint32_t, 16>;
using Key = std::array<std::uint32_t, 8>;

// ChaCha20 keystream test vectors of RFC 7539 (appendix A.1, vectors 1 and 2):
// all-zero key and nonce, block counters 0 and 1. The serialized bytes
// 76 b8 e0 ad ... read as little-endian words.
TEST(ChaCha, Rfc7539ZeroKeyVectors) {
  const Key key{};
  const Block block0 = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653,
                        0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b,
                        0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                        0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
  const Block block1 = {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73,
                        0xa0290fcb, 0x6965e348, 0x3e53c612, 0xed7aee32,
                        0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874,
                        0x281fed31, 0x45fb0a51, 0x1f0ae1ac, 0x6f4d794b};
  Block out{};
  chacha_block(key, 0, 0, 20, out);
  EXPECT_EQ(out, block0);
  chacha_block(key, 1, 0, 20, out);
  EXPECT_EQ(out, block1);
}

// RFC 7539 section 2.3.2: key 00 01 .. 1f, block counter 1, nonce
// 00:00:00:09:00:00:00:4a:00:00:00:00. In the original layout the nonce's
// first word is the counter's high half and the next two form the stream id.
TEST(ChaCha, Rfc7539BlockFunctionVector) {
  Key key{};
  for (std::uint32_t i = 0; i < 8; ++i) {
    key[i] = (4 * i) | (4 * i + 1) << 8 | (4 * i + 2) << 16 | (4 * i + 3) << 24;
  }
  const Block expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                          0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                          0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                          0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  Block out{};
  chacha_block(key, 0x0900000000000001ull, 0x4a000000ull, 20, out);
  EXPECT_EQ(out, expected);
}

// With no rounds the output is the input added to itself, which shows where
// each input word sits: constants, key, counter low/high, stream low/high.
TEST(ChaCha, StateLayout) {
  const Key key{1, 2, 3, 4, 5, 6, 7, 8};
  Block out{};
  chacha_block(key, 0x0000000B0000000Aull, 0x0000000D0000000Cull, 0, out);
  const Block expected = {2 * 0x61707865u,
                          2 * 0x3320646eu,
                          2 * 0x79622d32u,
                          2 * 0x6b206574u,
                          2,
                          4,
                          6,
                          8,
                          10,
                          12,
                          14,
                          16,
                          20,
                          22,
                          24,
                          26};
  EXPECT_EQ(out, expected);
}

TEST(Xoshiro, SeedZeroStateAndFirstOutput) {
  auto g = Xoshiro256pp::seed_from_u64(0);
  EXPECT_EQ(g.s[0], 0xE220A8397B1DCDAFull);
  EXPECT_EQ(g.s[1], 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(g.s[2], 0x06C45D188009454Full);
  EXPECT_EQ(g.s[3], 0xF88BB8A8724C81ECull);
  EXPECT_EQ(g.next(), 0x53175D61490B23DFull);
}

TEST(ThreadRng, DrawsDifferAcrossCallsAndThreads) {
  std::set<std::uint64_t> seen;
  // 20000 draws = 160000 bytes: crosses the 64 KiB rekeying point twice.
  for (int i = 0; i < 20000; ++i) seen.insert(thread_rng_next_u64());
  EXPECT_EQ(seen.size(), 20000u);
  std::uint64_t other = 0;
  std::thread([&] { other = thread_rng_next_u64(); }).join();
  EXPECT_EQ(seen.count(other), 0u);
}

TEST(ThreadRng, OsRandomBytes) {
  std::array<unsigned char, 4096> a{}, b{};
  ASSERT_EQ(platform::os_random_bytes(a.data(), a.size()), 0);
  ASSERT_EQ(platform::os_random_bytes(b.data(), b.size()), 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(platform::os_random_bytes(nullptr, 0), 0);
}

#if !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
// Without rekeying on fork, parent and child would continue the same stream.
// The fork happens with words still buffered: those must not be used on
// either side.
TEST(ThreadRng, ParentAndChildDivergeAfterFork) {
  std::uint64_t parent_draw = 0, child_draw = 0;
  bool forked = false;
  std::thread([&] {
    for (int i = 0; i < 5; ++i) thread_rng_next_u64();
    int fds[2];
    if (pipe(fds) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
      const std::uint64_t v = thread_rng_next_u64();
      _exit(write(fds[1], &v, sizeof v) == sizeof v ? 0 : 1);
    }
    if (pid < 0) return;
    forked = true;
    parent_draw = thread_rng_next_u64();
    close(fds[1]);
    if (read(fds[0], &child_draw, sizeof child_draw) != sizeof child_draw) {
      child_draw = parent_draw;
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
  }).join();
  ASSERT_TRUE(forked);
  EXPECT_NE(parent_draw, child_draw);
}
#endif

}  // namespace
}  // namespace velmar
