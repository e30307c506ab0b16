// The engine's error type and the result type that carries it.
//
// Every fallible operation of the graph store and the engine returns a
// Result<T>: either its value or a VelmarError. Nothing is thrown between
// subsystems; a C++ exception means a broken internal assumption and is turned
// into an internal fault at the module boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace velmar {

// Size and alignment of a reservation that the allocator refused.
struct Layout {
  std::uint64_t size = 0;   // bytes
  std::uint64_t align = 1;  // a power of two
};

// One failed reservation of a large buffer.
struct TryReserveError {
  enum class Kind { CapacityOverflow, AllocError };
  Kind kind = Kind::CapacityOverflow;
  Layout layout;  // meaningful for AllocError only

  static TryReserveError capacity_overflow() noexcept { return {}; }
  static TryReserveError alloc_error(std::uint64_t size,
                                     std::uint64_t align) noexcept {
    return {Kind::AllocError, Layout{size, align}};
  }
};

// The one-line raw text of a failed reservation, for example
// "TryReserveError { kind: CapacityOverflow }".
std::string render_raw(const TryReserveError& e);

struct ShapeMismatch {
  std::string message;
};

struct OutOfMemory {
  TryReserveError reservation;
};

// An option or an input of the engine that it cannot use as given; the
// message is the whole text users see.
struct InvalidInput {
  std::string message;
};

// A run stopped because its caller asked it to (only the package's engine
// module can ask).
struct Cancelled {};

struct VelmarError {
  std::variant<ShapeMismatch, OutOfMemory, Cancelled, InvalidInput> kind;

  static VelmarError shape_mismatch(std::string message) {
    return VelmarError{ShapeMismatch{std::move(message)}};
  }
  static VelmarError out_of_memory(TryReserveError reservation) {
    return VelmarError{OutOfMemory{reservation}};
  }
  static VelmarError cancelled() { return VelmarError{Cancelled{}}; }
  static VelmarError invalid_input(std::string message) {
    return VelmarError{InvalidInput{std::move(message)}};
  }
  bool is_cancelled() const noexcept {
    return std::holds_alternative<Cancelled>(kind);
  }
};

// The text shown to users: "Shape mismatch: <message>", an invalid input's
// message as it is, or the six-line out-of-memory report with the requested
// size in MB.
std::string render(const VelmarError& e);

// Formats the "Requested Memory: ..." line for a raw reservation text.
std::string requested_memory_line(std::string_view raw);

// Either a value or a VelmarError. Accessing the wrong alternative throws
// std::bad_variant_access: an internal fault, never undefined behaviour.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(VelmarError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  T& operator*() & { return value(); }

  VelmarError& error() & { return std::get<1>(v_); }
  const VelmarError& error() const& { return std::get<1>(v_); }
  VelmarError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, VelmarError> v_;
};

// Result of an operation that yields nothing but may fail.
using Status = Result<std::monostate>;
inline Status ok_status() { return Status{std::monostate{}}; }

}  // namespace velmar
