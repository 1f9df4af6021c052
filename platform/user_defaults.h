#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tillerpad::platform {

// The user's small persistent settings ("macID", "shareClipboard", ...).
// Values keep their type, so a reader can tell a Boolean from a text.
class UserDefaults {
 public:
  using Value = std::variant<bool, std::int64_t, double, std::string>;

  virtual ~UserDefaults() = default;
  virtual std::optional<Value> value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, Value value) = 0;
  virtual void removeValue(std::string_view key) = 0;

  std::optional<std::string> string(std::string_view key) const {
    auto v = value(key);
    if (v && std::holds_alternative<std::string>(*v)) return std::get<std::string>(*v);
    return std::nullopt;
  }
  std::optional<bool> boolean(std::string_view key) const {
    auto v = value(key);
    if (v && std::holds_alternative<bool>(*v)) return std::get<bool>(*v);
    return std::nullopt;
  }
};

}  // namespace tillerpad::platform
