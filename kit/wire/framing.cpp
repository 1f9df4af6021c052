#include "kit/wire/framing.h"

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

void FrameDecoder::append(ByteView bytes) {
  if (consumed_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Bytes> FrameDecoder::next() {
  std::size_t available = buffer_.size() - consumed_;
  if (available < 4) return std::nullopt;
  const std::uint8_t* head = buffer_.data() + consumed_;
  std::uint64_t length = (std::uint64_t{head[0]} << 24) | (std::uint64_t{head[1]} << 16) |
                         (std::uint64_t{head[2]} << 8) | head[3];
  // Checked before waiting for the payload, so an oversized announcement fails
  // with only its four length bytes in.
  if (length > Framing::maxPayloadLength) throw WireError::frameTooLarge(length);
  if (available < length + 4) return std::nullopt;
  Bytes payload(head + 4, head + 4 + length);
  consumed_ += 4 + static_cast<std::size_t>(length);
  if (consumed_ == buffer_.size()) {
    buffer_.clear();  // keeps the capacity for the next read
    consumed_ = 0;
  }
  return payload;
}

}  // namespace tillerpad::kit
