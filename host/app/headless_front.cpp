#include "host/app/headless_front.h"

#include <asio/post.hpp>
#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>

#include <openssl/crypto.h>

#include "host/app/terminal_qr.h"
#include "kit/common/text.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// A name that came from a phone, fit for the terminal.
std::string shown(std::string_view name) { return kit::withoutControlCharacters(name); }

std::string pairedOn(kit::RecordTime at) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(at));
  std::tm local{};
  localtime_r(&seconds, &local);
  return fmt::format("{:%Y-%m-%d %H:%M}", local);
}

// The remaining-time lines: every minute, then at half a minute and at ten
// seconds.
constexpr std::array<int, 6> countdownMarks{240, 180, 120, 60, 30, 10};

}  // namespace

HeadlessFront::HeadlessFront(AppModel& model, asio::any_io_executor executor, std::shared_ptr<kit::Clock> clock,
                             std::function<std::chrono::system_clock::time_point()> wallClock, Terminal terminal,
                             std::function<void()> quit, Unavailable unavailable)
    : model_(model),
      executor_(std::move(executor)),
      clock_(std::move(clock)),
      wallClock_(std::move(wallClock)),
      terminal_(std::move(terminal)),
      quit_(std::move(quit)),
      unavailable_(std::move(unavailable)) {}

HeadlessFront::~HeadlessFront() {
  *alive_ = false;
  model_.server->onStatusChange = [](const Server::Status&) {};
  model_.server->onSessionChange = [] {};
  model_.pairing->onPhaseChange = [](const PairingController::Phase&) {};
  model_.pairing->onApprovalRequested = [](const kit::DeviceInfo&) {};
  model_.confirm = [](const AppModel::Alert&, std::function<void(bool)> answer) { answer(false); };
  if (forwardPermissions_) model_.permissions.onChange = forwardPermissions_;
}

void HeadlessFront::print(std::string_view line) {
  terminal_.printLine(line);
  if (attached_) attached_->printLine(line);
}

HeadlessFront::Out HeadlessFront::everywhere() {
  return [this](std::string_view line) { print(line); };
}

HeadlessFront::Out HeadlessFront::attachedOnly() {
  return [this](std::string_view line) {
    if (attached_) attached_->printLine(line);
  };
}

void HeadlessFront::begin(bool pair) {
  print(fmt::format("Tillerpad {} is running headless as “{}”.", MacIdentity::shortVersion(), model_.identity.name));
  print("Type “help” for the commands.");

  model_.server->onStatusChange = [this](const Server::Status& status) {
    if (const auto* listening = std::get_if<Server::Listening>(&status)) {
      print(fmt::format("Listening on port {}", listening->port));
    } else if (std::holds_alternative<Server::Failed>(status)) {
      print("Not reachable: network error");
    }
  };
  model_.server->onSessionChange = [this] {
    const auto& session = model_.server->session();
    print(session ? "Connected: " + shown(session->device().name) : std::string("No iPhone connected"));
  };
  model_.pairing->onPhaseChange = [this](const PairingController::Phase& phase) { phaseChanged(phase); };
  model_.pairing->onApprovalRequested = [this](const kit::DeviceInfo& device) { askApproval(device); };
  forwardPermissions_ = model_.permissions.onChange;
  model_.permissions.onChange = [this](const kit::PermissionStatus& status) {
    forwardPermissions_(status);
    printPermissions(status, everywhere());
  };
  model_.confirm = [this](const AppModel::Alert& alert, std::function<void(bool)> answer) {
    ask(Question::revoke, {alert.messageText, alert.informativeText, alert.confirmButton + "? [y/N]"},
        [this, answer = std::move(answer)](bool yes) {
      print(yes ? "Done." : "Cancelled.");
      answer(yes);
    });
  };

  const auto& permissions = model_.permissions.status();
  if (!permissions.accessibility || !permissions.screenRecording) printPermissions(permissions, everywhere());
  // After the server's start, which the model has queued: the listener
  // comes up once, with the code's key.
  if (pair) {
    asio::post(executor_, [this, alive = std::weak_ptr<bool>(alive_)] {
      if (alive.lock()) startPairing();
    });
  }
}

