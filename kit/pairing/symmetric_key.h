#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "kit/common/bytes.h"

namespace tillerpad::kit {

// A 256-bit key: pairing keys, device keys and pairing secrets. The bytes are
// wiped when the value goes away, and equality takes constant time.
class SymmetricKey {
 public:
  static constexpr std::size_t size = 32;
  using Storage = std::array<std::uint8_t, size>;

  // All zero until assigned.
  SymmetricKey() = default;
  explicit SymmetricKey(const Storage& bytes) : bytes_(bytes) {}
  SymmetricKey(const SymmetricKey&) = default;
  SymmetricKey& operator=(const SymmetricKey&) = default;
  ~SymmetricKey();

  // Nothing unless `bytes` holds exactly 32 bytes.
  static std::optional<SymmetricKey> fromBytes(ByteView bytes);
  // 32 bytes from the cryptographic random source.
  static SymmetricKey random();

  ByteView bytes() const { return bytes_; }
  Bytes copy() const { return Bytes(bytes_.begin(), bytes_.end()); }

  friend bool operator==(const SymmetricKey& a, const SymmetricKey& b);

 private:
  Storage bytes_{};
};

}  // namespace tillerpad::kit
