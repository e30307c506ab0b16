// CRC32C (Castagnoli) of byte ranges: the checksum that prepared graphs and
// results on disk record of their data, chunk by chunk. Hardware instructions
// where the CPU has them (SSE4.2 on x86-64, chosen while the library loads;
// the CRC extension on AArch64), a table-driven loop with the same values
// everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "error.h"
#include "graph.h"

namespace velmar {

// The CRC32C of `size` bytes at `data`, continuing a checksum `crc` of the
// bytes before them (0 for none): crc32c(crc32c(0, a), b) is the checksum
// of a followed by b. crc32c(0, "123456789", 9) == 0xE3069283.
std::uint32_t crc32c(std::uint32_t crc, const void* data,
                     std::size_t size) noexcept;

// Which implementation crc32c runs: "sse4.2", "arm-crc" or "table".
const char* crc32c_implementation() noexcept;

// The checksum of each `chunk_bytes` piece of the `size` bytes at `data`
// (the last piece may be shorter) into out[0 .. ceil(size / chunk_bytes)),
// the pieces spread over the current worker pool. `data` is only read; it
// may be a memory-mapped file. Errors: Cancelled when `cancel` is raised
// (out is then partly written); ShapeMismatch for a zero chunk size.
Status chunk_checksums(const void* data, std::uint64_t size,
                       std::uint64_t chunk_bytes, std::uint32_t* out,
                       const CancelFlag* cancel);

namespace detail {
// The two implementations, for tests that compare them. crc32c_hardware
// may be called only when crc32c_hardware_available().
std::uint32_t crc32c_portable(std::uint32_t crc, const void* data,
                              std::size_t size) noexcept;
bool crc32c_hardware_available() noexcept;
std::uint32_t crc32c_hardware(std::uint32_t crc, const void* data,
                              std::size_t size) noexcept;
}  // namespace detail

}  // namespace velmar
