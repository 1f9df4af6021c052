// Whatever a desktop sends, tillerpad-remote prints it as exactly one line
// without control characters (no forged lines, no terminal escapes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kit/common/coding_error.h"
#include "kit/wire/message_codec.h"
#include "kit/wire/wire_error.h"
#include "tools/remote/output.h"

using namespace tillerpad;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kit::Message message = kit::Message::screenStop({});
  try {
    message = kit::MessageCodec::decode(kit::ByteView(data, size));
  } catch (const kit::WireError&) {
    return 0;
  } catch (const kit::DecodingError&) {
    return 0;
  }
  std::string line = remote::formatMessage(message);
  for (unsigned char c : line) {
    if (c < 0x20 || c == 0x7f) std::abort();
  }
  return 0;
}
