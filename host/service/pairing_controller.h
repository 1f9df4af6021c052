#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "host/service/device_registry.h"
#include "host/service/mac_identity.h"
#include "kit/common/log.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/pairing/symmetric_key.h"
#include "kit/transport/clock.h"
#include "kit/transport/pre_shared_key.h"
#include "kit/wire/session_messages.h"

namespace tillerpad::kit {
class MessageChannel;
}

namespace tillerpad::host {

// The desktop's side of pairing: one short-lived code whose key the listener
// offers until it is claimed once, the exchange on the connection that proved
// it, and the user's allow-or-deny. Service thread only.
class PairingController : public std::enable_shared_from_this<PairingController> {
 public:
  enum class Failure { expired, denied, interrupted };
  struct ShowingCode {
    friend bool operator==(const ShowingCode&, const ShowingCode&) = default;
  };
  struct AwaitingApproval {
    kit::DeviceInfo device;
    friend bool operator==(const AwaitingApproval&, const AwaitingApproval&) = default;
  };
  struct Paired {
    std::string deviceName;
    friend bool operator==(const Paired&, const Paired&) = default;
  };
  struct Failed {
    Failure failure;
    friend bool operator==(const Failed&, const Failed&) = default;
  };
  using Phase = std::variant<ShowingCode, AwaitingApproval, Paired, Failed>;

  using WallClock = std::function<std::chrono::system_clock::time_point()>;

  static constexpr std::chrono::seconds codeLifetime{300};
  static constexpr std::chrono::seconds lingerAfterSuccess{5};

  static std::shared_ptr<PairingController> create(asio::any_io_executor executor, std::shared_ptr<kit::Clock> clock,
                                                   WallClock wallClock, MacIdentity identity,
                                                   DeviceRegistry& registry, kit::Logger log);

  // A fresh code (denying a question still open) and its key offered. An
  // exchange still running for an older code no longer changes the phase.
  void start();
  // Denies an open question and withdraws the code.
  void stop();
  // Answers the open question, if any: true allows.
  void resolve(bool allow);

  // The code's key while it is offered, unclaimed and unexpired.
  std::optional<kit::PreSharedKey> pendingKey() const;
  // Hands the code's key out once, for the handshake of `pairingID`.
  std::optional<kit::SymmetricKey> claim(const kit::Uuid& pairingID);

  // Runs the exchange on a connection whose hello claimed a pairing identity;
  // ends the connection when done.
  asio::awaitable<void> pair(std::shared_ptr<kit::MessageChannel> channel, kit::Hello hello);

  const Phase& phase() const { return phase_; }
  const std::optional<kit::PairingPayload>& payload() const { return payload_; }

  std::function<void()> onKeysChanged = [] {};
  // Called when the phase really changes.
  std::function<void(const Phase&)> onPhaseChange = [](const Phase&) {};
  // The front end brings itself forward and asks the user, then calls resolve().
  std::function<void(const kit::DeviceInfo&)> onApprovalRequested = [](const kit::DeviceInfo&) {};

 private:
  struct Question {
    explicit Question(const asio::any_io_executor& ex) : wakeUp(ex, asio::steady_timer::time_point::max()) {}
    asio::steady_timer wakeUp;
    std::optional<bool> answer;
  };

  PairingController(asio::any_io_executor executor, std::shared_ptr<kit::Clock> clock, WallClock wallClock,
                    MacIdentity identity, DeviceRegistry& registry, kit::Logger log);

  asio::awaitable<bool> askUser(kit::DeviceInfo device, std::uint64_t attempt);
  void scheduleExpiry();
  void clear();
  void setPhase(Phase phase);
  bool isOffered() const;

  asio::any_io_executor executor_;
  std::shared_ptr<kit::Clock> clock_;
  WallClock wallClock_;
  MacIdentity identity_;
  DeviceRegistry& registry_;
  kit::Logger log_;

  Phase phase_ = ShowingCode{};
  std::optional<kit::PairingPayload> payload_;
  bool isClaimed_ = false;
  // Counts start(): an exchange only moves the phase of the code it began with.
  std::uint64_t attempt_ = 0;
  std::shared_ptr<Question> question_;
  std::unique_ptr<kit::Clock::Timer> expiry_;
};

}  // namespace tillerpad::host
