#include "host/service/pairing_controller.h"

#include "kit/common/text.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include <algorithm>

#include "kit/pairing/key_derivation.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/transport/message_channel.h"

namespace tillerpad::host {

std::shared_ptr<PairingController> PairingController::create(asio::any_io_executor executor,
                                                             std::shared_ptr<kit::Clock> clock, WallClock wallClock,
                                                             MacIdentity identity, DeviceRegistry& registry,
                                                             kit::Logger log) {
  return std::shared_ptr<PairingController>(new PairingController(
      std::move(executor), std::move(clock), std::move(wallClock), std::move(identity), registry, std::move(log)));
}

PairingController::PairingController(asio::any_io_executor executor, std::shared_ptr<kit::Clock> clock,
                                     WallClock wallClock, MacIdentity identity, DeviceRegistry& registry,
                                     kit::Logger log)
    : executor_(std::move(executor)),
      clock_(std::move(clock)),
      wallClock_(std::move(wallClock)),
      identity_(std::move(identity)),
      registry_(registry),
      log_(std::move(log)) {}

void PairingController::start() {
  // The attempt still asking ends with this; its outcome belongs to the old
  // code and must not show over the new one.
  ++attempt_;
  resolve(false);
  payload_ = kit::PairingPayload::make(identity_.id, wallClock_(), codeLifetime);
  isClaimed_ = false;
  setPhase(ShowingCode{});
  scheduleExpiry();
  if (onKeysChanged) onKeysChanged();
}

void PairingController::stop() {
  resolve(false);
  clear();
}

void PairingController::resolve(bool allow) {
  if (!question_) return;
  auto question = std::exchange(question_, nullptr);
  question->answer = allow;
  question->wakeUp.cancel();
}

void PairingController::clear() {
  expiry_.reset();
  if (!payload_) return;
  payload_.reset();
  isClaimed_ = false;
  if (onKeysChanged) onKeysChanged();
}

void PairingController::scheduleExpiry() {
  expiry_.reset();
  if (!payload_) return;
  auto left = payload_->expiresAt - wallClock_();
  if (left < std::chrono::system_clock::duration::zero()) left = std::chrono::system_clock::duration::zero();
  expiry_ = clock_->schedule(executor_, std::chrono::duration_cast<kit::Clock::Duration>(left),
                             [weak = weak_from_this()] {
                               auto self = weak.lock();
                               if (!self || !std::holds_alternative<ShowingCode>(self->phase_)) return;
                               self->setPhase(Failed{Failure::expired});
                               self->clear();
                             });
}

bool PairingController::isOffered() const {
  return payload_ && !isClaimed_ && !payload_->isExpired(wallClock_());
}

std::optional<kit::PreSharedKey> PairingController::pendingKey() const {
  if (!isOffered()) return std::nullopt;
  kit::PreSharedKey psk;
  psk.identity = kit::PeerIdentity::pairing(payload_->pairingID);
  auto key = kit::KeyDerivation::pairingPSK(*payload_);
  std::copy(key.bytes().begin(), key.bytes().end(), psk.key.begin());
  return psk;
}

std::optional<kit::SymmetricKey> PairingController::claim(const kit::Uuid& pairingID) {
  if (!isOffered() || payload_->pairingID != pairingID) return std::nullopt;
  isClaimed_ = true;
  return kit::KeyDerivation::pairingPSK(*payload_);
}

asio::awaitable<bool> PairingController::askUser(kit::DeviceInfo device, std::uint64_t attempt) {
  if (attempt != attempt_) co_return false;  // its code was replaced meanwhile
  setPhase(AwaitingApproval{device});
  auto question = std::make_shared<Question>(executor_);
  question_ = question;
  if (onApprovalRequested) onApprovalRequested(device);
  // The front may answer at once, before there is a wait to wake.
  if (question->answer) co_return *question->answer;
  auto waiting = question->wakeUp.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
  co_await std::move(waiting);
  // Without an answer the wait was cancelled: the phone left and the question
  // is withdrawn.
  if (question_ == question) question_.reset();
  co_return question->answer.value_or(false);
}

asio::awaitable<void> PairingController::pair(std::shared_ptr<kit::MessageChannel> channel, kit::Hello hello) {
  if (!payload_ || !hello.identity.isPairing() || hello.identity.id() != payload_->pairingID) {
    channel->cancel();
    co_return;
  }
  expiry_.reset();  // a code in use no longer expires under the phone
  // What the phone calls itself is shown to the user and stored: nothing in
  // it may steer a terminal or split a log line.
  for (auto* text : {&hello.device.name, &hello.device.model, &hello.device.systemVersion}) {
    *text = kit::withoutControlCharacters(*text);
  }

  const std::uint64_t attempt = attempt_;
  auto self = shared_from_this();
  kit::PairingFlow::Approve approve = [self, device = hello.device, attempt]() { return self->askUser(device, attempt); };
  kit::PairingFlow::Storage storage{
      [self](kit::PairedDevice d) { return self->registry_.asyncAdd(std::move(d), asio::use_awaitable); },
      [self](kit::PairedDevice d) { return self->registry_.asyncRemove(d.id, asio::use_awaitable); },
  };
  std::exception_ptr failure;
  std::optional<kit::PairedDevice> paired;
  try {
    auto accepting = kit::PairingFlow::accept(channel, *payload_, hello.device, std::move(approve), std::move(storage));
    paired = co_await std::move(accepting);
  } catch (...) {
    failure = std::current_exception();
  }

  // A newer code took over while this attempt ran: its phase is that code's.
  const bool isCurrent = attempt == attempt_;
  if (paired) {
    log_.info(fmt::format("Paired with {}", paired->name));
    if (isCurrent) setPhase(Paired{paired->name});
    auto lingering = channel->waitUntilClosed(lingerAfterSuccess);
    co_await std::move(lingering);
    channel->cancel();
    co_return;
  }

  bool denied = false;
  std::string description = "unknown error";
  try {
    std::rethrow_exception(failure);
  } catch (const kit::PairingError& e) {
    denied = e.errorCase() == kit::PairingError::Case::rejected && e.rejection() == kit::PairingRejection::denied;
    description = e.what();
  } catch (const std::exception& e) {
    description = e.what();
  } catch (...) {
  }
  if (denied) {
    if (isCurrent) setPhase(Failed{Failure::denied});
  } else {
    log_.error(fmt::format("Pairing failed: {}", description));
    if (isCurrent) setPhase(Failed{Failure::interrupted});
  }
  channel->cancel();
}

void PairingController::setPhase(Phase phase) {
  if (phase == phase_) return;
  phase_ = std::move(phase);
  if (onPhaseChange) onPhaseChange(phase_);
}

}  // namespace tillerpad::host
