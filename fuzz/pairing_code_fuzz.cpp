// Parses arbitrary text as a pairing code; what parses must print as a code
// that parses to an equal payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kit/pairing/pairing_payload.h"

using namespace tillerpad::kit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    PairingPayload payload = PairingPayload::parse(text);
    std::string code = payload.code();
    if (code.size() != 102) std::abort();
    if (!(PairingPayload::parse(code) == payload)) std::abort();
  } catch (const PairingCodeError&) {
  }
  return 0;
}
