#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <vector>

#include "kit/transport/pre_shared_key.h"

namespace tillerpad::kit {

// TLS settings: the pre-shared keys in the order they are offered, the one
// cipher suite and the version bounds.
struct TlsOptions {
  std::vector<PreSharedKey> psks;
  std::uint16_t cipherSuite = 0;
  std::uint16_t minimumVersion = 0;
  std::uint16_t maximumVersion = 0;
};

struct TcpOptions {
  bool noDelay = true;
  bool keepAlive = true;
  std::chrono::seconds keepAliveIdle{5};
  std::chrono::seconds keepAliveInterval{2};
  int keepAliveCount = 3;
  // Applies to outgoing connections only.
  std::chrono::seconds connectTimeout{5};
  // SO_SNDBUF and SO_RCVBUF; 0 leaves the kernel's automatic sizing.
  int socketBufferBytes = 4 << 20;
};

// The complete parameters of one end of a message connection: TLS 1.2 with
// pre-shared keys only (no certificates) over TCP. Building them cannot fail.
struct TransportParameters {
  static constexpr std::uint16_t cipherSuite = 0xCCAC;  // TLS_ECDHE_PSK_WITH_CHACHA20_POLY1305_SHA256
  static constexpr const char* cipherName = "ECDHE-PSK-CHACHA20-POLY1305";
  static constexpr std::uint16_t tls12 = 0x0303;
  static constexpr std::uint8_t unknownPskIdentityAlert = 115;

  enum class Role { client, server };

  Role role = Role::client;
  TlsOptions tlsOptions;
  TcpOptions tcpOptions;

  // One PSK entry per element, in order, then the suite and the version bounds.
  static TlsOptions tls(std::vector<PreSharedKey> psks);
  static TransportParameters tcp(std::vector<PreSharedKey> psks, Role role);
  // A phone's connection: exactly the one key.
  static TransportParameters client(PreSharedKey psk);
  // The listener: a fresh random placeholder key first, so that the list is
  // never empty and the listener negotiates the PSK suite before any phone is
  // paired; then `psks` in their order.
  static TransportParameters server(std::vector<PreSharedKey> psks);

  // True exactly when the error is a TLS failure caused by the peer's alert
  // unknown_psk_identity: the server does not know the offered identity.
  static bool isUnknownIdentity(const std::exception& error);
  static bool isUnknownIdentity(const std::exception_ptr& error);
};

}  // namespace tillerpad::kit
