#include "kit/pairing/pairing_payload.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <optional>

#include "kit/common/base64.h"
#include "kit/wire/byte_reader.h"

namespace tillerpad::kit {
namespace {

using std::chrono::floor;
using std::chrono::seconds;

const char* describe(PairingCodeError::Case c) {
  switch (c) {
    case PairingCodeError::Case::notAPairingCode: return "This is not a Tillerpad pairing code.";
    case PairingCodeError::Case::unsupportedVersion: return "This pairing code needs a newer version of Tillerpad.";
  }
  return "This is not a Tillerpad pairing code.";
}

// The length of the white space or line break that starts `text` (ASCII and
// the Unicode spaces a copied code may bring along), or 0.
std::size_t spaceAtStart(std::string_view text) {
  if (text.empty()) return 0;
  unsigned char c = static_cast<unsigned char>(text[0]);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  for (std::string_view s : {"\u0085", "\u00A0", "\u1680", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"}) {
    if (text.starts_with(s)) return s.size();
  }
  // U+2000 to U+200A: E2 80 80 to E2 80 8A.
  if (text.size() >= 3 && text.starts_with("\xE2\x80")) {
    unsigned char third = static_cast<unsigned char>(text[2]);
    if (third >= 0x80 && third <= 0x8A) return 3;
  }
  return 0;
}

std::size_t spaceAtEnd(std::string_view text) {
  if (text.empty()) return 0;
  unsigned char c = static_cast<unsigned char>(text.back());
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  for (std::size_t n : {std::size_t{2}, std::size_t{3}}) {
    if (text.size() >= n && spaceAtStart(text.substr(text.size() - n)) == n) return n;
  }
  return 0;
}

std::string_view trim(std::string_view text) {
  while (std::size_t n = spaceAtStart(text)) text.remove_prefix(n);
  while (std::size_t n = spaceAtEnd(text)) text.remove_suffix(n);
  return text;
}

bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

Uuid readUuid(ByteReader& reader) { return *Uuid::fromBytes(reader.readView(16)); }

}  // namespace

PairingCodeError::PairingCodeError(Case c) : std::runtime_error(describe(c)), case_(c) {}

PairingPayload::PairingPayload(Uuid mac, Uuid pairing, SymmetricKey key, std::chrono::system_clock::time_point expiry)
    : macID(mac), pairingID(pairing), secret(std::move(key)), expiresAt(floor<seconds>(expiry)) {}

PairingPayload PairingPayload::make(Uuid macID, std::chrono::system_clock::time_point now,
                                    std::chrono::system_clock::duration lifetime) {
  return PairingPayload(macID, Uuid::random(), SymmetricKey::random(), now + lifetime);
}

std::string PairingPayload::code() const {
  Bytes binary;
  binary.reserve(binarySize);
  binary.push_back(formatVersion);
  binary.insert(binary.end(), macID.bytes().begin(), macID.bytes().end());
  binary.insert(binary.end(), pairingID.bytes().begin(), pairingID.bytes().end());
  binary.insert(binary.end(), secret.bytes().begin(), secret.bytes().end());
  // The low 32 bits of the second count, as the format has no room for more.
  auto count = static_cast<std::uint32_t>(expiresAt.time_since_epoch().count());
  for (int shift = 24; shift >= 0; shift -= 8) binary.push_back(static_cast<std::uint8_t>(count >> shift));
  std::string text(prefix);
  text += base64::encode(binary, base64::Alphabet::urlSafe, base64::Padding::none);
  OPENSSL_cleanse(binary.data(), binary.size());
  return text;
}

PairingPayload PairingPayload::parse(std::string_view code) {
  using Case = PairingCodeError::Case;
  std::string_view trimmed = trim(code);
  if (!hasPrefixIgnoringCase(trimmed, prefix)) throw PairingCodeError(Case::notAPairingCode);
  // Either alphabet, with or without padding, decodes.
  std::string text(trimmed.substr(prefix.size()));
  std::replace(text.begin(), text.end(), '-', '+');
  std::replace(text.begin(), text.end(), '_', '/');
  while (text.size() % 4 != 0) text += '=';
  std::optional<Bytes> binary = base64::decode(text);
  OPENSSL_cleanse(text.data(), text.size());
  if (!binary) throw PairingCodeError(Case::notAPairingCode);

  struct Wipe {
    Bytes& bytes;
    ~Wipe() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  } wipe{*binary};
  try {
    ByteReader reader(*binary);
    if (reader.readUInt8() != formatVersion) throw PairingCodeError(Case::unsupportedVersion);
    Uuid mac = readUuid(reader);
    Uuid pairing = readUuid(reader);
    SymmetricKey secret = *SymmetricKey::fromBytes(reader.readView(SymmetricKey::size));
    std::uint32_t expiry = reader.readUInt32();
    if (!reader.atEnd()) throw PairingCodeError(Case::notAPairingCode);
    return PairingPayload(mac, pairing, secret, std::chrono::sys_seconds(seconds(expiry)));
  } catch (const WireError&) {
    throw PairingCodeError(Case::notAPairingCode);
  }
}

}  // namespace tillerpad::kit

std::size_t std::hash<tillerpad::kit::PairingPayload>::operator()(
    const tillerpad::kit::PairingPayload& p) const noexcept {
  std::size_t h = std::hash<tillerpad::kit::Uuid>{}(p.macID);
  h = h * 31 + std::hash<tillerpad::kit::Uuid>{}(p.pairingID);
  for (auto b : p.secret.bytes()) h = h * 131 + b;
  return h * 31 + static_cast<std::size_t>(p.expiresAt.time_since_epoch().count());
}
