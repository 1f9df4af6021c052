#pragma once

#include <cstddef>
#include <cstdint>

#include "kit/common/bytes.h"
#include "kit/wire/wire_error.h"

namespace tillerpad::kit {

// Bounded big-endian reader. A read past the end throws WireError::truncated
// and leaves the offset where it was.
class ByteReader {
 public:
  explicit ByteReader(ByteView data) : data_(data) {}

  std::uint8_t readUInt8() { return static_cast<std::uint8_t>(readBigEndian(1)); }
  std::uint16_t readUInt16() { return static_cast<std::uint16_t>(readBigEndian(2)); }
  std::uint32_t readUInt32() { return static_cast<std::uint32_t>(readBigEndian(4)); }
  std::uint64_t readUInt64() { return readBigEndian(8); }
  Bytes readBytes(std::int64_t count) {
    ByteView view = readView(count);
    return Bytes(view.begin(), view.end());
  }
  // Like readBytes, without a copy: the view points into the reader's data.
  ByteView readView(std::int64_t count);

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return data_.size() - offset_; }
  bool atEnd() const { return offset_ == data_.size(); }
  ByteView data() const { return data_; }

 private:
  std::uint64_t readBigEndian(std::size_t count);

  ByteView data_;
  std::size_t offset_ = 0;
};

}  // namespace tillerpad::kit
