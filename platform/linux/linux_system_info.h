#pragma once

#include <filesystem>

#include "platform/system_info.h"

namespace tillerpad::platform {

// PRETTY_HOSTNAME from /etc/machine-info (what hostnamectl sets), then gethostname().
class LinuxSystemInfo : public SystemInfo {
 public:
  explicit LinuxSystemInfo(std::filesystem::path machineInfo = "/etc/machine-info")
      : machineInfo_(std::move(machineInfo)) {}
  std::optional<std::string> prettyHostName() const override;
  std::optional<std::string> hostName() const override;

 private:
  std::filesystem::path machineInfo_;
};

}  // namespace tillerpad::platform
