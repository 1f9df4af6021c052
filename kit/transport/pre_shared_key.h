#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "kit/wire/session_messages.h"

namespace tillerpad::kit {

// One TLS pre-shared key: the identity the client sends (its text, 38 bytes)
// and the 32 raw key bytes.
struct PreSharedKey {
  static constexpr std::size_t keyLength = 32;
  using Key = std::array<std::uint8_t, keyLength>;

  PeerIdentity identity = PeerIdentity::device(Uuid());
  Key key{};

  friend bool operator==(const PreSharedKey&, const PreSharedKey&) = default;
};

// For logs: the identity, never the key.
inline std::string describe(const PreSharedKey& psk) {
  return "PreSharedKey(identity: " + psk.identity.text() + ", key: <redacted>)";
}

}  // namespace tillerpad::kit
