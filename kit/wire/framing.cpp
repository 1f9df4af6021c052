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

std::optional<Bytes> FrameDecoder::next() {
  if (buffer_.size() < 4) return std::nullopt;
  std::uint64_t length = (std::uint64_t{buffer_[0]} << 24) | (std::uint64_t{buffer_[1]} << 16) |
                         (std::uint64_t{buffer_[2]} << 8) | buffer_[3];
  // Checked before waiting for the payload, so an oversized announcement fails
  // with only its four length bytes in.
  if (length > Framing::maxPayloadLength) throw WireError::frameTooLarge(length);
  if (buffer_.size() < length + 4) return std::nullopt;
  auto begin = buffer_.begin() + 4;
  auto end = begin + static_cast<std::ptrdiff_t>(length);
  Bytes payload(begin, end);
  buffer_.erase(buffer_.begin(), end);
  return payload;
}

}  // namespace tillerpad::kit
