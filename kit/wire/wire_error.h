#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tillerpad::kit {

// Errors of the frame layer, the payload layout and the binary readers.
class WireError : public std::runtime_error {
 public:
  enum class Case { frameTooLarge, malformed, truncated };

  static WireError frameTooLarge(std::uint64_t length) { return WireError(Case::frameTooLarge, length, {}); }
  static WireError malformed(std::string reason) { return WireError(Case::malformed, 0, std::move(reason)); }
  static WireError truncated() { return WireError(Case::truncated, 0, {}); }

  Case errorCase() const { return case_; }
  // The offending length, for frameTooLarge.
  std::uint64_t length() const { return length_; }
  // The reason text, for malformed.
  const std::string& reason() const { return reason_; }

  friend bool operator==(const WireError& a, const WireError& b) {
    return a.case_ == b.case_ && a.length_ == b.length_ && a.reason_ == b.reason_;
  }

 private:
  WireError(Case c, std::uint64_t length, std::string reason);

  Case case_;
  std::uint64_t length_;
  std::string reason_;
};

}  // namespace tillerpad::kit
