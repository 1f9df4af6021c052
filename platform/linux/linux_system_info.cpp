#include "platform/linux/linux_system_info.h"

#include <unistd.h>

#include <fstream>
#include <string>

namespace tillerpad::platform {
namespace {

std::string trimQuotes(std::string v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

std::optional<std::string> LinuxSystemInfo::prettyHostName() const {
  std::ifstream in(machineInfo_);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_HOSTNAME=", 0) == 0) {
      std::string value = trimQuotes(line.substr(16));
      if (!value.empty()) return value;
    }
  }
  return std::nullopt;
}

std::optional<std::string> LinuxSystemInfo::hostName() const {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
}

}  // namespace tillerpad::platform
