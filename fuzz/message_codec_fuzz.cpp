// Decodes arbitrary payloads; what decodes must encode again and decode to an
// equal message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kit/common/coding_error.h"
#include "kit/wire/message_codec.h"
#include "kit/wire/wire_error.h"

using namespace tillerpad::kit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Message message = Message::screenStop({});
  try {
    message = MessageCodec::decode(ByteView(data, size));
  } catch (const WireError&) {
    return 0;
  } catch (const DecodingError&) {
    return 0;
  }
  if (message.isUnknown()) return 0;
  Bytes again;
  try {
    again = MessageCodec::encode(message);
  } catch (const EncodingError&) {
    // Doubles read from JSON are finite and strings valid UTF-8, so a decoded
    // message always encodes.
    std::abort();
  }
  if (!(MessageCodec::decode(again) == message)) std::abort();
  return 0;
}
