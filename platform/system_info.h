#pragma once

#include <optional>
#include <string>

namespace tillerpad::platform {

// What the system says about this computer.
class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // The name the user gave the computer (free text, may have spaces), if any.
  virtual std::optional<std::string> prettyHostName() const = 0;
  // The network host name, if any.
  virtual std::optional<std::string> hostName() const = 0;
};

}  // namespace tillerpad::platform
