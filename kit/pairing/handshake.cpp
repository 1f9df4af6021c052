#include "kit/pairing/handshake.h"

#include <fmt/format.h>

#include "kit/pairing/key_derivation.h"
#include "kit/transport/fast_packet.h"
#include "kit/transport/message_channel.h"

namespace tillerpad::kit {
namespace {

// Sends an error reply; a failure to send it gives way to the handshake's own error.
// (GCC 12 destroys temporaries inside a co_await expression twice: every
// awaited operation here takes named values.)
asio::awaitable<void> reply(std::shared_ptr<MessageChannel> channel, ErrorCode code,
                            std::optional<std::string> detail = std::nullopt) {
  Message message = Message::error({std::move(code), std::move(detail)});
  try {
    // Bounded: a peer that sends but never reads must not hold its slot.
    auto sending = channel->send(std::move(message), MessageChannel::closeLimit);
    co_await std::move(sending);
  } catch (...) {
  }
}

asio::awaitable<std::optional<Bytes>> helloBinding(std::shared_ptr<MessageChannel> channel) {
  std::string label(KeyDerivation::helloExporterLabel);
  auto exporting = channel->exportKeyingMaterial(label, KeyDerivation::helloBindingLength);
  auto binding = co_await std::move(exporting);
  co_return binding;
}

bool speaksOurMajor(const ProtocolVersion& v) { return v.major == ProtocolVersion::current.major; }

}  // namespace

std::vector<KeyingMaterialRequest> Handshake::keyingMaterial() {
  return {{KeyDerivation::helloExporterLabel, KeyDerivation::helloBindingLength},
          {FastChannelKeys::exporterLabel, FastChannelKeys::exporterLength}};
}

HandshakeError HandshakeError::unexpectedMessage(std::string typeName) {
  HandshakeError e(Case::unexpectedMessage, fmt::format("Expected another message than \"{}\"", typeName));
  e.typeName_ = std::move(typeName);
  return e;
}

HandshakeError HandshakeError::incompatibleVersion(ProtocolVersion version) {
  HandshakeError e(Case::incompatibleVersion, fmt::format("The peer speaks protocol {}", version.text()));
  e.version_ = version;
  return e;
}

HandshakeError HandshakeError::rejected(ErrorCode code) {
  HandshakeError e(Case::rejected, fmt::format("The desktop refused the connection: {}", code.rawValue));
  e.code_ = std::move(code);
  return e;
}

asio::awaitable<Welcome> Handshake::connect(std::shared_ptr<MessageChannel> channel, PeerIdentity identity,
                                            SymmetricKey key, DeviceInfo device) {
  auto exporting = helloBinding(channel);
  auto binding = co_await std::move(exporting);
  if (!binding) throw HandshakeError::noChannelBinding();
  Bytes proof = KeyDerivation::helloProof(key, *binding, identity);
  Message hello = Message::hello({ProtocolVersion::current, identity, std::move(proof), std::move(device)});
  auto sending = channel->send(std::move(hello));
  co_await std::move(sending);

  auto receiving = channel->receive(timeout);
  auto answer = co_await std::move(receiving);
  if (!answer) throw HandshakeError::connectionClosed();
  if (const auto* error = answer->getIf<MessageType::error>()) throw HandshakeError::rejected(error->code);
  const auto* welcome = answer->getIf<MessageType::welcome>();
  if (!welcome) throw HandshakeError::unexpectedMessage(std::string(answer->type()));
  if (!speaksOurMajor(welcome->protocolVersion)) throw HandshakeError::incompatibleVersion(welcome->protocolVersion);
  co_return *welcome;
}

asio::awaitable<Hello> Handshake::accept(std::shared_ptr<MessageChannel> channel, Welcome welcome,
                                         KeyForIdentity keyForIdentity, WelcomeSending sending) {
  // The binding depends on the TLS session alone: taken while the hello is
  // on its way, it is not on the path from the hello to the welcome.
  auto exporting = helloBinding(channel);
  auto binding = co_await std::move(exporting);
  auto receiving = channel->receive(timeout);
  auto first = co_await std::move(receiving);
  if (!first) throw HandshakeError::connectionClosed();
  const auto* hello = first->getIf<MessageType::hello>();
  if (!hello) {
    auto replying = reply(channel, ErrorCode::unexpectedMessage);
    co_await std::move(replying);
    throw HandshakeError::unexpectedMessage(std::string(first->type()));
  }
  if (!speaksOurMajor(hello->protocolVersion)) {
    auto replying = reply(channel, ErrorCode::incompatibleVersion, "Mac speaks protocol " + ProtocolVersion::current.text());
    co_await std::move(replying);
    throw HandshakeError::incompatibleVersion(hello->protocolVersion);
  }

  // Looked up only now, so a key withdrawn while the hello was on its way counts.
  std::optional<SymmetricKey> key = binding ? keyForIdentity(hello->identity) : std::nullopt;
  if (!binding || !key || !KeyDerivation::isValidHelloProof(hello->proof, *key, *binding, hello->identity)) {
    auto replying = reply(channel, ErrorCode::authenticationFailed);
    co_await std::move(replying);
    throw HandshakeError::authenticationFailed();
  }
  Hello result = *hello;
  if (sending == WelcomeSending::heldWithWhatFollows) {
    channel->holdWrites();
    channel->sendWithoutWaiting(Message::welcome(std::move(welcome)));
    co_return result;
  }
  auto welcoming = channel->send(Message::welcome(std::move(welcome)), MessageChannel::closeLimit);
  co_await std::move(welcoming);
  co_return result;
}

}  // namespace tillerpad::kit
