// Rendering of VelmarError to the text users see.
#include "error.h"

#include <charconv>
#include <cstdio>
#include <type_traits>

namespace velmar {

namespace {

int log2_of(std::uint64_t power_of_two) {
  int n = 0;
  while (power_of_two > 1) {
    power_of_two >>= 1;
    ++n;
  }
  return n;
}

// The text between "size: " and the next comma, parsed as an unsigned 64-bit
// decimal with an optional leading '+'. Anything else yields nothing.
std::optional<std::uint64_t> requested_size(std::string_view raw) {
  constexpr std::string_view kMarker = "size: ";
  const auto at = raw.find(kMarker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = raw.substr(at + kMarker.size());
  const auto comma = rest.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view digits = rest.substr(0, comma);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{} || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string render_raw(const TryReserveError& e) {
  if (e.kind == TryReserveError::Kind::CapacityOverflow) {
    return "TryReserveError { kind: CapacityOverflow }";
  }
  return "TryReserveError { kind: AllocError { layout: Layout { size: " +
         std::to_string(e.layout.size) +
         ", align: " + std::to_string(e.layout.align) + " (1 << " +
         std::to_string(log2_of(e.layout.align)) +
         ") }, non_exhaustive: () } }";
}

std::string requested_memory_line(std::string_view raw) {
  const auto bytes = requested_size(raw);
  if (!bytes) return "Requested Memory: Unknown";
  // Mebibytes, printed as MB. "%.2f" rounds the exact binary value to
  // nearest with ties to even, which is what we promise.
  const double mb = static_cast<double>(*bytes) * 0x1p-20;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", mb);
  return std::string("Requested Memory: ") + text + " MB";
}

std::string render(const VelmarError& e) {
  return std::visit(
      [](const auto& alt) -> std::string {
        using T = std::decay_t<decltype(alt)>;
        if constexpr (std::is_same_v<T, ShapeMismatch>) {
          return "Shape mismatch: " + alt.message;
        } else if constexpr (std::is_same_v<T, Cancelled>) {
          return "Cancelled";
        } else if constexpr (std::is_same_v<T, InvalidInput>) {
          return alt.message;
        } else {
          const std::string raw = render_raw(alt.reservation);
          return "Out Of Memory (OOM): The system could not allocate enough "
                 "memory.\n- " +
                 requested_memory_line(raw) +
                 "\nTry reducing the number of nodes or the embedding "
                 "dimension.\n\nRaw Error:\n" +
                 raw;
        }
      },
      e.kind);
}

}  // namespace velmar
