#include "host/app/ports.h"

#include <fmt/format.h>

#include <cerrno>
#include <charconv>
#include <system_error>
#include <variant>

#include "host/service/connection_listener.h"
#include "kit/transport/fast_channel.h"
#include "platform/user_defaults.h"

namespace tillerpad::host {
namespace {

std::uint16_t portSetting(const platform::UserDefaults& defaults, const char* key, const kit::Logger& log) {
  auto value = defaults.value(key);
  if (!value) return 0;
  if (const auto* number = std::get_if<std::int64_t>(&*value); number && *number >= 0 && *number <= 65535) {
    return static_cast<std::uint16_t>(*number);
  }
  log.notice(fmt::format("Ignoring the setting \"{}\": not a port number from 1 to 65535", key));
  return 0;
}

std::string describe(const char* protocol, std::uint16_t port, const std::error_code& ec) {
  // asio's category does not compare with std::errc: the errno it carries.
  if (ec.value() == EADDRINUSE) {
    return fmt::format("{} port {} is already in use (is Tillerpad already running?)", protocol, port);
  }
  return fmt::format("cannot use {} port {}: {}", protocol, port, ec.message());
}

}  // namespace

std::optional<std::uint16_t> parsePort(std::string_view text) {
  unsigned port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(port);
}

Ports choosePorts(std::optional<std::uint16_t> tcpOption, std::optional<std::uint16_t> udpOption,
                  const platform::UserDefaults& defaults, const kit::Logger& log) {
  Ports ports;
  ports.tcp = tcpOption ? *tcpOption : portSetting(defaults, Ports::tcpKey, log);
  ports.udp = udpOption ? *udpOption : portSetting(defaults, Ports::udpKey, log);
  return ports;
}

std::optional<std::string> portProblem(const Ports& ports) {
  if (ports.tcp != 0) {
    if (auto ec = probeTcpPort(ports.tcp)) return describe("TCP", ports.tcp, ec);
  }
  if (ports.udp != 0) {
    if (auto ec = kit::FastChannelListener::probePort(ports.udp)) return describe("UDP", ports.udp, ec);
  }
  return std::nullopt;
}

}  // namespace tillerpad::host
