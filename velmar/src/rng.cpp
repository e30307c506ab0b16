// The ChaCha block function and the per-thread ChaCha12 generator that draws
// the base seed of unseeded runs, keyed from the operating system's random
// source.
#include "rng.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform.h"

namespace velmar {
namespace {

constexpr std::uint32_t rotl32(std::uint32_t x, int k) noexcept {
  return (x << k) | (x >> (32 - k));
}

inline void quarter_round(std::array<std::uint32_t, 16>& x, std::size_t a,
                          std::size_t b, std::size_t c,
                          std::size_t d) noexcept {
  x[a] += x[b];
  x[d] = rotl32(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl32(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl32(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl32(x[b] ^ x[c], 7);
}

std::string os_error_text(int err) {
  return std::error_code(err, std::generic_category()).message() +
         " (os error " + std::to_string(err) + ")";
}

// ---- per-thread generator -------------------------------------------------

constexpr std::uint64_t kRekeyAfterBytes = 65536;
constexpr int kThreadRngRounds = 12;

// Bumped in the parent and in the child of every fork(), so that neither
// process continues a stream that the other also continues.
std::atomic<std::uint64_t> g_fork_count{0};

void bump_fork_count() noexcept {
  g_fork_count.fetch_add(1, std::memory_order_relaxed);
}

// Registered while the library loads: a lazy, guarded registration could be
// half done by another thread when fork() is called, and the child would
// wait for it forever.
[[maybe_unused]] const int g_fork_handler = platform::register_fork_handlers(
    nullptr, &bump_fork_count, &bump_fork_count);

struct ThreadRng {
  std::array<std::uint32_t, 8> key{};
  std::uint64_t counter = 0;               // next block number, stream 0
  std::array<std::uint32_t, 64> buffer{};  // four blocks
  std::size_t index = 64;                  // next unread word; 64 = empty
  std::uint64_t bytes_since_key = 0;
  std::uint64_t fork_count = 0;
  bool keyed = false;
};

// Constant-initialised and trivially destructible: no TLS guard or
// destructor registration per thread.
thread_local ThreadRng t_rng;

void rekey(ThreadRng& g, const char* context) {
  // Read before keying: a fork during the read forces another rekey.
  const std::uint64_t forks = g_fork_count.load(std::memory_order_relaxed);
  unsigned char seed[32];
  if (const int err = platform::os_random_bytes(seed, sizeof seed)) {
    throw std::runtime_error(context + os_error_text(err));
  }
  for (std::size_t i = 0; i < g.key.size(); ++i) {
    g.key[i] = static_cast<std::uint32_t>(seed[4 * i]) |
               static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
               static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
               static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
  }
  platform::secure_zero(seed, sizeof seed);
  g.counter = 0;
  g.bytes_since_key = 0;
  g.fork_count = forks;
  g.keyed = true;
}

void refill(ThreadRng& g) {
  if (!g.keyed) {
    rekey(g, "could not initialize thread_rng: ");
  } else if (g.bytes_since_key >= kRekeyAfterBytes ||
             g.fork_count != g_fork_count.load(std::memory_order_relaxed)) {
    rekey(g, "Reseeding RNG failed: ");
  }
  std::array<std::uint32_t, 16> block;
  for (std::size_t b = 0; b < 4; ++b) {
    chacha_block(g.key, g.counter + b, 0, kThreadRngRounds, block);
    std::memcpy(g.buffer.data() + 16 * b, block.data(), sizeof block);
  }
  g.counter += 4;
  g.bytes_since_key += sizeof g.buffer;
  g.index = 0;
}

std::uint32_t next_word(ThreadRng& g) {
  // Words buffered before a fork() are dropped, not used: the parent and
  // every child would otherwise draw the same "random" values from them,
  // which makes the unseeded embeddings of a fork pool's workers identical.
  if (g.keyed && g.fork_count != g_fork_count.load(std::memory_order_relaxed)) {
    g.index = g.buffer.size();
  }
  if (g.index >= g.buffer.size()) refill(g);
  return g.buffer[g.index++];
}

}  // namespace

void chacha_block(const std::array<std::uint32_t, 8>& key,
                  std::uint64_t counter, std::uint64_t stream, int rounds,
                  std::array<std::uint32_t, 16>& out) noexcept {
  // Words 0-3 "expand 32-byte k", 4-11 the key, 12-13 the counter and 14-15
  // the stream id, each 64-bit value low word first.
  std::array<std::uint32_t, 16> input{0x61707865u, 0x3320646eu, 0x79622d32u,
                                      0x6b206574u};
  std::copy(key.begin(), key.end(), input.begin() + 4);
  input[12] = static_cast<std::uint32_t>(counter);
  input[13] = static_cast<std::uint32_t>(counter >> 32);
  input[14] = static_cast<std::uint32_t>(stream);
  input[15] = static_cast<std::uint32_t>(stream >> 32);
  std::array<std::uint32_t, 16> x = input;
  for (int i = 0; i < rounds; i += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

std::uint64_t thread_rng_next_u64() {
  ThreadRng& g = t_rng;
  const std::uint64_t lo = next_word(g);
  const std::uint64_t hi = next_word(g);
  return lo | hi << 32;
}

}  // namespace velmar