void HeadlessFront::printPermissions(const kit::PermissionStatus& status, const Out& out) {
  out(status.accessibility ? std::string("Pointer and keyboard control: allowed")
                           : "Pointer and keyboard control: not possible (" + unavailable_.input + ")");
  out(status.screenRecording ? std::string("Screen viewing: possible")
                             : "Screen viewing: not possible (" + unavailable_.screen + ")");
}

void HeadlessFront::handleLine(std::string_view line) { handle(line, false); }

void HeadlessFront::attachedLine(std::string_view line) {
  if (attached_) handle(line, true);
}

void HeadlessFront::handle(std::string_view line, bool fromAttached) {
  line = trim(line);
  if (question_ != Question::none) {
    auto reply = lower(line);
    answer(reply == "y" || reply == "yes");
    return;
  }
  if (!line.empty()) command(line, fromAttached);
}

void HeadlessFront::endOfInput() {
  inputEnded_ = true;
  if (question_ != Question::none && !canAnswer()) answer(false);
}

void HeadlessFront::attach(Attached terminal) {
  attached_ = std::move(terminal);
  auto out = attachedOnly();
  out(fmt::format("Attached to Tillerpad {}, running headless as “{}”.", MacIdentity::shortVersion(),
                  model_.identity.name));
  out("Type “help” for the commands, “detach” or end of input to leave it running.");
  printStatus(out);
  if (isPairing_ && model_.pairing->payload()) showCode(false, true);
  for (const auto& line : questionLines_) out(line);
}

void HeadlessFront::detached() {
  if (!attached_) return;
  attached_.reset();
  if (canAnswer()) return;
  if (question_ != Question::none) {
    print("(No terminal is left to answer: no.)");
    answer(false);
  }
  if (isPairing_) {
    print("Pairing stopped: no terminal is left to answer");
    stopPairing();
  }
}

void HeadlessFront::command(std::string_view line, bool fromAttached) {
  auto space = line.find_first_of(" \t");
  std::string name = lower(line.substr(0, space));
  std::string_view argument = space == std::string_view::npos ? std::string_view() : trim(line.substr(space));
  if (name == "help" || name == "?") {
    help();
  } else if (name == "pair") {
    startPairing();
  } else if (name == "devices") {
    printDevices();
  } else if (name == "status") {
    printStatus(everywhere());
  } else if (name == "disconnect") {
    if (model_.server->session()) {
      model_.server->disconnect();
    } else {
      print("No iPhone connected");
    }
  } else if (name == "revoke") {
    if (argument.empty()) {
      print("Usage: revoke <name or id>");
    } else {
      revoke(argument);
    }
  } else if (name == "share") {
    share(argument);
  } else if (name == "detach") {
    if (fromAttached) {
      attached_->detach();
    } else {
      print("This is the service's own terminal: “detach” is for one attached with tillerpad --attach.");
    }
  } else if (name == "quit" || name == "exit") {
    quit_();
  } else {
    print(fmt::format("Unknown command “{}”. Type “help” for the commands.", shown(name)));
  }
}

void HeadlessFront::help() {
  print("Commands:");
  print("  pair                    show a pairing code for a new iPhone");
  print("  devices                 list the paired iPhones");
  print("  status                  show the listener, the connected iPhone and the permissions");
  print("  disconnect              end the connected iPhone's session");
  print("  revoke <name or id>     forget a paired iPhone (asks first)");
  print("  share screen on|off     allow or forbid viewing this screen (stops a stream)");
  print("  share clipboard on|off  share the clipboard or not");
  print("  help                    show this list");
  print("  detach                  leave an attached terminal, Tillerpad keeps running");
  print("  quit                    stop Tillerpad");
}

void HeadlessFront::startPairing() {
  // A code nobody can see is no use, and its key would sit in the listener.
  if (terminal_.isJournal && !attached_) {
    print("The pairing code is not written to the journal. To pair an iPhone, run: tillerpad --attach --pair");
    return;
  }
  isPairing_ = true;
  model_.pairing->start();
  printCode();
  scheduleCountdown();
}

void HeadlessFront::stopPairing() {
  if (!isPairing_) return;
  isPairing_ = false;
  countdown_.reset();
  // Not from inside the controller's own callback.
  asio::post(executor_, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock() && !isPairing_) model_.pairing->stop();
  });
}

