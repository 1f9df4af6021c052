#pragma once

#include <filesystem>
#include <map>
#include <memory>

#include "kit/common/log.h"
#include "platform/user_defaults.h"

namespace tillerpad::platform {

// User defaults in one JSON object file, by default
// $XDG_CONFIG_HOME/tillerpad/defaults.json (~/.config when unset). Every
// change is written at once, atomically (temporary file, fsync, rename). An
// unreadable or damaged file is reported once and treated as empty; it is
// replaced on the next write. Owned and used by one thread.
class JsonUserDefaults : public UserDefaults {
 public:
  JsonUserDefaults(std::filesystem::path file, kit::Logger log);

  static std::filesystem::path defaultPath();

  std::optional<Value> value(std::string_view key) const override;
  void setValue(std::string_view key, Value value) override;
  void removeValue(std::string_view key) override;

 private:
  void load();
  void save();

  std::filesystem::path file_;
  kit::Logger log_;
  std::map<std::string, Value, std::less<>> values_;
};

}  // namespace tillerpad::platform
