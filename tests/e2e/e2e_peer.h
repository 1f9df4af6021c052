// Pieces shared by the end-to-end peers that speak to the desktop below
// tillerpad-remote's level (abuse_client, hostile_client): sockets from a
// chosen loopback address, a blocking OpenSSL client with the phone's
// pre-shared key, and the phone's stored record.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "kit/pairing/paired_records.h"
#include "kit/transport/pre_shared_key.h"

namespace tillerpad::e2e {

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd, other.fd);
    return *this;
  }
  ~Fd() { reset(); }
  void reset();
};

// Throws std::invalid_argument for text that is not an IPv4 address.
sockaddr_in ipv4(const std::string& text, std::uint16_t port);

// A blocking TCP connection from `from` to `host`:`port`; every socket call
// is bounded by `limit`. Nothing when it cannot be made; errno tells why.
std::optional<Fd> connectFrom(const std::string& from, const std::string& host, std::uint16_t port,
                              std::chrono::seconds limit, int receiveBuffer = 0);

struct SslDeleter {
  void operator()(SSL* s) const { SSL_free(s); }
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); }
};
using SslPtr = std::unique_ptr<SSL, SslDeleter>;
using SessionPtr = std::unique_ptr<SSL_SESSION, SslDeleter>;

// A phone's TLS configuration as kit's has it (TLS 1.2, the one PSK suite),
// but on plain OpenSSL so that a test can reach the SSL object. Connections
// made from it must carry the client as app data (SSL_set_app_data).
struct PskClient {
  std::unique_ptr<SSL_CTX, SslDeleter> context;
  kit::PreSharedKey psk;

  explicit PskClient(kit::PreSharedKey key);
  SslPtr newConnection(int fd);
};

// The desktop a phone paired with last, as tillerpad-remote stored it under
// `dataHome`; throws std::runtime_error when there is none.
kit::PairedMac phoneRecord(const std::filesystem::path& dataHome);
kit::PreSharedKey pskOf(const kit::PairedMac& record);

}  // namespace tillerpad::e2e
