// Opens arbitrary datagrams under a fixed key. The first byte picks whether
// the input is taken as is or first sealed, so the fuzzer also reaches the
// plaintext rules behind the authentication check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "kit/transport/fast_packet.h"
#include "kit/wire/wire_error.h"
#include "tests/support/seal_plaintext.h"

using namespace tillerpad::kit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  FastChannelKeys keys;
  keys.key.fill(0x42);
  keys.sessionTag = 0x01020304;
  ByteView input(data + 1, size - 1);
  Bytes datagram = (data[0] & 1) ? testing::sealPlaintext(input, 1, keys) : Bytes(input.begin(), input.end());
  (void)FastPacket::sessionTag(datagram);
  try {
    auto opened = FastPacket::open(datagram, keys);
    if (opened.events.size() > FastPacket::maximumEvents) std::abort();
    // What opens seals again to the same events.
    auto again = FastPacket::open(FastPacket::seal(opened.events, opened.sequence, keys), keys);
    if (!(again.events == opened.events)) std::abort();
  } catch (const FastPacket::PacketError&) {
  } catch (const WireError&) {
  }
  return 0;
}
