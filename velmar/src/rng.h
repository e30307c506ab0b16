// Random generators of the projection: SplitMix64 (seeding), Xoshiro256++
// (one generator per row, for seeded runs) and a per-thread ChaCha12 stream
// keyed from the operating system (for unseeded runs).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmar {

// One SplitMix64 step: advances `x` and returns the next output.
inline std::uint64_t splitmix64_next(std::uint64_t& x) noexcept {
  x += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = x;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct Xoshiro256pp {
  std::array<std::uint64_t, 4> s{};

  // The published seeding: four SplitMix64 outputs from `seed`.
  static Xoshiro256pp seed_from_u64(std::uint64_t seed) noexcept {
    Xoshiro256pp g;
    for (auto& word : g.s) word = splitmix64_next(seed);
    return g;
  }

  std::uint64_t next() noexcept {
    const std::uint64_t result = rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) noexcept {
    return (x << k) | (x >> (64 - k));
  }
};

// The ChaCha block function: 16 output words for a 256-bit key, a 64-bit block
// counter and a 64-bit stream id (the original djb layout), after `rounds`
// rounds (20 for the published test vectors, 12 for the thread generator).
void chacha_block(const std::array<std::uint32_t, 8>& key,
                  std::uint64_t counter, std::uint64_t stream, int rounds,
                  std::array<std::uint32_t, 16>& out) noexcept;

// Next 64-bit value of the calling thread's ChaCha12 generator. The generator
// is keyed from the operating system on first use and rekeyed after 64 KiB of
// output and after fork(). Throws std::runtime_error ("could not initialize
// thread_rng: ..." or "Reseeding RNG failed: ...") when the operating system
// gives no randomness: an internal fault, not an error value.
std::uint64_t thread_rng_next_u64();

}  // namespace velmar
