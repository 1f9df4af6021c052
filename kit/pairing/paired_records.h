#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>

#include "kit/common/uuid.h"
#include "kit/pairing/symmetric_key.h"
#include "kit/wire/json_text.h"

namespace tillerpad::kit {

// When a pairing completed. Stored as seconds since 2001-01-01 UTC in a
// double; microseconds survive that round trip exactly, finer units do not.
using RecordTime = std::chrono::sys_time<std::chrono::microseconds>;

// Seconds between 1970-01-01 and 2001-01-01, the stored form's reference date.
inline constexpr std::chrono::seconds referenceDateOffset{978307200};

double secondsSinceReferenceDate(RecordTime time);
// Nothing for values that are not finite or lie beyond ±10^11 seconds.
std::optional<RecordTime> recordTimeFromReferenceSeconds(double seconds);

// The desktop's record of a paired phone.
struct PairedDevice {
  Uuid id;  // the pairing id of the code used; the PSK identity is "d:" + id
  std::string name;
  std::string model;
  RecordTime pairedAt;
  SymmetricKey keyData;

  // "PairedDevice(<ID>, <name>, key: <redacted>)"
  std::string description() const;
  friend bool operator==(const PairedDevice&, const PairedDevice&) = default;
};

// The phone's record of a paired desktop.
struct PairedMac {
  Uuid id;  // the desktop's macID
  std::string name;
  Uuid deviceID;  // the id under which that desktop knows this phone
  RecordTime pairedAt;
  SymmetricKey keyData;

  // "PairedMac(<ID>, <name>, key: <redacted>)"
  std::string description() const;
  friend bool operator==(const PairedMac&, const PairedMac&) = default;
};

// Streams print the redacted text form, so that no test or log shows a key.
std::ostream& operator<<(std::ostream& out, const PairedDevice& record);
std::ostream& operator<<(std::ostream& out, const PairedMac& record);

// The stored JSON form. Reading fails with DecodingError, as for wire records.
template <>
std::string toJsonText<PairedDevice>(const PairedDevice& record);
template <>
PairedDevice fromJsonText<PairedDevice>(std::string_view text);
template <>
std::string toJsonText<PairedMac>(const PairedMac& record);
template <>
PairedMac fromJsonText<PairedMac>(std::string_view text);

}  // namespace tillerpad::kit
