// tillerpad: the desktop service. `--headless` runs it without a toolkit,
// with status and pairing on the terminal.
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/read_until.hpp>
#include <asio/signal_set.hpp>
#include <asio/streambuf.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/app/app_id.h"
#include "host/app/app_model.h"
#include "host/app/headless_front.h"
#include "host/screen/jpeg_encoder.h"
#include "host/service/connection_listener.h"
#include "kit/common/log.h"
#include "platform/pasteboard.h"
#include "platform/linux/avahi_advertiser.h"
#include "platform/linux/credential_store_factory.h"
#include "platform/linux/gnome_desktop_shortcuts.h"
#include "platform/linux/journal_log_sink.h"
#include "platform/linux/json_user_defaults.h"
#include "platform/linux/linux_system_commands.h"
#include "platform/linux/linux_system_info.h"
#include "platform/linux/x11_display.h"
#include "platform/linux/x11_input.h"
#include "platform/linux/linux_app_workspace.h"
#include "platform/linux/x11_pasteboard.h"
#include "platform/linux/x11_permission_probe.h"
#include "platform/linux/x11_screen_capture.h"
#include "platform/linux/xdg_autostart.h"
#include "platform/linux/xkb_keyboard_layout.h"
#include "platform/screen_capture.h"

namespace tillerpad {
namespace {

constexpr const char* usage =
    "Usage: tillerpad --headless [--pair] [--port PORT] [--verbose]\n"
    "\n"
    "Lets a paired phone on the local network control this desktop.\n"
    "\n"
    "  --headless   run without a tray icon: status and pairing on this terminal,\n"
    "               one command per line on standard input (type \"help\")\n"
    "  --pair       show a pairing code at once\n"
    "  --port PORT  listen on this TCP port (default: one the system chooses)\n"
    "  --verbose    log debug lines as well\n"
    "  --version    print the version\n"
    "  --help       print this text\n"
    "\n"
    "Uses $DISPLAY for input, $XDG_CONFIG_HOME for settings and $XDG_DATA_HOME for\n"
    "pairing records when no unlocked keyring answers on the session bus.\n";

struct Options {
  bool headless = false;
  bool pair = false;
  bool verbose = false;
  std::uint16_t port = 0;
};

std::optional<Options> parse(int argc, char** argv, int& exitCode) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--pair") {
      options.pair = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--port" && i + 1 < argc) {
      std::string_view value = argv[++i];
      unsigned port = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port == 0 || port > 65535) {
        std::fprintf(stderr, "tillerpad: not a port: %s\n", argv[i]);
        exitCode = 2;
        return std::nullopt;
      }
      options.port = static_cast<std::uint16_t>(port);
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      exitCode = 0;
      return std::nullopt;
    } else if (arg == "--version") {
      std::printf("tillerpad %s\n", host::MacIdentity::shortVersion().c_str());
      exitCode = 0;
      return std::nullopt;
    } else {
      std::fprintf(stderr, "tillerpad: unknown option %s\n\n%s", argv[i], usage);
      exitCode = 2;
      return std::nullopt;
    }
  }
  if (!options.headless) {
    std::fputs("tillerpad: the tray application is not part of this build; run \"tillerpad --headless\".\n", stderr);
    exitCode = 2;
    return std::nullopt;
  }
  return options;
}

// Without an X display nothing can be injected; the phone is told through
// the permission flags.
class UnavailableInput final : public platform::InputEventSink, public platform::DisplayQuery {
 public:
  bool postMouse(const platform::MouseEvent&) override { return false; }
  bool postScroll(const platform::ScrollEvent&) override { return false; }
  bool postKey(const platform::KeyEvent&) override { return false; }
  bool postText(const platform::TextEvent&) override { return false; }
  std::optional<platform::Point> cursorLocation() override { return std::nullopt; }
  std::vector<platform::DisplayInfo> activeDisplays() override { return {}; }
  double doubleClickInterval() override { return 0.5; }
};

class UnavailableCommands final : public platform::SystemCommandRunner {
 public:
  bool postMediaKey(platform::MediaKey, bool) override { return false; }
  void startPower(platform::PowerRequest, std::function<void(std::string)> onFailure) override {
    onFailure("no X display");
  }
};

