#include "kit/transport/transport_parameters.h"

#include <openssl/rand.h>

#include <stdexcept>

#include "kit/transport/channel_error.h"

namespace tillerpad::kit {

TlsOptions TransportParameters::tls(std::vector<PreSharedKey> psks) {
  return TlsOptions{std::move(psks), cipherSuite, tls12, tls12};
}

TransportParameters TransportParameters::tcp(std::vector<PreSharedKey> psks, Role role) {
  return TransportParameters{role, tls(std::move(psks)), TcpOptions{}};
}

TransportParameters TransportParameters::client(PreSharedKey psk) {
  return tcp({std::move(psk)}, Role::client);
}

TransportParameters TransportParameters::server(std::vector<PreSharedKey> psks) {
  PreSharedKey placeholder{PeerIdentity::device(Uuid::random()), {}};
  if (RAND_bytes(placeholder.key.data(), static_cast<int>(placeholder.key.size())) != 1) {
    throw std::runtime_error("The random source failed");
  }
  psks.insert(psks.begin(), std::move(placeholder));
  return tcp(std::move(psks), Role::server);
}

bool TransportParameters::isUnknownIdentity(const std::exception& error) {
  auto* connection = dynamic_cast<const ConnectionError*>(&error);
  return connection && connection->tlsAlert() == unknownPskIdentityAlert;
}

bool TransportParameters::isUnknownIdentity(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return isUnknownIdentity(e);
  } catch (...) {
    return false;
  }
}

}  // namespace tillerpad::kit
