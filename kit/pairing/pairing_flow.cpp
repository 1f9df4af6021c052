#include "kit/pairing/pairing_flow.h"

#include <asio/experimental/awaitable_operators.hpp>
#include <fmt/format.h>

#include "kit/pairing/crypto.h"
#include "kit/pairing/handshake.h"
#include "kit/pairing/key_derivation.h"
#include "kit/transport/message_channel.h"

namespace tillerpad::kit {
namespace {

using namespace asio::experimental::awaitable_operators;

RecordTime nowForRecord() { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); }

// Completes when the phone leaves or sends anything while the user is asked:
// either ends the attempt. Never throws, so that it can lose a race quietly.
asio::awaitable<std::string> phoneLeaves(std::shared_ptr<MessageChannel> channel) {
  try {
    auto receiving = channel->receive();
    auto message = co_await std::move(receiving);
    co_return message ? std::string(message->type()) : std::string();
  } catch (...) {
    co_return std::string();
  }
}

}  // namespace

PairingError PairingError::rejected(PairingRejection reason) {
  PairingError e(Case::rejected, fmt::format("Pairing was declined: {}", reason.rawValue));
  e.rejection_ = std::move(reason);
  return e;
}

PairingError PairingError::unexpectedMessage(std::string typeName) {
  PairingError e(Case::unexpectedMessage, fmt::format("Expected another message than \"{}\"", typeName));
  e.typeName_ = std::move(typeName);
  return e;
}

asio::awaitable<PairedMac> PairingFlow::pair(std::shared_ptr<MessageChannel> channel, PairingPayload payload,
                                             DeviceInfo device) {
  PeerIdentity identity = PeerIdentity::pairing(payload.pairingID);
  auto connecting = Handshake::connect(channel, identity, KeyDerivation::pairingPSK(payload), std::move(device));
  Welcome welcome = co_await std::move(connecting);
  if (welcome.macID != payload.macID) throw PairingError::wrongMac();

  X25519PrivateKey privateKey = X25519PrivateKey::generate();
  auto sending = channel->send(Message::pairRequest({privateKey.publicKey()}));
  co_await std::move(sending);

  auto receiving = channel->receive(resultTimeout);
  auto answer = co_await std::move(receiving);
  if (!answer) throw PairingError::connectionClosed();
  const auto* result = answer->getIf<MessageType::pairResult>();
  if (!result) throw PairingError::unexpectedMessage(std::string(answer->type()));
  if (!result->accepted || !result->macPublicKey) {
    throw PairingError::rejected(result->rejection.value_or(PairingRejection::denied));
  }
  SymmetricKey key = KeyDerivation::deviceKey(privateKey, *result->macPublicKey, payload);
  co_return PairedMac{welcome.macID, welcome.macName, payload.pairingID, nowForRecord(), key};
}

asio::awaitable<PairedDevice> PairingFlow::accept(std::shared_ptr<MessageChannel> channel, PairingPayload payload,
                                                  DeviceInfo device, Approve approve, Storage storage) {
  auto receiving = channel->receive(requestTimeout);
  auto first = co_await std::move(receiving);
  if (!first) throw PairingError::connectionClosed();
  const auto* request = first->getIf<MessageType::pairRequest>();
  if (!request) throw PairingError::unexpectedMessage(std::string(first->type()));

  // The user may take their time; a phone that goes away meanwhile takes the
  // question with it instead of leaving it open for nobody.
  auto asking = approve();
  auto watching = phoneLeaves(channel);
  auto racing = std::move(asking) || std::move(watching);
  auto decision = co_await std::move(racing);
  if (decision.index() == 1) {
    const std::string& type = std::get<1>(decision);
    if (type.empty()) throw PairingError::connectionClosed();
    throw PairingError::unexpectedMessage(type);
  }
  if (!std::get<0>(decision)) {
    try {
      auto declining = channel->send(Message::pairResult(PairResult::rejectedWith(PairingRejection::denied)),
                                     MessageChannel::closeLimit);
      co_await std::move(declining);
    } catch (...) {
      // The user's answer stands whether or not the phone hears it.
    }
    throw PairingError::rejected(PairingRejection::denied);
  }

  // Every answer below has the close limit: a phone that stops reading
  // cannot hold the desktop's side of the exchange.
  X25519PrivateKey privateKey = X25519PrivateKey::generate();
  SymmetricKey key = KeyDerivation::deviceKey(privateKey, request->publicKey, payload);
  PairedDevice record{payload.pairingID, device.name, device.model, nowForRecord(), key};
  // No co_await inside a handler: the failures are carried out of it.
  std::exception_ptr storeFailure;
  try {
    auto storing = storage.add(record);
    co_await std::move(storing);
  } catch (...) {
    storeFailure = std::current_exception();
  }
  if (storeFailure) {
    try {
      auto failing = channel->send(Message::pairResult(PairResult::rejectedWith(PairingRejection::failed)),
                                   MessageChannel::closeLimit);
      co_await std::move(failing);
    } catch (...) {
      // The store's failure is the one to report.
    }
    std::rethrow_exception(storeFailure);
  }
  std::exception_ptr sendFailure;
  try {
    auto answering = channel->send(Message::pairResult(PairResult::acceptedWith(privateKey.publicKey())),
                                   MessageChannel::closeLimit);
    co_await std::move(answering);
  } catch (...) {
    sendFailure = std::current_exception();
  }
  if (sendFailure) {
    try {
      auto removing = storage.remove(record);
      co_await std::move(removing);
    } catch (...) {
    }
    std::rethrow_exception(sendFailure);
  }
  co_return record;
}

}  // namespace tillerpad::kit
