// Fallible reservation of the large buffers: the graph store's sequences and
// the engine's n x dim float32 matrices.
//
// A refused request comes back as an OutOfMemory value carrying the size and
// alignment that a user can act on; no std::bad_alloc escapes, nothing aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "error.h"

namespace velmar {

// Largest object the allocator may be asked for: 2^63 - 1 - (align - 1).
constexpr std::uint64_t max_alloc_bytes(std::uint64_t align) noexcept {
  return static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) -
         (align - 1);
}

// Byte count of `count` elements of `elem_size` bytes, or CapacityOverflow.
std::optional<std::uint64_t> checked_bytes(std::uint64_t count,
                                           std::uint64_t elem_size,
                                           std::uint64_t align) noexcept;

// Grows `v`'s capacity to exactly `count` elements or reports why it cannot.
// The alignment reported on refusal is that of T (8 for the graph store).
template <class T>
Status try_reserve(std::vector<T>& v, std::uint64_t count) {
  auto bytes = checked_bytes(count, sizeof(T), alignof(T));
  if (!bytes || count > v.max_size()) {
    return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
  }
  try {
    v.reserve(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    return VelmarError::out_of_memory(
        TryReserveError::alloc_error(*bytes, alignof(T)));
  } catch (const std::length_error&) {
    return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
  }
  return ok_status();
}

namespace detail {
// The allocator of every large buffer: `bytes` (> 0) from calloc below 1 MiB,
// mapped from the kernel (zeroed, 2 MiB aligned, huge pages advised) from
// 1 MiB on. Returns nullptr when refused. free_bytes needs the same size.
void* allocate_bytes(std::size_t bytes) noexcept;
void free_bytes(void* data, std::size_t bytes) noexcept;
// Bytes that allocate_bytes(bytes) takes from the system, rounded as it
// rounds them: the figure the memory plan adds up.
std::uint64_t footprint_bytes(std::uint64_t bytes) noexcept;
}  // namespace detail

// An owned array of `size()` trivially copyable T from detail::allocate_bytes,
// every element zero at first. Move-only.
template <class T>
class Buffer {
 public:
  Buffer() noexcept = default;
  Buffer(Buffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)) {}
  Buffer& operator=(Buffer&& o) noexcept {
    Buffer tmp(std::move(o));
    std::swap(data_, tmp.data_);
    std::swap(size_, tmp.size_);
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { reset(); }

  // Reserves `count` elements. A refusal is reported with the element
  // layout of T; an element count whose byte size overflows is
  // CapacityOverflow.
  static Result<Buffer> allocate(std::uint64_t count) {
    Buffer b;
    if (count == 0) return b;
    const auto bytes = checked_bytes(count, sizeof(T), alignof(T));
    if (!bytes || *bytes > std::numeric_limits<std::size_t>::max()) {
      return VelmarError::out_of_memory(TryReserveError::capacity_overflow());
    }
    void* p = detail::allocate_bytes(static_cast<std::size_t>(*bytes));
    if (p == nullptr) {
      return VelmarError::out_of_memory(
          TryReserveError::alloc_error(*bytes, alignof(T)));
    }
    b.data_ = static_cast<T*>(p);
    b.size_ = static_cast<std::size_t>(count);
    return b;
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  void reset() noexcept {
    if (data_ != nullptr) detail::free_bytes(data_, size_ * sizeof(T));
    data_ = nullptr;
    size_ = 0;
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

// The ownership of a float buffer handed to a new owner (the Python result
// array): start, length and capacity in elements, and the function that
// releases it. The receiver must call `release(data, length, capacity)` once.
struct RawFloatBuffer {
  float* data = nullptr;
  std::size_t length = 0;
  std::size_t capacity = 0;
  void (*release)(float* data, std::size_t length,
                  std::size_t capacity) = nullptr;
};

// An owned, zero-initialised float32 buffer. Move-only: these buffers are
// large, and a copy is always a mistake.
class FloatBuffer {
 public:
  FloatBuffer() noexcept = default;
  FloatBuffer(FloatBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)) {}
  FloatBuffer& operator=(FloatBuffer&& o) noexcept {
    FloatBuffer tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() { free_floats(data_, size_, size_); }

  // Reserves `count` floats, every one +0.0. A count of 0 reserves nothing.
  // Refusals are reported with the element layout of a float array
  // (count * 4 bytes at alignment 4).
  static Result<FloatBuffer> allocate_zeroed(std::uint64_t count);

  float* data() noexcept { return data_; }
  const float* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  void swap(FloatBuffer& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
  }

  // Gives the buffer away; this object is empty afterwards.
  RawFloatBuffer release() noexcept {
    RawFloatBuffer raw{data_, size_, size_, &free_floats};
    data_ = nullptr;
    size_ = 0;
    return raw;
  }

  // The release function stored with a handed-over buffer.
  static void free_floats(float* data, std::size_t length,
                          std::size_t capacity) noexcept;

 private:
  float* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velmar
