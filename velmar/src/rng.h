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

// L Xoshiro256++ generators stepped in lockstep, one lane each, their state
// words held as separate arrays so that a step vectorises across the lanes.
// L = 1 is the plain generator; the projection draws rows in groups of lanes
// and the leftover rows one lane at a time, with the same code.
template <std::size_t L>
struct XoshiroLanes {
  std::uint64_t s0[L], s1[L], s2[L], s3[L];

  // Lane l seeded as Xoshiro256pp::seed_from_u64(first + l) (mod 2^64).
  void seed(std::uint64_t first) noexcept {
    for (std::size_t l = 0; l < L; ++l) {
      const Xoshiro256pp g = Xoshiro256pp::seed_from_u64(first + l);
      s0[l] = g.s[0];
      s1[l] = g.s[1];
      s2[l] = g.s[2];
      s3[l] = g.s[3];
    }
  }

  // Lane l seeded as Xoshiro256pp::seed_from_u64(base + keys[l]) (mod 2^64):
  // rows whose keys are not consecutive.
  void seed_each(std::uint64_t base, const std::uint64_t* keys) noexcept {
    for (std::size_t l = 0; l < L; ++l) {
      const Xoshiro256pp g = Xoshiro256pp::seed_from_u64(base + keys[l]);
      s0[l] = g.s[0];
      s1[l] = g.s[1];
      s2[l] = g.s[2];
      s3[l] = g.s[3];
    }
  }

  // One Xoshiro256pp::next of every lane.
  void next(std::uint64_t (&out)[L]) noexcept {
    for (std::size_t l = 0; l < L; ++l) {
      out[l] = rotl(s0[l] + s3[l], 23) + s0[l];
      const std::uint64_t t = s1[l] << 17;
      s2[l] ^= s0[l];
      s3[l] ^= s1[l];
      s1[l] ^= s2[l];
      s0[l] ^= s3[l];
      s2[l] ^= t;
      s3[l] = rotl(s3[l], 45);
    }
  }

  // The state of lane l from and to words[4 l .. 4 l + 3].
  void load(const std::uint64_t* words) noexcept {
    for (std::size_t l = 0; l < L; ++l) {
      s0[l] = words[4 * l];
      s1[l] = words[4 * l + 1];
      s2[l] = words[4 * l + 2];
      s3[l] = words[4 * l + 3];
    }
  }
  void store(std::uint64_t* words) const noexcept {
    for (std::size_t l = 0; l < L; ++l) {
      words[4 * l] = s0[l];
      words[4 * l + 1] = s1[l];
      words[4 * l + 2] = s2[l];
      words[4 * l + 3] = s3[l];
    }
  }

  // Skips `count` outputs of every lane.
  void discard(std::uint64_t count) noexcept {
    std::uint64_t unused[L];
    for (std::uint64_t i = 0; i < count; ++i) next(unused);
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
