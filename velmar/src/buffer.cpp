// Fallible allocation of the large float buffers.
//
// Buffers of 1 MiB or more are mapped directly from the kernel: the pages
// arrive zeroed (no clearing pass), are aligned to 2 MiB and, where the
// platform has them, marked for transparent huge pages, which the row gathers
// of the propagation profit from. Smaller buffers come from calloc. The
// release function tells the two apart by the buffer's size, so the size is
// all a new owner must keep.
#include "buffer.h"

#include <cstdlib>

#include "platform.h"

namespace velmar {

namespace {

constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
// Mapped buffers are rounded up to whole 2 MiB pages.
constexpr std::uint64_t kHugePage = std::uint64_t{2} << 20;

}  // namespace

namespace detail {

void* allocate_bytes(std::size_t bytes) noexcept {
  return bytes >= kMapThreshold ? platform::map_zeroed(bytes)
                                : std::calloc(bytes, 1);
}

void free_bytes(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (bytes >= kMapThreshold) {
    platform::unmap_zeroed(data, bytes);
  } else {
    std::free(data);
  }
}

std::uint64_t footprint_bytes(std::uint64_t bytes) noexcept {
  if (bytes >= kMapThreshold) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
  }
  return bytes;
}

}  // namespace detail

std::optional<std::uint64_t> checked_bytes(std::uint64_t count,
                                           std::uint64_t elem_size,
                                           std::uint64_t align) noexcept {
  std::uint64_t bytes = 0;
  if (platform::mul_overflow(count, elem_size, &bytes)) return std::nullopt;
  if (bytes > max_alloc_bytes(align)) return std::nullopt;
  return bytes;
}

Result<FloatBuffer> FloatBuffer::allocate_zeroed(std::uint64_t count) {
  FloatBuffer buffer;
  if (count == 0) return buffer;
  const auto bytes = checked_bytes(count, sizeof(float), alignof(float));
  if (!bytes || *bytes > SIZE_MAX) {
    return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
  }
  void* data = detail::allocate_bytes(static_cast<std::size_t>(*bytes));
  if (data == nullptr) {
    return VelmarError::out_of_memory(
        TryReserveError::alloc_error(*bytes, alignof(float)));
  }
  buffer.data_ = static_cast<float*>(data);
  buffer.size_ = static_cast<std::size_t>(count);
  return buffer;
}

void FloatBuffer::free_floats(float* data, std::size_t /*length*/,
                              std::size_t capacity) noexcept {
  detail::free_bytes(data, capacity * sizeof(float));
}

}  // namespace velmar
