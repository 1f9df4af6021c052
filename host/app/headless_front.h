#pragma once

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/app/app_model.h"
#include "kit/transport/clock.h"

namespace tillerpad::host {

// What the permission lines say in their parentheses when input or the
// screen is not possible: the desktop session's situation. The defaults are
// an X11 session's.
struct HeadlessUnavailable {
  std::string input = "no X display with the XTest extension";
  std::string screen = "the X display cannot be read";
};

// The terminal in place of the tray: status lines, pairing with a text QR
// code and an allow-or-deny question, and one command per input line. Its
// lines go to standard output and to a terminal attached through the control
// socket (`tillerpad --attach`), whose lines count like standard input's.
// Service thread only.
class HeadlessFront {
 public:
  struct Terminal {
    std::function<void(std::string_view line)> printLine;
    bool isInteractive = false;  // a terminal, not a pipe: the QR code gets colours
    // Standard output is the journal: the pairing code and its QR code never
    // go there, only to an attached terminal.
    bool isJournal = false;
  };
  // A terminal attached through the control socket. Its QR codes are drawn
  // in colour (the attaching command removes colours where its own output
  // is not a terminal).
  struct Attached {
    std::function<void(std::string_view line)> printLine;
    std::function<void()> detach;  // ends its connection after what it was sent
  };

  using Unavailable = HeadlessUnavailable;

  HeadlessFront(AppModel& model, asio::any_io_executor executor, std::shared_ptr<kit::Clock> clock,
                std::function<std::chrono::system_clock::time_point()> wallClock, Terminal terminal,
                std::function<void()> quit, Unavailable unavailable = {});
  ~HeadlessFront();
  HeadlessFront(const HeadlessFront&) = delete;
  HeadlessFront& operator=(const HeadlessFront&) = delete;

  // The opening lines; with `pair`, pairing starts at once.
  void begin(bool pair);
  // One line of standard input: the answer to an open question, else a command.
  void handleLine(std::string_view line);
  // Standard input ended: questions still open, and any asked later, are
  // denied unless a terminal is attached.
  void endOfInput();

  // One terminal at a time: it gets the opening lines, the status, an open
  // question and a showing code.
  void attach(Attached terminal);
  void attachedLine(std::string_view line);
  // Its connection ended. With standard input ended too, nobody is left to
  // answer: an open question is denied and a showing code withdrawn.
  void detached();

 private:
  enum class Question { none, approval, revoke };
  using Out = std::function<void(std::string_view)>;

  void handle(std::string_view line, bool fromAttached);
  void command(std::string_view line, bool fromAttached);
  void help();
  void startPairing();
  void stopPairing();
  void printCode();
  void scheduleCountdown();
  void phaseChanged(const PairingController::Phase& phase);
  void askApproval(const kit::DeviceInfo& device);
  void ask(Question question, std::vector<std::string> lines, std::function<void(bool)> answer);
  void answer(bool yes);
  bool canAnswer() const { return !inputEnded_ || attached_; }
  void printStatus(const Out& out);
  void printDevices();
  void revoke(std::string_view nameOrID);
  void share(std::string_view argument);
  // To standard output and the attached terminal.
  void print(std::string_view line);
  Out everywhere();
  Out attachedOnly();
  void showCode(bool toStandardOutput, bool toAttached);
  void printPermissions(const kit::PermissionStatus& status, const Out& out);
  std::string remaining() const;

  AppModel& model_;
  asio::any_io_executor executor_;
  std::shared_ptr<kit::Clock> clock_;
  std::function<std::chrono::system_clock::time_point()> wallClock_;
  Terminal terminal_;
  std::function<void()> quit_;
  Unavailable unavailable_;
  bool isPairing_ = false;
  bool inputEnded_ = false;
  Question question_ = Question::none;
  std::function<void(bool)> answer_;
  std::vector<std::string> questionLines_;
  std::optional<Attached> attached_;
  std::unique_ptr<kit::Clock::Timer> countdown_;
  // The model's own wiring of permission changes, which the front extends.
  std::function<void(const kit::PermissionStatus&)> forwardPermissions_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tillerpad::host
