#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kit/common/uuid.h"
#include "kit/pairing/symmetric_key.h"

namespace tillerpad::kit {

// Why a text is not a usable pairing code.
class PairingCodeError : public std::runtime_error {
 public:
  enum class Case {
    notAPairingCode,     // wrong prefix, not Base64, wrong length, trailing bytes
    unsupportedVersion,  // well formed, but of a format version other than 1
  };

  explicit PairingCodeError(Case c);
  Case errorCase() const { return case_; }
  friend bool operator==(const PairingCodeError& a, const PairingCodeError& b) { return a.case_ == b.case_; }

 private:
  Case case_;
};

// The content of a pairing code: which desktop, which pairing attempt, a fresh
// secret and the expiry. The code text holds the secret: never log it.
struct PairingPayload {
  static constexpr std::string_view prefix = "TILLERPAD:";
  static constexpr std::uint8_t formatVersion = 1;
  static constexpr std::size_t binarySize = 69;

  Uuid macID;
  Uuid pairingID;
  SymmetricKey secret;
  // Whole seconds, so that it survives the code's 32-bit seconds field.
  std::chrono::sys_seconds expiresAt;

  PairingPayload(Uuid macID, Uuid pairingID, SymmetricKey secret, std::chrono::system_clock::time_point expiresAt);

  // A fresh payload: random pairing id and secret, expiry floor(now + lifetime).
  static PairingPayload make(Uuid macID, std::chrono::system_clock::time_point now,
                             std::chrono::system_clock::duration lifetime);
  // Reads a code text; throws PairingCodeError. Expiry is not checked here.
  static PairingPayload parse(std::string_view code);

  // True from the instant of expiry on.
  bool isExpired(std::chrono::system_clock::time_point at) const { return at >= expiresAt; }
  // "TILLERPAD:" + URL-safe Base64 of the 69-byte binary form, no padding.
  std::string code() const;

  friend bool operator==(const PairingPayload&, const PairingPayload&) = default;
};

}  // namespace tillerpad::kit

template <>
struct std::hash<tillerpad::kit::PairingPayload> {
  std::size_t operator()(const tillerpad::kit::PairingPayload& p) const noexcept;
};