// Without a readable X display no screen can be captured; a phone that asks
// is told "screenCaptureFailed".
// Without a clipboard adapter: nothing is offered to a phone and what it
// sends is refused (the session then logs that it could not be used).
class UnavailablePasteboard final : public platform::Pasteboard {
 public:
  std::int64_t changeCount() override { return 0; }
  void types(std::function<void(std::vector<std::string>)> done) override { done({}); }
  void data(const std::string&, std::size_t, std::function<void(Data)> done) override { done(Data::none()); }
  void write(std::vector<std::pair<std::string, Bytes>>, std::function<void(std::optional<std::int64_t>)> done) override {
    done(std::nullopt);
  }
};

class UnavailableScreenCapture final : public platform::ScreenCapture {
 public:
  void listDisplays(DisplaysDone done) override { done({}); }
  void start(const platform::CaptureConfig&, platform::CaptureHandlers, StartDone done) override {
    done(nullptr, std::string("no X display to capture"));
  }
  void setDisplaysChangedHandler(std::function<void()>) override {}
};

std::string executablePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("tillerpad") : path.string();
}

// Standard input, one line at a time, on the service thread. A pipe or a
// terminal is read asynchronously; a file (or /dev/null) cannot be watched
// and is read at once.
class InputLines {
 public:
  static constexpr std::size_t maxLine = 4096;

  InputLines(asio::io_context& io, host::HeadlessFront& front) : front_(front), descriptor_(io) {}

  void start() {
    int fd = ::dup(STDIN_FILENO);
    std::error_code ec;
    if (fd >= 0) descriptor_.assign(fd, ec);
    if (fd < 0 || ec) {
      if (fd >= 0 && !descriptor_.is_open()) ::close(fd);
      readAtOnce();
      return;
    }
    readNext();
  }

 private:
  void readAtOnce() {
    struct stat st {};
    if (::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
      std::string line;
      while (std::getline(std::cin, line)) front_.handleLine(line);
    }
    front_.endOfInput();
  }

  void readNext() {
    asio::async_read_until(descriptor_, buffer_, '\n', [this](std::error_code ec, std::size_t length) {
      if (ec == asio::error::not_found) {
        // Longer than any command: dropped.
        buffer_.consume(buffer_.size());
        readNext();
        return;
      }
      if (ec) {
        // The last line may lack its newline.
        if (buffer_.size() > 0) {
          std::string rest(asio::buffers_begin(buffer_.data()), asio::buffers_end(buffer_.data()));
          buffer_.consume(buffer_.size());
          front_.handleLine(rest);
        }
        if (ec != asio::error::operation_aborted) front_.endOfInput();
        return;
      }
      std::string line(asio::buffers_begin(buffer_.data()), asio::buffers_begin(buffer_.data()) + length - 1);
      buffer_.consume(length);
      front_.handleLine(line);
      readNext();
    });
  }

  host::HeadlessFront& front_;
  asio::posix::stream_descriptor descriptor_;
  asio::streambuf buffer_{maxLine};
};

