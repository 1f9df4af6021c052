#include "kit/transport/fast_packet.h"

#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>

#include "kit/wire/byte_reader.h"

namespace tillerpad::kit {
namespace {

constexpr std::uint8_t kVersion = 1;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

void putBigEndian(Bytes& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::array<std::uint8_t, 12> nonceFor(std::uint64_t sequence) {
  std::array<std::uint8_t, 12> nonce{};
  for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(sequence >> (8 * (7 - i)));
  return nonce;
}

std::uint32_t readTag(ByteView datagram) {
  return (std::uint32_t{datagram[1]} << 24) | (std::uint32_t{datagram[2]} << 16) |
         (std::uint32_t{datagram[3]} << 8) | datagram[4];
}

// Exponent bits all ones: infinity or NaN.
bool isFiniteBits(std::uint32_t bits) { return (bits & 0x7F800000u) != 0x7F800000u; }

}  // namespace

std::optional<FastChannelKeys> FastChannelKeys::fromExportedBytes(ByteView exported) {
  if (exported.size() != exporterLength) return std::nullopt;
  FastChannelKeys keys;
  std::copy_n(exported.begin(), 32, keys.key.begin());
  keys.sessionTag = (std::uint32_t{exported[32]} << 24) | (std::uint32_t{exported[33]} << 16) |
                    (std::uint32_t{exported[34]} << 8) | exported[35];
  return keys;
}

Bytes FastPacket::seal(const std::vector<FastEvent>& events, std::uint64_t sequence, const FastChannelKeys& keys) {
  std::size_t count = std::min(events.size(), maximumEvents);
  Bytes plaintext;
  plaintext.reserve(1 + 9 * count);
  plaintext.push_back(static_cast<std::uint8_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    plaintext.push_back(static_cast<std::uint8_t>(events[i].kind));
    putBigEndian(plaintext, std::bit_cast<std::uint32_t>(events[i].dx), 4);
    putBigEndian(plaintext, std::bit_cast<std::uint32_t>(events[i].dy), 4);
  }

  Bytes out;
  out.reserve(headerLength + plaintext.size() + tagLength);
  out.push_back(kVersion);
  putBigEndian(out, keys.sessionTag, 4);
  putBigEndian(out, sequence, 8);
  out.resize(headerLength + plaintext.size() + tagLength);

  auto nonce = nonceFor(sequence);
  CipherContext ctx(EVP_CIPHER_CTX_new());
  int length = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, keys.key.data(), nonce.data()) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &length, out.data(), static_cast<int>(headerLength)) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.data() + headerLength, &length, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.data() + headerLength + length, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tagLength),
                          out.data() + headerLength + plaintext.size()) != 1) {
    throw std::runtime_error("ChaCha20-Poly1305 sealing failed");
  }
  return out;
}

FastPacket::Opened FastPacket::open(ByteView datagram, const FastChannelKeys& keys) {
  using Case = PacketError::Case;
  if (datagram.size() < minimumLength || datagram[0] != kVersion) throw PacketError(Case::malformed);
  if (readTag(datagram) != keys.sessionTag) throw PacketError(Case::malformed);

  ByteReader header(datagram.first(headerLength));
  header.readView(5);
  std::uint64_t sequence = header.readUInt64();
  ByteView ciphertext = datagram.subspan(headerLength, datagram.size() - minimumLength);
  ByteView tag = datagram.last(tagLength);

  Bytes plaintext(ciphertext.size());
  auto nonce = nonceFor(sequence);
  CipherContext ctx(EVP_CIPHER_CTX_new());
  int length = 0;
  bool ok = ctx &&
            EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, keys.key.data(), nonce.data()) == 1 &&
            EVP_DecryptUpdate(ctx.get(), nullptr, &length, datagram.data(), static_cast<int>(headerLength)) == 1 &&
            EVP_DecryptUpdate(ctx.get(), plaintext.data(), &length, ciphertext.data(),
                              static_cast<int>(ciphertext.size())) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(tagLength),
                                const_cast<std::uint8_t*>(tag.data())) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + length, &length) == 1;
  if (!ok) throw PacketError(Case::authenticationFailed);

  ByteReader reader(plaintext);
  std::uint8_t count = reader.readUInt8();
  if (count > maximumEvents) throw PacketError(Case::malformed);
  Opened result{sequence, {}};
  result.events.reserve(count);
  for (std::uint8_t i = 0; i < count; ++i) {
    std::uint8_t type = reader.readUInt8();
    std::uint32_t dx = reader.readUInt32();
    std::uint32_t dy = reader.readUInt32();
    if (!isFiniteBits(dx) || !isFiniteBits(dy)) throw PacketError(Case::malformed);
    // Newer peers may add event types: skip what we do not know.
    if (type != static_cast<std::uint8_t>(FastEvent::Kind::pointerMove) &&
        type != static_cast<std::uint8_t>(FastEvent::Kind::scroll)) {
      continue;
    }
    result.events.push_back({static_cast<FastEvent::Kind>(type), std::bit_cast<float>(dx), std::bit_cast<float>(dy)});
  }
  return result;
}

std::optional<std::uint32_t> FastPacket::sessionTag(ByteView datagram) {
  if (datagram.size() < minimumLength || datagram[0] != kVersion) return std::nullopt;
  return readTag(datagram);
}

}  // namespace tillerpad::kit
