#pragma once
// Seals any plaintext as a fast-channel datagram with OpenSSL directly,
// independently of FastPacket::seal: for plaintexts seal never makes, and as
// a cross-check of the datagram layout.

#include <openssl/evp.h>

#include <cstdint>

#include "kit/transport/fast_packet.h"

namespace tillerpad::kit::testing {

inline Bytes sealPlaintext(ByteView plaintext, std::uint64_t sequence, const FastChannelKeys& keys) {
  Bytes out{1};
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(keys.sessionTag >> s));
  for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(sequence >> s));
  std::uint8_t nonce[12] = {};
  std::copy(out.begin() + 5, out.end(), nonce + 4);
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

}  // namespace tillerpad::kit::testing
