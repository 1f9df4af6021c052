#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "kit/common/bytes.h"
#include "kit/transport/fast_event.h"

namespace tillerpad::kit {

// The key and clear-text session tag of one connection's fast channel, both
// exported from that connection's TLS session.
struct FastChannelKeys {
  std::array<std::uint8_t, 32> key{};
  std::uint32_t sessionTag = 0;

  static constexpr const char* exporterLabel = "EXPORTER-tillerpad-fast-v1";
  static constexpr std::size_t exporterLength = 36;

  // key = bytes 0-31, sessionTag = bytes 32-35 big-endian; nothing unless
  // exactly exporterLength bytes are given.
  static std::optional<FastChannelKeys> fromExportedBytes(ByteView exported);

  friend bool operator==(const FastChannelKeys&, const FastChannelKeys&) = default;
};

// Datagram: version(1)=1 sessionTag(4) sequence(8) | ciphertext | tag(16).
// The 13-byte header is the AEAD's associated data; the nonce is four zero
// bytes and the sequence. Plaintext: count(1), then per event type(1) dx(4) dy(4)
// as big-endian IEEE 754 single-precision bit patterns.
namespace FastPacket {

inline constexpr std::size_t maximumEvents = 32;
inline constexpr std::size_t headerLength = 13;
inline constexpr std::size_t tagLength = 16;
inline constexpr std::size_t minimumLength = headerLength + tagLength;                        // 29
inline constexpr std::size_t maximumLength = headerLength + 1 + 9 * maximumEvents + tagLength;  // 318

class PacketError : public std::runtime_error {
 public:
  enum class Case { malformed, authenticationFailed };
  explicit PacketError(Case c)
      : std::runtime_error(c == Case::malformed ? "Malformed fast-channel datagram"
                                                : "Fast-channel datagram failed authentication"),
        case_(c) {}
  Case errorCase() const { return case_; }

 private:
  Case case_;
};

struct Opened {
  std::uint64_t sequence = 0;
  std::vector<FastEvent> events;
};

// Carries the first maximumEvents events. Throws std::runtime_error only if
// the cipher itself fails.
Bytes seal(const std::vector<FastEvent>& events, std::uint64_t sequence, const FastChannelKeys& keys);

// Throws PacketError, or WireError::truncated when the plaintext is shorter
// than its count says. Unknown event types are skipped.
Opened open(ByteView datagram, const FastChannelKeys& keys);

// The clear-text tag, without decrypting; nothing when the bytes cannot be a datagram.
std::optional<std::uint32_t> sessionTag(ByteView datagram);

}  // namespace FastPacket

}  // namespace tillerpad::kit
