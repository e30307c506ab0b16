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

// Columns per block once the working matrix no longer fits the cache: a
// step then gathers each entry's row from memory, where rows of 256 bytes
// ran faster than rows of 128 (the 32 columns used before) or 512.
inline constexpr std::uint64_t kMemoryBlock = 64;

// The block width a run of `columns` columns over n rows takes when memory
// allows it: all columns when an n x columns working matrix fits half the
// cache, else min(columns, kMemoryBlock). VELMAR_BLOCK_COLUMNS=k (k >= 1)
// forces min(k, columns); other values are ignored.
std::uint64_t preferred_block(std::uint64_t n, std::uint64_t columns) noexcept;

// Rows per segment of a step over an n x width working matrix and a graph of
// `entries` entries: half the cache's worth of rows when segments pay, n
// otherwise (none). They pay when the matrix does not fit that half and the
// traffic they add, the running sums (each piece after a row's first reads
// and writes its row, every piece writes it) and the pieces themselves,
// stays within half of the traffic of the gathers from memory they replace
// (each entry's row, in whole 64-byte lines); pieces are counted at their
// most, min(entries + n, segments * n). The figure never decreases as
// `entries` grows. VELMAR_SEGMENT_ROWS=k (k >= 1) forces k rows,
// VELMAR_SEGMENT_ROWS=off no segments; other values are ignored.
std::uint64_t segment_rows_for(std::uint64_t n, std::uint64_t entries,
                               std::uint64_t width) noexcept;

}  // namespace velmar
