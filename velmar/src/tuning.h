// What suits the machine a run is on: the width of the column blocks and the
// rows of a segment of the graph's columns (segments.h), from the size of its
// last-level cache, and the environment variables that force either one.
// Neither changes a single bit of a result, only how fast it comes.
#pragma once

#include <cstdint>

namespace velmar {

// The last-level cache the choices below plan with: the operating system's
// figure (platform::last_level_cache_bytes, read when the library loads), or
// kFallbackCacheBytes when it cannot tell.
inline constexpr std::uint64_t kFallbackCacheBytes = std::uint64_t{8} << 20;
std::uint64_t cache_bytes() noexcept;

// Rows of an n x width float32 working matrix per segment, so that one
// segment's rows fit the part of the cache a step can keep them in; n or
// more when the whole matrix fits and segments would not pay.
// VELMAR_SEGMENT_ROWS=k (k >= 1) forces k rows, VELMAR_SEGMENT_ROWS=off no
// segments; other values are ignored.
std::uint64_t segment_rows_for(std::uint64_t n, std::uint64_t width) noexcept;

// The block width a run of `columns` columns over n rows takes when memory
// allows it (at most columns). VELMAR_BLOCK_COLUMNS=k (k >= 1) forces
// min(k, columns); other values are ignored.
std::uint64_t preferred_block(std::uint64_t n, std::uint64_t columns) noexcept;

}  // namespace velmar
