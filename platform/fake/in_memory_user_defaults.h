#pragma once

#include <map>
#include <string>

#include "platform/system_info.h"
#include "platform/user_defaults.h"

namespace tillerpad::platform::fake {

class InMemoryUserDefaults : public UserDefaults {
 public:
  std::optional<Value> value(std::string_view key) const override {
    auto it = values_.find(std::string(key));
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setValue(std::string_view key, Value value) override {
    values_[std::string(key)] = std::move(value);
    ++writes;
  }
  void removeValue(std::string_view key) override { values_.erase(std::string(key)); }

  int writes = 0;

 private:
  std::map<std::string, Value> values_;
};

class FixedSystemInfo : public SystemInfo {
 public:
  FixedSystemInfo(std::optional<std::string> pretty, std::optional<std::string> host)
      : pretty_(std::move(pretty)), host_(std::move(host)) {}
  std::optional<std::string> prettyHostName() const override { return pretty_; }
  std::optional<std::string> hostName() const override { return host_; }

 private:
  std::optional<std::string> pretty_;
  std::optional<std::string> host_;
};

}  // namespace tillerpad::platform::fake
