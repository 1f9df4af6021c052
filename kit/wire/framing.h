#pragma once

#include <cstdint>
#include <optional>

#include "kit/common/bytes.h"

namespace tillerpad::kit {

// Length-prefixed frames: a 4-byte big-endian payload length, then the payload.
namespace Framing {

inline constexpr std::uint32_t maxPayloadLength = 33'554'432;  // 32 MiB, inclusive

// Throws WireError::frameTooLarge for a payload above the maximum.
Bytes frame(ByteView payload);

// Writes the 4-byte length prefix for `length` into `out`; throws like frame().
void writeHeader(std::uint64_t length, std::uint8_t out[4]);

}  // namespace Framing

// Cuts a received byte stream into payloads. Owned by one connection and never
// reset; after a frameTooLarge failure the connection is abandoned with it.
class FrameDecoder {
 public:
  // Drops the payloads already taken, then adds `bytes`: one compaction per
  // read, however many frames the read held.
  void append(ByteView bytes);

  // The next complete payload, or nothing until more bytes arrive. Throws
  // WireError::frameTooLarge as soon as an oversized length is buffered.
  std::optional<Bytes> next();

  std::size_t bufferedBytes() const { return buffer_.size() - consumed_; }

 private:
  Bytes buffer_;
  std::size_t consumed_ = 0;  // bytes at the front already handed out
};

}  // namespace tillerpad::kit
