#pragma once

#include <optional>

#include "kit/common/bytes.h"
#include "kit/wire/open_text.h"

namespace tillerpad::kit {

struct PairRequest {
  Bytes publicKey;
  friend bool operator==(const PairRequest&, const PairRequest&) = default;
};

struct PairingRejection : OpenText<PairingRejection> {
  using OpenText::OpenText;
  static const PairingRejection denied;
  static const PairingRejection expired;
  static const PairingRejection failed;
};

inline const PairingRejection PairingRejection::denied{"denied"};
inline const PairingRejection PairingRejection::expired{"expired"};
inline const PairingRejection PairingRejection::failed{"failed"};

// Decoding keeps any combination of the three fields; the constructors build
// the two consistent forms.
struct PairResult {
  bool accepted = false;
  std::optional<Bytes> macPublicKey;
  std::optional<PairingRejection> rejection;

  static PairResult acceptedWith(Bytes macPublicKey) { return {true, std::move(macPublicKey), std::nullopt}; }
  static PairResult rejectedWith(PairingRejection reason) { return {false, std::nullopt, std::move(reason)}; }

  friend bool operator==(const PairResult&, const PairResult&) = default;
};

}  // namespace tillerpad::kit
