#pragma once

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/app/app_model.h"
#include "kit/transport/clock.h"

namespace tillerpad::host {

// The terminal in place of the tray: status lines, pairing with a text QR
// code and an allow-or-deny question, and one command per input line.
// Service thread only.
class HeadlessFront {
 public:
  struct Terminal {
    std::function<void(std::string_view line)> printLine;
    bool isInteractive = false;  // a terminal, not a pipe: the QR code gets colours
  };

  HeadlessFront(AppModel& model, asio::any_io_executor executor, std::shared_ptr<kit::Clock> clock,
                std::function<std::chrono::system_clock::time_point()> wallClock, Terminal terminal,
                std::function<void()> quit);
  ~HeadlessFront();
  HeadlessFront(const HeadlessFront&) = delete;
  HeadlessFront& operator=(const HeadlessFront&) = delete;

  // The opening lines; with `pair`, pairing starts at once.
  void begin(bool pair);
  // One line of standard input: the answer to an open question, else a command.
  void handleLine(std::string_view line);
  // Standard input ended: questions still open, and any asked later, are denied.
  void endOfInput();

 private:
  enum class Question { none, approval, revoke };

  void command(std::string_view line);
  void help();
  void startPairing();
  void stopPairing();
  void printCode();
  void scheduleCountdown();
  void phaseChanged(const PairingController::Phase& phase);
  void askApproval(const kit::DeviceInfo& device);
  void ask(Question question, std::function<void(bool)> answer);
  void answer(bool yes);
  void printStatus();
  void printDevices();
  void revoke(std::string_view nameOrID);
  void share(std::string_view argument);
  void print(std::string_view line);
  void printPermissions(const kit::PermissionStatus& status);
  std::string remaining() const;

  AppModel& model_;
  asio::any_io_executor executor_;
  std::shared_ptr<kit::Clock> clock_;
  std::function<std::chrono::system_clock::time_point()> wallClock_;
  Terminal terminal_;
  std::function<void()> quit_;
  bool isPairing_ = false;
  bool inputEnded_ = false;
  Question question_ = Question::none;
  std::function<void(bool)> answer_;
  std::unique_ptr<kit::Clock::Timer> countdown_;
  // The model's own wiring of permission changes, which the front extends.
  std::function<void(const kit::PermissionStatus&)> forwardPermissions_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tillerpad::host
