#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tillerpad::platform::linux_x11 {

// Reads of the desktop's GSettings that never abort: a schema or key that
// is not installed reads as absent.
std::optional<int> gsettingsInt(const char* schema, const char* key);
std::optional<std::string> gsettingsString(const char* schema, const char* key);

struct StringListSetting {
  std::vector<std::string> value;
  bool setByUser = false;  // false: the schema's default
};
std::optional<StringListSetting> gsettingsStrings(const char* schema, const char* key);

}  // namespace tillerpad::platform::linux_x11
