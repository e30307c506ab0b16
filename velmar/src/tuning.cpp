// The model behind the block width and the segment rows (tuning.h); the
// measurements it rests on are in docs/architecture.md, "Speed".
#include "tuning.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform.h"

namespace velmar {
namespace {

// Read while the library loads, never lazily: nothing on a run's path waits
// on a one-time initialisation that a fork() could cut in half.
const std::uint64_t g_cache_bytes = platform::last_level_cache_bytes();

// A positive decimal number from the environment variable `name`, 0 for
// "off", nothing when it is unset or does not parse.
std::optional<std::uint64_t> env_count(const char* name) noexcept {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  if (std::strcmp(text, "off") == 0) return 0;
  std::uint64_t value = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value > (UINT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  if (p == text || *p != '\0' || value == 0) return std::nullopt;
  return value;
}

// The part of the cache that holds one segment's rows (or a whole working
// matrix): the rest serves what streams past, the pieces, the running sums
// and the result's rows, and other processes.
std::uint64_t cache_budget() noexcept { return cache_bytes() / 2; }

// x * y, or UINT64_MAX when it does not fit.
std::uint64_t saturating_mul(std::uint64_t x, std::uint64_t y) noexcept {
  std::uint64_t p = 0;
  return platform::mul_overflow(x, y, &p) ? UINT64_MAX : p;
}

}  // namespace

std::uint64_t cache_bytes() noexcept {
  return g_cache_bytes != 0 ? g_cache_bytes : kFallbackCacheBytes;
}

std::uint64_t preferred_block(std::uint64_t n, std::uint64_t columns) noexcept {
  if (const auto forced = env_count("VELMAR_BLOCK_COLUMNS")) {
    if (*forced != 0) return std::min(*forced, columns);
  }
  if (saturating_mul(saturating_mul(n, columns), 4) <= cache_budget()) {
    return columns;
  }
  return std::min(columns, kMemoryBlock);
}

std::uint64_t segment_rows_for(std::uint64_t n, std::uint64_t entries,
                               std::uint64_t width) noexcept {
  const std::uint64_t none = std::max<std::uint64_t>(n, 1);
  if (const auto forced = env_count("VELMAR_SEGMENT_ROWS")) {
    return *forced == 0 ? none : *forced;
  }
  const std::uint64_t row = 4 * std::max<std::uint64_t>(width, 1);
  const std::uint64_t rows = std::max<std::uint64_t>(cache_budget() / row, 1);
  if (rows >= n) return none;
  const std::uint64_t segments = n / rows + (n % rows != 0 ? 1 : 0);
  // In units of bytes, saturating: the comparison only needs to be right
  // for figures that fit.
  const std::uint64_t pieces =
      std::min(entries > UINT64_MAX - n ? UINT64_MAX : entries + n,
               saturating_mul(segments, n));
  const std::uint64_t index = n <= (std::uint64_t{1} << 32) ? 4 : 8;
  const std::uint64_t sums = saturating_mul(pieces, 2);
  const std::uint64_t running = saturating_mul(sums - std::min(sums, n), row);
  const std::uint64_t piece_bytes = saturating_mul(pieces, index + 8);
  const std::uint64_t added =
      running > UINT64_MAX - piece_bytes ? UINT64_MAX : running + piece_bytes;
  const std::uint64_t lines = (row + 63) / 64 * 64;
  const std::uint64_t gathers = saturating_mul(entries, lines);
  return added <= gathers / 2 ? rows : none;
}

}  // namespace velmar
