#pragma once

#include <optional>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tillerpad::kit {

// Failures of the message channel itself.
class ChannelError : public std::runtime_error {
 public:
  enum class Case {
    timedOut,  // an open or a receive ran out of time
    closed,    // the channel ended normally before an open or a send could complete
  };

  static ChannelError timedOut() { return ChannelError(Case::timedOut); }
  static ChannelError closed() { return ChannelError(Case::closed); }

  Case errorCase() const { return case_; }
  friend bool operator==(const ChannelError& a, const ChannelError& b) { return a.case_ == b.case_; }

 private:
  explicit ChannelError(Case c)
      : std::runtime_error(c == Case::timedOut ? "The channel timed out" : "The channel is closed"), case_(c) {}
  Case case_;
};

// A failure of the byte-stream connection under a channel: a socket error, a
// failed or refused TLS handshake, a connect time-out.
class ConnectionError : public std::runtime_error {
 public:
  ConnectionError(std::error_code code, const std::string& description,
                  std::optional<std::uint8_t> tlsAlert = std::nullopt)
      : std::runtime_error(description), code_(code), tlsAlert_(tlsAlert) {}

  std::error_code code() const { return code_; }
  // The TLS alert the peer sent when the failure was one (RFC 5246 section 7.2).
  std::optional<std::uint8_t> tlsAlert() const { return tlsAlert_; }

 private:
  std::error_code code_;
  std::optional<std::uint8_t> tlsAlert_;
};

}  // namespace tillerpad::kit
