#include "kit/wire/byte_reader.h"

namespace tillerpad::kit {

ByteView ByteReader::readView(std::int64_t count) {
  if (count < 0 || static_cast<std::uint64_t>(count) > remaining()) throw WireError::truncated();
  ByteView view = data_.subspan(offset_, static_cast<std::size_t>(count));
  offset_ += static_cast<std::size_t>(count);
  return view;
}

std::uint64_t ByteReader::readBigEndian(std::size_t count) {
  if (count > remaining()) throw WireError::truncated();
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | data_[offset_ + i];
  offset_ += count;
  return value;
}

}  // namespace tillerpad::kit