void HeadlessFront::printCode() {
  if (!model_.pairing->payload()) return;
  showCode(!terminal_.isJournal, true);
  if (terminal_.isJournal) terminal_.printLine("Pairing code shown on the attached terminal");
}

// The code is shown only where a person may read it: never in the journal.
void HeadlessFront::showCode(bool toStandardOutput, bool toAttached) {
  const auto& payload = model_.pairing->payload();
  if (!payload) return;
  std::string code = payload->code();
  auto to = [&](const Out& out, bool colours) {
    out("Pair Your iPhone");
    out("Open Tillerpad on your iPhone, tap “Pair with a Mac” and scan this code.");
    for (const auto& line : terminalQr(code, colours)) out(line);
    out(code);
    out("Expires in " + remaining());
  };
  if (toStandardOutput) to(terminal_.printLine, terminal_.isInteractive);
  if (toAttached && attached_) to(attached_->printLine, true);
  OPENSSL_cleanse(code.data(), code.size());
}

std::string HeadlessFront::remaining() const {
  const auto& payload = model_.pairing->payload();
  if (!payload) return "0:00";
  auto left = std::chrono::ceil<std::chrono::seconds>(payload->expiresAt - wallClock_());
  long seconds = std::max<long>(0, static_cast<long>(left.count()));
  return fmt::format("{}:{:02}", seconds / 60, seconds % 60);
}

void HeadlessFront::scheduleCountdown() {
  countdown_.reset();
  const auto& payload = model_.pairing->payload();
  if (!isPairing_ || !payload) return;
  auto left = payload->expiresAt - wallClock_();
  for (int mark : countdownMarks) {
    auto at = std::chrono::seconds(mark);
    if (left <= at) continue;
    auto delay = std::chrono::duration_cast<kit::Clock::Duration>(left - at);
    countdown_ = clock_->schedule(executor_, delay, [this, alive = std::weak_ptr<bool>(alive_)] {
      if (!alive.lock()) return;
      if (isPairing_ && std::holds_alternative<PairingController::ShowingCode>(model_.pairing->phase())) {
        print("Expires in " + remaining());
      }
      scheduleCountdown();
    });
    return;
  }
}

void HeadlessFront::phaseChanged(const PairingController::Phase& phase) {
  if (!isPairing_) return;
  if (std::holds_alternative<PairingController::ShowingCode>(phase) ||
      std::holds_alternative<PairingController::AwaitingApproval>(phase)) {
    return;
  }
  // The phone left or the code ran out while the question was open.
  if (question_ == Question::approval) {
    question_ = Question::none;
    answer_ = nullptr;
  }
  if (const auto* paired = std::get_if<PairingController::Paired>(&phase)) {
    print("“" + shown(paired->deviceName) + "” is paired");
    print("You can now control this Mac from that iPhone. You can revoke it at any time from the menu bar.");
  } else if (const auto* failed = std::get_if<PairingController::Failed>(&phase)) {
    switch (failed->failure) {
      case PairingController::Failure::expired:
        print("The code expired");
        print("For your security, pairing codes are valid for 5 minutes. Create a new one to try again.");
        break;
      case PairingController::Failure::denied:
        print("Pairing denied");
        print("The iPhone was not paired. Each code works only once, so create a new one to try again.");
        break;
      case PairingController::Failure::interrupted:
        print("Pairing didn’t finish");
        print("The connection to the iPhone was lost. Create a new code to try again.");
        break;
    }
  }
  stopPairing();
}

void HeadlessFront::askApproval(const kit::DeviceInfo& device) {
  std::weak_ptr<PairingController> pairing = model_.pairing;
  ask(Question::approval,
      {"Allow “" + shown(device.name) + "” to control this Mac?",
       "It will be able to move the pointer, type, open apps and see your screen. Only allow iPhones you own.",
       shown(device.model) + " · iOS " + shown(device.systemVersion), "Allow? [y/N]"},
      [pairing](bool allow) {
    if (auto p = pairing.lock()) p->resolve(allow);
  });
}