int run(const Options& options) {
  // Before any Xlib call: several threads use Xlib, and an X error must not end the service.
  platform::linux_x11::prepareXlib();
  // A script reads the code and the question through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A phone that vanishes mid-write must not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<std::shared_ptr<kit::LogSink>> sinks{
      std::make_shared<kit::StderrLogSink>(options.verbose ? kit::LogLevel::debug : kit::LogLevel::info)};
  if (auto journal = platform::makeJournalLogSink()) sinks.push_back(journal);
  auto sink = std::make_shared<platform::FanOutLogSink>(std::move(sinks));
  auto logger = [&](std::string category) { return kit::Logger(sink, host::appID, std::move(category)); };
  auto log = logger("app");
  platform::linux_x11::setXErrorLog(logger("x11"));

  asio::io_context io(1);
  auto clock = std::make_shared<kit::SteadyClock>();
  auto wallClock = [] { return std::chrono::system_clock::now(); };

  platform::JsonUserDefaults defaults(platform::JsonUserDefaults::defaultPath(), logger("defaults"));
  platform::LinuxSystemInfo system;
  platform::XdgAutostart autostart(platform::XdgAutostart::defaultEntry(host::appID), executablePath());
  platform::linux_x11::X11PermissionProbe permissionProbe("", logger("permissions"));

  auto x11 = platform::linux_x11::X11Input::open("", logger("input"));
  UnavailableInput noInput;
  UnavailableCommands noCommands;
  std::unique_ptr<platform::linux_x11::LinuxSystemCommands> x11Commands;
  std::unique_ptr<platform::linux_x11::XkbKeyboardLayoutSource> layouts;
  if (x11) {
    x11Commands = std::make_unique<platform::linux_x11::LinuxSystemCommands>(*x11);
    layouts = std::make_unique<platform::linux_x11::XkbKeyboardLayoutSource>("", logger("keyboard-layout"));
  } else {
    log.error("No X display with the XTest extension: a phone can connect but not control this desktop");
  }
  platform::linux_x11::GnomeDesktopShortcuts shortcuts("", logger("shortcuts"));
  auto advertiser = platform::makeAvahiAdvertiser(logger("bonjour"));
  kit::SystemInterfaceSource interfaces;

  platform::InputEventSink& inputEvents = x11 ? static_cast<platform::InputEventSink&>(*x11) : noInput;
  platform::DisplayQuery& displays = x11 ? static_cast<platform::DisplayQuery&>(*x11) : noInput;
  UnavailableScreenCapture noScreen;
  std::unique_ptr<platform::linux_x11::X11ScreenCapture> x11Screen;
  if (x11) x11Screen = std::make_unique<platform::linux_x11::X11ScreenCapture>("", logger("screen"));
  platform::ScreenCapture& screenCapture = x11Screen ? static_cast<platform::ScreenCapture&>(*x11Screen) : noScreen;

  UnavailablePasteboard noPasteboard;
  std::unique_ptr<platform::linux_x11::X11Pasteboard> x11Pasteboard;
  if (x11) x11Pasteboard = std::make_unique<platform::linux_x11::X11Pasteboard>(platform::linux_x11::X11Pasteboard::Options{}, logger("clipboard"));
  platform::Pasteboard& pasteboard = x11Pasteboard ? static_cast<platform::Pasteboard&>(*x11Pasteboard) : noPasteboard;

  // Installed applications are listed without a display too; running ones need one.
  auto appWorkspace = platform::linux_apps::openLinuxAppWorkspace("", logger("apps"));

  std::unique_ptr<host::AppModel> model;
  try {
    model = std::make_unique<host::AppModel>(host::AppPlatform{
        io, clock, wallClock, sink, defaults, system, autostart,
        [&](const std::string& service) {
          // Headless, nobody could answer an unlock prompt: a locked keyring
          // would hold every pairing up until it gives up.
          auto prompt = options.headless ? platform::KeyringPrompt::never : platform::KeyringPrompt::allowed;
          return platform::makeCredentialStore(service, logger("keychain"), prompt);
        },
        permissionProbe, inputEvents, displays, displays.doubleClickInterval(), layouts.get(),
        x11Commands ? static_cast<platform::SystemCommandRunner&>(*x11Commands) : noCommands, shortcuts, *advertiser,
        host::tlsListenerFactory(io.get_executor(), options.port), interfaces, screenCapture, &host::makeTurboJpegEncoder,
        pasteboard, *appWorkspace});
  } catch (const std::exception& e) {
    log.error(std::string("Cannot start: ") + e.what());
    std::fprintf(stderr, "tillerpad: cannot start: %s\n", e.what());
    return 1;
  }

  auto quit = [&io] { io.stop(); };
  host::HeadlessFront front(*model, io.get_executor(), clock, wallClock,
                            host::HeadlessFront::Terminal{[](std::string_view line) {
                                                            std::fwrite(line.data(), 1, line.size(), stdout);
                                                            std::fputc('\n', stdout);
                                                          },
                                                          ::isatty(STDOUT_FILENO) == 1},
                            quit);
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](std::error_code ec, int signal) {
    if (ec) return;
    log.notice(std::string("Stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    quit();
  });
  InputLines input(io, front);
  front.begin(options.pair);
  input.start();

  io.run();

  // Quitting sends no bye, but every connection ends before the process
  // does: a task left waiting on one would keep it (and itself) alive.
  model->pairing->stop();
  model->server->shutdown();
  io.restart();
  auto settleBy = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!model->server->isIdle() && std::chrono::steady_clock::now() < settleBy) {
    io.run_for(std::chrono::milliseconds(10));
  }

  // Buttons and keys a phone still holds go up before the process ends.
  model->input.releaseAll();
  model->input.waitIdle(std::chrono::seconds(1));
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace tillerpad

int main(int argc, char** argv) {
  int exitCode = 0;
  auto options = tillerpad::parse(argc, argv, exitCode);
  if (!options) return exitCode;
  return tillerpad::run(*options);
}
