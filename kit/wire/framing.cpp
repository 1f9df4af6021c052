#include "kit/wire/framing.h"

#include <algorithm>
#include <cstring>

#include "kit/wire/wire_error.h"

namespace tillerpad::kit {

void Framing::writeHeader(std::uint64_t length, std::uint8_t out[4]) {
  if (length > maxPayloadLength) throw WireError::frameTooLarge(length);
  out[0] = static_cast<std::uint8_t>(length >> 24);
  out[1] = static_cast<std::uint8_t>(length >> 16);
  out[2] = static_cast<std::uint8_t>(length >> 8);
  out[3] = static_cast<std::uint8_t>(length);
}

Bytes Framing::frame(ByteView payload) {
  std::uint8_t header[4];
  writeHeader(payload.size(), header);
  Bytes out;
  out.reserve(payload.size() + 4);
  for (std::uint8_t b : header) out.push_back(b);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

void FrameDecoder::reserve(std::size_t more) {
  if (handedOver_) {
    // Payloads in this buffer were handed over: it is theirs now. A new one
    // of the same size, so that a frame as large as the last needs no growing.
    std::size_t held = size_ - consumed_;
    std::size_t capacity = std::max(capacity_, held + more);
    auto fresh = std::make_shared_for_overwrite<std::uint8_t[]>(capacity);
    if (held > 0) std::memcpy(fresh.get(), buffer_.get() + consumed_, held);
    buffer_ = std::move(fresh);
    capacity_ = capacity;
    size_ = held;
    consumed_ = 0;
    handedOver_ = false;
    return;
  }
  if (consumed_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + consumed_, size_ - consumed_);
    size_ -= consumed_;
    consumed_ = 0;
  }
  if (capacity_ - size_ >= more) return;
  std::size_t capacity = std::max(size_ + more, capacity_ + capacity_ / 2);
  auto grown = std::make_shared_for_overwrite<std::uint8_t[]>(capacity);
  if (size_ > 0) std::memcpy(grown.get(), buffer_.get(), size_);
  buffer_ = std::move(grown);
  capacity_ = capacity;
}

std::span<std::uint8_t> FrameDecoder::room(std::size_t maximum) {
  std::size_t available = size_ - consumed_;
  if (available >= 4) {
    const std::uint8_t* head = buffer_.get() + consumed_;
    std::uint64_t length = (std::uint64_t{head[0]} << 24) | (std::uint64_t{head[1]} << 16) |
                           (std::uint64_t{head[2]} << 8) | head[3];
    // An oversized announcement fails in next(); any room will do here.
    if (length <= Framing::maxPayloadLength && length + 4 > available) {
      maximum = std::min<std::uint64_t>(maximum, std::max<std::uint64_t>(length + 4 - available, 1));
    }
  }
  reserve(maximum);
  return {buffer_.get() + size_, maximum};
}

void FrameDecoder::append(ByteView bytes) {
  if (bytes.empty()) return;
  if (buffer_ && bytes.data() == buffer_.get() + size_ && bytes.size() <= capacity_ - size_) {
    size_ += bytes.size();  // written into room() already
    return;
  }
  reserve(bytes.size());
  std::memcpy(buffer_.get() + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

std::shared_ptr<const void> FrameDecoder::share(ByteView payload) {
  if (!buffer_ || payload.size() < shareMinimum || payload.size() * 2 < capacity_) return nullptr;
  // Only a payload next() handed out from this buffer (after the last one,
  // size_ is back at 0, so the capacity is the bound).
  if (payload.data() < buffer_.get() || payload.data() + payload.size() > buffer_.get() + capacity_) return nullptr;
  handedOver_ = true;
  return buffer_;
}

std::optional<ByteView> FrameDecoder::next() {
  std::size_t available = size_ - consumed_;
  if (available < 4) return std::nullopt;
  const std::uint8_t* head = buffer_.get() + consumed_;
  std::uint64_t length = (std::uint64_t{head[0]} << 24) | (std::uint64_t{head[1]} << 16) |
                         (std::uint64_t{head[2]} << 8) | head[3];
  // Checked before waiting for the payload, so an oversized announcement fails
  // with only its four length bytes in.
  if (length > Framing::maxPayloadLength) throw WireError::frameTooLarge(length);
  if (available < length + 4) return std::nullopt;
  ByteView payload(head + 4, static_cast<std::size_t>(length));
  consumed_ += 4 + static_cast<std::size_t>(length);
  if (consumed_ == size_) {
    // Everything taken: the next bytes go to the front, nothing to move.
    size_ = 0;
    consumed_ = 0;
  }
  return payload;
}

}  // namespace tillerpad::kit
