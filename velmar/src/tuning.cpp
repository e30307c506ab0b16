// The model behind the block width and the segment rows; see tuning.h and
// docs/architecture.md ("Speed") for the measurements it rests on.
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

}  // namespace

std::uint64_t cache_bytes() noexcept {
  return g_cache_bytes != 0 ? g_cache_bytes : kFallbackCacheBytes;
}

std::uint64_t segment_rows_for(std::uint64_t n, std::uint64_t width) noexcept {
  if (const auto forced = env_count("VELMAR_SEGMENT_ROWS")) {
    return *forced == 0 ? std::max<std::uint64_t>(n, 1) : *forced;
  }
  const std::uint64_t row_bytes = 4 * std::max<std::uint64_t>(width, 1);
  const std::uint64_t budget = cache_bytes() / 2;
  const std::uint64_t rows = std::max<std::uint64_t>(budget / row_bytes, 1);
  return rows >= n ? std::max<std::uint64_t>(n, 1) : rows;
}

std::uint64_t preferred_block(std::uint64_t n, std::uint64_t columns) noexcept {
  (void)n;
  if (const auto forced = env_count("VELMAR_BLOCK_COLUMNS")) {
    if (*forced != 0) return std::min(*forced, columns);
  }
  return std::min<std::uint64_t>(columns, 32);
}

}  // namespace velmar
