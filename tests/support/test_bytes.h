#pragma once
// Byte builders the tests share: hex text, counting runs, fixed keys, and
// codec payloads written by hand (independently of MessageCodec::encode).

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "kit/common/bytes.h"
#include "kit/common/uuid.h"
#include "kit/pairing/symmetric_key.h"
#include "kit/transport/fast_packet.h"
#include "kit/transport/pre_shared_key.h"

namespace tillerpad::kit::testing {

inline std::string toHex(ByteView bytes) {
  std::string out;
  for (auto b : bytes) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 0x0F]};
  return out;
}

inline Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// from, from + 1, ... (wrapping), `count` bytes.
inline Bytes counting(std::uint8_t from, std::size_t count) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(from + i);
  return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A device identity's PSK whose key bytes count up from `from`.
inline PreSharedKey fixedKey(std::uint8_t from, const char* uuid) {
  PreSharedKey psk{PeerIdentity::device(*Uuid::parse(uuid)), {}};
  for (std::size_t i = 0; i < psk.key.size(); ++i) psk.key[i] = static_cast<std::uint8_t>(from + i);
  return psk;
}

inline PreSharedKey pskOf(PeerIdentity identity, const SymmetricKey& key) {
  PreSharedKey psk{std::move(identity), {}};
  std::copy(key.bytes().begin(), key.bytes().end(), psk.key.begin());
  return psk;
}

// Fast-channel keys whose key bytes count up from `from`.
inline FastChannelKeys fastKeys(std::uint32_t tag = 0x01020304, std::uint8_t from = 0) {
  FastChannelKeys keys{.sessionTag = tag};
  for (std::size_t i = 0; i < keys.key.size(); ++i) keys.key[i] = static_cast<std::uint8_t>(from + i);
  return keys;
}

// A message payload: 32-bit JSON length, the JSON, a 16-bit attachment count
// (`count`, or the number of attachments), each attachment with its 32-bit length.
inline Bytes payload(std::string_view json, const std::vector<Bytes>& attachments = {}, std::size_t count = SIZE_MAX) {
  Bytes out;
  auto put32 = [&](std::size_t v) {
    for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<std::uint8_t>(v >> shift));
  };
  put32(json.size());
  out.insert(out.end(), json.begin(), json.end());
  std::size_t n = count == SIZE_MAX ? attachments.size() : count;
  out.push_back(static_cast<std::uint8_t>(n >> 8));
  out.push_back(static_cast<std::uint8_t>(n));
  for (const auto& a : attachments) {
    put32(a.size());
    out.insert(out.end(), a.begin(), a.end());
  }
  return out;
}

}  // namespace tillerpad::kit::testing
