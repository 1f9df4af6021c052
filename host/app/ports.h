#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kit/common/log.h"

namespace tillerpad::platform {
class UserDefaults;
}

namespace tillerpad::host {

// The two ports a firewall may be opened for; 0: the system chooses one at
// every start (DNS-SD tells phones where to look).
struct Ports {
  static constexpr const char* tcpKey = "port";
  static constexpr const char* udpKey = "fastPort";

  std::uint16_t tcp = 0;  // TLS
  std::uint16_t udp = 0;  // the fast channel
};

// A command-line port: decimal digits only, 1 to 65535.
std::optional<std::uint16_t> parsePort(std::string_view text);

// The ports from the settings keys, each replaced by its command-line value
// when there is one. A setting that is not an integer from 1 to 65535 (0
// means "the system chooses") is ignored with a warning naming its key.
Ports choosePorts(std::optional<std::uint16_t> tcpOption, std::optional<std::uint16_t> udpOption,
                  const platform::UserDefaults& defaults, const kit::Logger& log);

// Binds each fixed port the way its listener will, and closes it again: the
// message for the user when one cannot be used, else nothing.
std::optional<std::string> portProblem(const Ports& ports);

}  // namespace tillerpad::host
