// Opens arbitrary datagrams under a fixed key. The first byte picks whether
// the input is taken as is or first sealed, so the fuzzer also reaches the
// plaintext rules behind the authentication check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "kit/transport/fast_packet.h"
#include "kit/wire/wire_error.h"

using namespace tillerpad::kit;

namespace {

// Seals `plaintext` as the sender would have, whatever it holds.
Bytes sealRaw(ByteView plaintext, const FastChannelKeys& keys);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  FastChannelKeys keys;
  keys.key.fill(0x42);
  keys.sessionTag = 0x01020304;
  ByteView input(data + 1, size - 1);
  Bytes datagram = (data[0] & 1) ? sealRaw(input, keys) : Bytes(input.begin(), input.end());
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

#include <openssl/evp.h>

namespace {

Bytes sealRaw(ByteView plaintext, const FastChannelKeys& keys) {
  Bytes out{1, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0, 0, 0, 1};
  std::uint8_t nonce[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  out.resize(13 + plaintext.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, keys.key.data(), nonce);
  EVP_EncryptUpdate(ctx, nullptr, &n, out.data(), 13);
  EVP_EncryptUpdate(ctx, out.data() + 13, &n, plaintext.data(), static_cast<int>(plaintext.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + 13 + n, &n);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + 13 + plaintext.size());
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

}  // namespace
