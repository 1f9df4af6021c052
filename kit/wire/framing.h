#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

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
  FrameDecoder() = default;
  // Movable; a moved-from decoder is empty.
  FrameDecoder(FrameDecoder&& other) noexcept { *this = std::move(other); }
  FrameDecoder& operator=(FrameDecoder&& other) noexcept {
    buffer_ = std::move(other.buffer_);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
    consumed_ = std::exchange(other.consumed_, 0);
    handedOver_ = std::exchange(other.handedOver_, false);
    return *this;
  }

  // Drops the payloads already taken, then adds `bytes`: one compaction per
  // read, however many frames the read held. Bytes that a reader wrote into
  // room() are taken where they are, without a copy.
  void append(ByteView bytes);

  // Writable space for up to `maximum` more bytes at the end of the buffer,
  // for a reader that reads straight into it and then append()s what it
  // wrote. While a frame larger than `maximum` is incomplete, the room stops
  // at that frame's end, so reads end on its boundary and nothing after it
  // has to be moved. Valid until the next append() or room().
  std::span<std::uint8_t> room(std::size_t maximum);

  // The next complete payload, or nothing until more bytes arrive; it points
  // into the buffer and stays valid until the next append() or room().
  // Throws WireError::frameTooLarge as soon as an oversized length is buffered.
  std::optional<ByteView> next();

  // Payloads from this size on may be handed over by share().
  static constexpr std::size_t shareMinimum = 64 * 1024;

  // For a payload that next() just returned: a keeper of its bytes, so that
  // what is decoded from it can hold on to them instead of copying them; null
  // when copying is the better deal (a small payload, or one that would keep
  // a buffer more than twice its size alive). The decoder leaves a buffer that
  // is kept this way to its keepers and goes on in a new one.
  std::shared_ptr<const void> share(ByteView payload);

  std::size_t bufferedBytes() const { return size_ - consumed_; }

 private:
  // Moves what is not yet taken to the front and makes space for `more` bytes.
  void reserve(std::size_t more);

  // Not a vector: the space handed out by room() is never zero-filled.
  // Shared only with the keepers of payloads handed over by share().
  std::shared_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;      // bytes held
  std::size_t consumed_ = 0;  // bytes at the front already handed out
  // share() gave the buffer away: it is never written again. Not judged by
  // use_count(), whose relaxed read would not order our writes after the
  // reads of a keeper on another thread.
  bool handedOver_ = false;
};

}  // namespace tillerpad::kit
