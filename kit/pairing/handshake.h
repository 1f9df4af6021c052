#pragma once

#include <asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/pairing/symmetric_key.h"
#include "kit/transport/connection.h"
#include "kit/wire/session_messages.h"

namespace tillerpad::kit {

class MessageChannel;

class HandshakeError : public std::runtime_error {
 public:
  enum class Case {
    unexpectedMessage,
    incompatibleVersion,
    rejected,
    connectionClosed,
    authenticationFailed,
    noChannelBinding,
  };

  static HandshakeError unexpectedMessage(std::string typeName);
  static HandshakeError incompatibleVersion(ProtocolVersion version);
  static HandshakeError rejected(ErrorCode code);
  static HandshakeError connectionClosed() { return HandshakeError(Case::connectionClosed, "The connection closed during the handshake"); }
  static HandshakeError authenticationFailed() { return HandshakeError(Case::authenticationFailed, "The phone's proof of its key was not valid"); }
  static HandshakeError noChannelBinding() { return HandshakeError(Case::noChannelBinding, "The TLS session offers no channel binding"); }

  Case errorCase() const { return case_; }
  const std::string& typeName() const { return typeName_; }      // unexpectedMessage
  const ProtocolVersion& version() const { return version_; }    // incompatibleVersion
  const ErrorCode& code() const { return code_; }                // rejected

  friend bool operator==(const HandshakeError& a, const HandshakeError& b) {
    return a.case_ == b.case_ && a.typeName_ == b.typeName_ && a.version_ == b.version_ && a.code_ == b.code_;
  }

 private:
  HandshakeError(Case c, const std::string& description) : std::runtime_error(description), case_(c) {}
  Case case_;
  std::string typeName_;
  ProtocolVersion version_;
  ErrorCode code_;
};

// The first exchange on every connection: the phone's hello with a proof of
// its key bound to this TLS session, the desktop's welcome or error.
namespace Handshake {

inline constexpr std::chrono::seconds timeout{5};

// What a session takes from its TLS session: the hello's channel binding and
// the fast channel's keys. Both ends give it to MessageChannel::open, which
// exports it as the connection becomes ready, on the channel's strand; asked
// for afterwards, each would cost a hop onto that strand and back.
std::vector<KeyingMaterialRequest> keyingMaterial();

// Phone side: returns the desktop's welcome. Throws HandshakeError or the
// channel's errors (a time-out is the channel's).
asio::awaitable<Welcome> connect(std::shared_ptr<MessageChannel> channel, PeerIdentity identity, SymmetricKey key,
                                 DeviceInfo device);

// The key of a claimed identity: a paired phone's device key, the pending
// pairing code's key, or nothing.
using KeyForIdentity = std::function<std::optional<SymmetricKey>(const PeerIdentity&)>;

// How the welcome leaves: on its own, awaited; or queued with the channel's
// writes held, so that what the caller sends at once (a session's opening
// messages) leaves in the same write. The caller then releases the writes.
enum class WelcomeSending { awaited, heldWithWhatFollows };

// Desktop side: returns the phone's hello once its proof holds and `welcome`
// has been sent (or queued). Rejections caused by what the phone sent are
// answered with an error message first. Throws HandshakeError or the
// channel's errors.
asio::awaitable<Hello> accept(std::shared_ptr<MessageChannel> channel, Welcome welcome, KeyForIdentity keyForIdentity,
                              WelcomeSending sending = WelcomeSending::awaited);

}  // namespace Handshake

}  // namespace tillerpad::kit
