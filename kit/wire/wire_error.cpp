#include "kit/wire/wire_error.h"

#include <fmt/format.h>

namespace tillerpad::kit {
namespace {

std::string describe(WireError::Case c, std::uint64_t length, const std::string& reason) {
  switch (c) {
    case WireError::Case::frameTooLarge: return fmt::format("Frame too large: {} bytes", length);
    case WireError::Case::malformed: return fmt::format("Malformed message: {}", reason);
    case WireError::Case::truncated: return "Truncated message";
  }
  return "Wire error";
}

}  // namespace

WireError::WireError(Case c, std::uint64_t length, std::string reason)
    : std::runtime_error(describe(c, length, reason)), case_(c), length_(length), reason_(std::move(reason)) {}

}  // namespace tillerpad::kit
