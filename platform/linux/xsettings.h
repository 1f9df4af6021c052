#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tillerpad::platform::linux_x11 {

// The integer setting `name` in an XSETTINGS blob (the _XSETTINGS_SETTINGS
// property of the settings manager); absent when the blob is malformed, the
// setting is missing or is not an integer.
std::optional<std::int32_t> xsettingsInteger(std::span<const std::uint8_t> blob, std::string_view name);
// The string setting `name` ("Net/IconThemeName"), absent as above.
std::optional<std::string> xsettingsString(std::span<const std::uint8_t> blob, std::string_view name);

}  // namespace tillerpad::platform::linux_x11