void HeadlessFront::ask(Question question, std::vector<std::string> lines, std::function<void(bool)> answer) {
  // One question at a time: a newer one withdraws the older.
  if (question_ != Question::none) {
    print("(The earlier question is withdrawn: no.)");
    this->answer(false);
  }
  for (const auto& line : lines) print(line);
  question_ = question;
  answer_ = std::move(answer);
  questionLines_ = std::move(lines);
  if (!canAnswer()) {
    print("(Standard input is closed: no.)");
    this->answer(false);
  }
}

void HeadlessFront::answer(bool yes) {
  question_ = Question::none;
  questionLines_.clear();
  auto reply = std::exchange(answer_, nullptr);
  if (reply) reply(yes);
}

void HeadlessFront::printStatus(const Out& out) {
  const auto& status = model_.server->status();
  if (const auto* listening = std::get_if<Server::Listening>(&status)) {
    out(fmt::format("Listening on port {}", listening->port));
  } else if (std::holds_alternative<Server::Failed>(status)) {
    out("Not reachable: network error");
  } else {
    out("Starting");
  }
  if (auto port = model_.server->fastPort()) out(fmt::format("Fast channel on UDP port {}", *port));
  const auto& session = model_.server->session();
  out(session ? "Connected: " + shown(session->device().name) : std::string("No iPhone connected"));
  printPermissions(model_.permissions.status(), out);
  out(fmt::format("Share Clipboard: {}", model_.settings.shareClipboard() ? "on" : "off"));
  out(fmt::format("Allow Screen Viewing: {}", model_.settings.allowScreenViewing() ? "on" : "off"));
  auto viewed = session ? session->screen().streamedDisplay() : std::nullopt;
  out(viewed ? fmt::format("Viewing the screen: {} (display {})", "“" + shown(session->device().name) + "”", *viewed)
             : std::string("Viewing the screen: nobody"));
  out(fmt::format("Open at Login: {}", model_.loginItem.isEnabled() ? "on" : "off"));
  if (isPairing_) out("A pairing code is showing; it expires in " + remaining());
}

void HeadlessFront::share(std::string_view argument) {
  auto space = argument.find_first_of(" \t");
  std::string what = lower(argument.substr(0, space));
  std::string value = space == std::string_view::npos ? std::string() : lower(trim(argument.substr(space)));
  if ((what != "screen" && what != "clipboard") || (value != "on" && value != "off")) {
    print("Usage: share screen on|off, share clipboard on|off");
    return;
  }
  // Stored, then the server re-applies it to a connected phone.
  if (what == "screen") {
    model_.settings.setAllowScreenViewing(value == "on");
    print(fmt::format("Allow Screen Viewing: {}", value));
  } else {
    model_.settings.setShareClipboard(value == "on");
    print(fmt::format("Share Clipboard: {}", value));
  }
}

void HeadlessFront::printDevices() {
  const auto& devices = model_.registry.devices();
  if (devices.empty()) {
    print("No paired iPhones yet.");
    return;
  }
  print("Paired iPhones:");
  const auto& session = model_.server->session();
  for (const auto& device : devices) {
    bool connected = session && session->device().id == device.id;
    print(fmt::format("  {}  {}  Paired on {}{}", shown(device.name), device.id.text(), pairedOn(device.pairedAt),
                      connected ? "  Connected" : ""));
  }
}

void HeadlessFront::revoke(std::string_view nameOrID) {
  const auto& devices = model_.registry.devices();
  std::vector<const kit::PairedDevice*> matches;
  if (auto id = kit::Uuid::parse(nameOrID)) {
    for (const auto& d : devices) {
      if (d.id == *id) matches.push_back(&d);
    }
  }
  if (matches.empty()) {
    for (const auto& d : devices) {
      if (d.name == nameOrID || shown(d.name) == nameOrID) matches.push_back(&d);
    }
  }
  if (matches.empty()) {
    print(fmt::format("No paired iPhone is named “{}” or has that id. Type “devices” for the list.", shown(nameOrID)));
    return;
  }
  if (matches.size() > 1) {
    print(fmt::format("Several paired iPhones are named “{}”: give the id. Type “devices” for the list.",
                      shown(nameOrID)));
    return;
  }
  kit::PairedDevice device = *matches.front();
  device.name = shown(device.name);
  model_.revoke(device);
}

}  // namespace tillerpad::host
