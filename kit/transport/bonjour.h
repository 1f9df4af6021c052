#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kit/common/uuid.h"

namespace tillerpad::kit {

// DNS-SD conventions shared by the desktop (advertising) and the phone (browsing).
namespace Bonjour {

inline constexpr std::string_view serviceType = "_tillerpad._tcp";

namespace TXTKey {
inline constexpr std::string_view macID = "id";
inline constexpr std::string_view version = "v";
}  // namespace TXTKey

inline constexpr std::string_view txtVersion = "1";

// TXT entries as key and value, in record order.
using TxtRecord = std::vector<std::pair<std::string, std::string>>;

// Exactly two entries: "id" = the desktop's ID in upper case, "v" = "1".
TxtRecord txtRecord(const Uuid& macID);

// The ID under "id" when it parses as a UUID (either case); nothing for a
// result without a TXT record, without "id", or with another text there.
std::optional<Uuid> macID(const std::optional<TxtRecord>& txt);

// "key=value" strings as DNS-SD carries them; an entry without "=" is a key
// with an empty value.
TxtRecord parseTxtStrings(const std::vector<std::string>& strings);

}  // namespace Bonjour

}  // namespace tillerpad::kit
