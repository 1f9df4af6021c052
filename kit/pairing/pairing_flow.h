#pragma once

#include <asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "kit/pairing/paired_records.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/wire/pairing_messages.h"
#include "kit/wire/session_messages.h"

namespace tillerpad::kit {

class MessageChannel;

class PairingError : public std::runtime_error {
 public:
  enum class Case { rejected, unexpectedMessage, wrongMac, connectionClosed };

  static PairingError rejected(PairingRejection reason);
  static PairingError unexpectedMessage(std::string typeName);
  static PairingError wrongMac() { return PairingError(Case::wrongMac, "The code belongs to another desktop"); }
  static PairingError connectionClosed() { return PairingError(Case::connectionClosed, "The connection closed during pairing"); }

  Case errorCase() const { return case_; }
  const PairingRejection& rejection() const { return rejection_; }  // rejected
  const std::string& typeName() const { return typeName_; }         // unexpectedMessage

  friend bool operator==(const PairingError& a, const PairingError& b) {
    return a.case_ == b.case_ && a.rejection_ == b.rejection_ && a.typeName_ == b.typeName_;
  }

 private:
  PairingError(Case c, const std::string& description) : std::runtime_error(description), case_(c) {}
  Case case_;
  PairingRejection rejection_;
  std::string typeName_;
};

// The exchange that turns a scanned code into a shared device key: hello and
// welcome under the pairing key, then the phone's public key and the
// desktop's answer after its user decided.
namespace PairingFlow {

inline constexpr std::chrono::seconds welcomeTimeout{5};
inline constexpr std::chrono::seconds requestTimeout{5};
inline constexpr std::chrono::seconds resultTimeout{120};

// Phone side, on a channel whose PSK is the code's pairing key. Returns the
// record to store; throws HandshakeError, PairingError, KeyAgreementError or
// the channel's errors.
asio::awaitable<PairedMac> pair(std::shared_ptr<MessageChannel> channel, PairingPayload payload, DeviceInfo device);

// Asks the desktop's user; true allows. Cancelled (through asio's
// per-operation cancellation) when the phone leaves while the question is open.
using Approve = std::function<asio::awaitable<bool>()>;

// What the desktop does with the new record: keep it, and take it back if the
// phone could not be told. Both may wait for a keyring; they complete on the
// channel's executor and report a failure by throwing.
struct Storage {
  std::function<asio::awaitable<void>(PairedDevice)> add;
  std::function<asio::awaitable<void>(PairedDevice)> remove;
};

// Desktop side, right after the handshake sent its welcome. The record is
// stored before the phone hears of success; if storing fails, the phone is
// told at once (rejection "failed") rather than left waiting; if the answer
// cannot be sent, the record is removed again, so no phone is kept that never
// got its key. A phone that leaves, or sends anything, while the user is
// asked withdraws the question. Throws PairingError, KeyAgreementError, the
// storage's error or the channel's errors.
asio::awaitable<PairedDevice> accept(std::shared_ptr<MessageChannel> channel, PairingPayload payload,
                                     DeviceInfo device, Approve approve, Storage storage);

}  // namespace PairingFlow

}  // namespace tillerpad::kit
