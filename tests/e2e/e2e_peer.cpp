#include "tests/e2e/e2e_peer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "kit/pairing/record_store.h"
#include "kit/transport/transport_parameters.h"
#include "platform/linux/file_credential_store.h"

namespace tillerpad::e2e {

void Fd::reset() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

sockaddr_in ipv4(const std::string& text, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, text.c_str(), &a.sin_addr) != 1) throw std::invalid_argument("not an IPv4 address: " + text);
  return a;
}

std::optional<Fd> connectFrom(const std::string& from, const std::string& host, std::uint16_t port,
                              std::chrono::seconds limit, int receiveBuffer) {
  Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.fd < 0) return std::nullopt;
  timeval t{static_cast<time_t>(limit.count()), 0};
  setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  setsockopt(socket.fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
  // Before connect, so that the window the desktop sees is small from the start.
  if (receiveBuffer > 0) setsockopt(socket.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in local = ipv4(from, 0);
  sockaddr_in remote = ipv4(host, port);
  if (::bind(socket.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return std::nullopt;
  if (::connect(socket.fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) return std::nullopt;
  return socket;
}

namespace {

unsigned int offerKey(SSL* ssl, const char*, char* identity, unsigned int maxIdentity, unsigned char* out,
                      unsigned int maxKey) {
  auto* self = static_cast<PskClient*>(SSL_get_app_data(ssl));
  std::string text = self->psk.identity.text();
  if (text.size() + 1 > maxIdentity || maxKey < self->psk.key.size()) return 0;
  std::memcpy(identity, text.c_str(), text.size() + 1);
  std::memcpy(out, self->psk.key.data(), self->psk.key.size());
  return static_cast<unsigned int>(self->psk.key.size());
}

}  // namespace

PskClient::PskClient(kit::PreSharedKey key) : context(SSL_CTX_new(TLS_client_method())), psk(key) {
  SSL_CTX* c = context.get();
  if (!c || SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(c, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(c, kit::TransportParameters::cipherName) != 1) {
    throw std::runtime_error("TLS client configuration failed");
  }
  SSL_CTX_set_psk_client_callback(c, &offerKey);
}

SslPtr PskClient::newConnection(int fd) {
  SslPtr ssl(SSL_new(context.get()));
  if (!ssl) throw std::runtime_error("SSL_new failed");
  SSL_set_app_data(ssl.get(), this);
  SSL_set_fd(ssl.get(), fd);
  return ssl;
}

kit::PairedMac phoneRecord(const std::filesystem::path& dataHome) {
  auto store = std::make_shared<platform::FileCredentialStore>(dataHome, "app.tillerpad.remote.macs");
  auto records = kit::RecordStore<kit::PairedMac>(store).all();
  if (records.empty()) throw std::runtime_error("no paired desktop in " + dataHome.string());
  return *std::max_element(records.begin(), records.end(),
                           [](const auto& a, const auto& b) { return a.pairedAt < b.pairedAt; });
}

kit::PreSharedKey pskOf(const kit::PairedMac& record) {
  kit::PreSharedKey psk;
  psk.identity = kit::PeerIdentity::device(record.deviceID);
  auto bytes = record.keyData.bytes();
  std::copy(bytes.begin(), bytes.end(), psk.key.begin());
  return psk;
}

}  // namespace tillerpad::e2e
