// tillerpad: the desktop service. By default the tray application (an icon
// in the panel's tray and its windows); `--headless` runs it without a
// toolkit, with status and pairing on the terminal.
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/read_until.hpp>
#include <asio/signal_set.hpp>
#include <asio/streambuf.hpp>

#include <sys/stat.h>
#include <unistd.h>

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
#include "host/app/attach_client.h"
#include "host/app/control_socket.h"
#include "host/app/headless_front.h"
#include "host/app/open_permission_settings.h"
#include "host/app/ports.h"
#include "host/screen/jpeg_encoder.h"
#include "host/service/connection_listener.h"
#include "host/ui/run_tray.h"
#include "kit/common/log.h"
#include "platform/pasteboard.h"
#include "platform/linux/avahi_advertiser.h"
#include "platform/linux/credential_store_factory.h"
#include "platform/linux/desktop_backend.h"
#include "platform/linux/desktop_settings_app.h"
#include "platform/linux/journal_log_sink.h"
#include "platform/linux/json_user_defaults.h"
#include "platform/linux/linux_app_workspace.h"
#include "platform/linux/linux_system_info.h"
#include "platform/linux/session_probe.h"
#include "platform/linux/x11_display.h"
#include "platform/linux/xdg_autostart.h"
#include "platform/gnome/gnome_backend.h"
#include "platform/wlroots/wlroots_backend.h"
#include "platform/screen_capture.h"

namespace tillerpad {
namespace {

constexpr const char* usage =
    "Usage: tillerpad [--quiet] [--port PORT] [--fast-port PORT] [--backend NAME] [--verbose]\n"
    "       tillerpad --headless [--pair] [--port PORT] [--fast-port PORT] [--backend NAME] [--verbose]\n"
    "       tillerpad --attach [--pair]\n"
    "\n"
    "Lets a paired phone on the local network control this desktop.\n"
    "\n"
    "Without --headless it runs as an icon in the panel's tray, with a menu and\n"
    "windows for pairing, permissions and settings; it needs an X display.\n"
    "\n"
    "  --quiet      start in the tray without opening any window (login start)\n"
    "  --headless   run without a tray icon: status and pairing on this terminal,\n"
    "               one command per line on standard input (type \"help\")\n"
    "  --pair       with --headless or --attach: show a pairing code at once\n"
    "  --port PORT  listen on this TCP port (default: the setting \"port\", else one\n"
    "               the system chooses)\n"
    "  --fast-port PORT\n"
    "               receive the fast channel on this UDP port (default: the setting\n"
    "               \"fastPort\", else one the system chooses)\n"
    "  --backend NAME\n"
    "               control the desktop through this backend: x11, wlroots (sway and\n"
    "               other wlroots compositors) or gnome (GNOME on Wayland); default:\n"
    "               the one the session offers, chosen at start and logged\n"
    "  --attach     connect this terminal to the headless service already running\n"
    "               for this user: its status, commands and pairing questions; end\n"
    "               of input or Ctrl-C detaches (type \"help\")\n"
    "  --verbose    log debug lines as well\n"
    "  --version    print the version\n"
    "  --help       print this text\n"
    "\n"
    "Uses $WAYLAND_DISPLAY or $DISPLAY for input, $XDG_CONFIG_HOME for settings\n"
    "and $XDG_DATA_HOME for pairing records when no unlocked keyring answers on\n"
    "the session bus; the headless service listens for --attach in\n"
    "$XDG_RUNTIME_DIR/tillerpad.\n";

struct Options {
  bool headless = false;
  bool quiet = false;
  bool pair = false;
  bool verbose = false;
  bool attach = false;
  std::optional<std::uint16_t> port, fastPort;  // else the settings decide
  std::optional<platform::BackendKind> backend;  // else the session decides
};

std::optional<Options> parse(int argc, char** argv, int& exitCode) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--pair") {
      options.pair = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--attach") {
      options.attach = true;
    } else if ((arg == "--port" || arg == "--fast-port") && i + 1 < argc) {
      auto port = host::parsePort(argv[++i]);
      if (!port) {
        std::fprintf(stderr, "tillerpad: not a port (1 to 65535): %s\n", argv[i]);
        exitCode = 2;
        return std::nullopt;
      }
      (arg == "--port" ? options.port : options.fastPort) = *port;
    } else if (arg == "--backend" && i + 1 < argc) {
      options.backend = platform::parseBackendKind(argv[++i]);
      if (!options.backend) {
        std::fprintf(stderr, "tillerpad: unknown backend %s (x11, wlroots or gnome)\n", argv[i]);
        exitCode = 2;
        return std::nullopt;
      }
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
  const char* problem = nullptr;
  if (options.headless && options.quiet) problem = "--quiet is for the tray application, not --headless";
  if (!options.headless && !options.attach && options.pair) {
    problem = "--pair needs --headless or --attach; the tray's menu has \"Pair New iPhone…\"";
  }
  if (options.attach && (options.headless || options.quiet || options.port || options.fastPort || options.verbose ||
                         options.backend)) {
    problem = "--attach takes only --pair: the running service has its own options";
  }
  if (problem) {
    std::fprintf(stderr, "tillerpad: %s\n\n%s", problem, usage);
    exitCode = 2;
    return std::nullopt;
  }
  return options;
}

// Stand-ins for the parts a backend lacks (or for a session without one).
// Nothing can be injected; the phone is told through the permission flags.
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
    onFailure("no desktop backend");
  }
};

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
    done(nullptr, std::string("no desktop backend to capture"));
  }
  void setDisplaysChangedHandler(std::function<void()>) override {}
};

class UnavailablePermissions final : public platform::PermissionProbe {
 public:
  bool canSynthesizeInput() override { return false; }
  bool canCaptureScreen() override { return false; }
};

class UnavailableShortcuts final : public platform::DesktopShortcuts {
 public:
  platform::DesktopShortcut shortcut(std::string_view) override { return {}; }
  bool performDirectly(std::string_view) override { return false; }
};

template <typename Part, typename StandIn>
Part& partOr(Part* part, StandIn& standIn) {
  return part ? *part : static_cast<Part&>(standIn);
}

// The desktop backends this build has. The choice at start goes through it,
// so a backend that is not built in is logged as such.
platform::BackendRegistry builtInBackends() {
  platform::BackendRegistry backends;
  backends.add(platform::BackendKind::x11, &platform::linux_x11::openX11Backend);
  backends.add(platform::BackendKind::wlroots, &platform::wlroots::openWlrootsBackend);
  backends.add(platform::BackendKind::gnome, &platform::gnome::openGnomeBackend);
  return backends;
}

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

// The log sinks and the settings, made first: the ports come from the
// settings and are checked before any adapter opens the display.
class LogAndSettings {
 public:
  explicit LogAndSettings(bool verbose)
      : sink_(makeSink(verbose)), defaults_(platform::JsonUserDefaults::defaultPath(), logger("defaults")) {}

  kit::Logger logger(std::string category) const { return kit::Logger(sink_, host::appID, std::move(category)); }
  const std::shared_ptr<kit::LogSink>& sink() const { return sink_; }
  platform::JsonUserDefaults& defaults() { return defaults_; }

 private:
  static std::shared_ptr<kit::LogSink> makeSink(bool verbose) {
    std::vector<std::shared_ptr<kit::LogSink>> sinks;
    auto journal = platform::makeJournalLogSink();
    // Under the user unit standard error is the journal too: each line once,
    // through the sink that keeps its priority.
    if (!journal || !platform::isJournalStream(STDERR_FILENO)) {
      sinks.push_back(std::make_shared<kit::StderrLogSink>(verbose ? kit::LogLevel::debug : kit::LogLevel::info));
    }
    if (journal) sinks.push_back(journal);
    return std::make_shared<platform::FanOutLogSink>(std::move(sinks));
  }

  std::shared_ptr<kit::LogSink> sink_;
  platform::JsonUserDefaults defaults_;
};

// The desktop's side of the system, shared by the headless service and the
// tray application: the desktop backend chosen at start (stand-ins for what
// it lacks), login item, keyring and DNS-SD.
class LinuxDesktop {
 public:
  LinuxDesktop(const Options& options, host::Ports ports, LogAndSettings& base)
      : options_(options),
        ports_(ports),
        base_(base),
        sink_(base.sink()),
        log_(logger("app")),
        xErrorLog_((platform::linux_x11::setXErrorLog(logger("x11")), true)),
        autostart_(platform::XdgAutostart::defaultEntry(host::appID), executablePath()),
        backend_(openBackend()),
        advertiser_(platform::makeAvahiAdvertiser(logger("bonjour"))),
        appWorkspace_(backend_ ? backend_->openAppWorkspace() : nullptr) {
    // Installed applications are listed without any backend too.
    if (!appWorkspace_) appWorkspace_ = platform::linux_apps::openLinuxAppWorkspace("", logger("apps"));
  }

  kit::Logger logger(std::string category) const { return kit::Logger(sink_, host::appID, std::move(category)); }
  const kit::Logger& log() const { return log_; }
  // What "Open System Settings" opens (docs/tray-settings.md).
  platform::linux_apps::DesktopSettingsApp& settingsApp() { return settingsApp_; }
  const std::shared_ptr<kit::Clock>& clock() const { return clock_; }
  // What the status names when input or the screen is not possible.
  host::HeadlessFront::Unavailable unavailable() const {
    auto reasons = platform::unavailableReasons(choice_, backend_.get());
    return {reasons.input, reasons.screen};
  }

  // On the service thread, which runs `io`.
  std::unique_ptr<host::AppModel> makeModel(asio::io_context& io) {
    platform::DesktopBackend* b = backend_.get();
    auto& inputEvents = partOr(b ? b->input() : nullptr, noInput_);
    auto& displays = partOr(b ? b->displays() : nullptr, noInput_);
    // Headless, nobody could answer an unlock prompt: a locked keyring
    // would hold every pairing up until it gives up.
    auto prompt = options_.headless ? platform::KeyringPrompt::never : platform::KeyringPrompt::allowed;
    return std::make_unique<host::AppModel>(host::AppPlatform{
        io, clock_, [] { return std::chrono::system_clock::now(); }, sink_, base_.defaults(), system_, autostart_,
        [this, prompt](const std::string& service) {
          return platform::makeCredentialStore(service, logger("keychain"), prompt);
        },
        partOr(b ? b->permissions() : nullptr, noPermissions_), inputEvents, displays, displays.doubleClickInterval(),
        b ? b->keyboardLayouts() : nullptr, partOr(b ? b->systemCommands() : nullptr, noCommands_),
        partOr(b ? b->shortcuts() : nullptr, noShortcuts_), *advertiser_,
        host::tlsListenerFactory(io.get_executor(), ports_.tcp), interfaces_,
        partOr(b ? b->screenCapture() : nullptr, noScreen_), &host::makeTurboJpegEncoder,
        partOr(b ? b->pasteboard() : nullptr, noPasteboard_), *appWorkspace_, ports_.udp});
  }

 private:
  // The probes run only without --backend; the choice is one log line.
  std::unique_ptr<platform::DesktopBackend> openBackend() {
    auto facts = options_.backend ? platform::SessionFacts{} : platform::probeSession();
    choice_ = platform::chooseBackend(facts, options_.backend);
    if (choice_.degraded) {
      log_.error(choice_.line);
    } else {
      log_.notice(choice_.line);
    }
    if (!choice_.kind) return nullptr;
    platform::BackendContext context{[this](std::string category) { return logger(std::move(category)); }, "", ""};
    return builtInBackends().open(*choice_.kind, context, log_);
  }

  Options options_;
  host::Ports ports_;
  LogAndSettings& base_;
  std::shared_ptr<kit::LogSink> sink_;
  kit::Logger log_;
  bool xErrorLog_;  // set before the first display opens
  std::shared_ptr<kit::Clock> clock_ = std::make_shared<kit::SteadyClock>();
  platform::LinuxSystemInfo system_;
  platform::XdgAutostart autostart_;
  platform::BackendChoice choice_;  // set by openBackend
  std::unique_ptr<platform::DesktopBackend> backend_;
  std::unique_ptr<platform::ServiceAdvertiser> advertiser_;
  kit::SystemInterfaceSource interfaces_;
  std::unique_ptr<platform::AppWorkspace> appWorkspace_;  // may use the backend's connection
  platform::linux_apps::DesktopSettingsApp settingsApp_{logger("permissions")};
  UnavailableInput noInput_;
  UnavailableCommands noCommands_;
  UnavailableScreenCapture noScreen_;
  UnavailablePasteboard noPasteboard_;
  UnavailablePermissions noPermissions_;
  UnavailableShortcuts noShortcuts_;
};

// After the service loop stopped, on its thread. Quitting sends no bye, but
// every connection ends before the process does: a task left waiting on one
// would keep it (and itself) alive.
void stopService(asio::io_context& io, host::AppModel& model) {
  model.pairing->stop();
  model.server->shutdown();
  io.restart();
  auto settleBy = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!model.server->isIdle() && std::chrono::steady_clock::now() < settleBy) {
    io.run_for(std::chrono::milliseconds(10));
  }
  // Buttons and keys a phone still holds go up before the process ends.
  model.input.releaseAll();
  model.input.waitIdle(std::chrono::seconds(1));
}

void prepareProcess() {
  // Before any Xlib call: several threads use Xlib, and an X error must not end the service.
  platform::linux_x11::prepareXlib();
  // A script reads the code and the question through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A phone that vanishes mid-write must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
}

// The ports from the options and the settings. A fixed one that cannot be
// bound ends the start here, before any adapter or listener is made; the
// probes are closed again before the listeners bind.
std::optional<host::Ports> checkedPorts(const Options& options, LogAndSettings& base) {
  auto ports = host::choosePorts(options.port, options.fastPort, base.defaults(), base.logger("app"));
  if (auto problem = host::portProblem(ports)) {
    std::fprintf(stderr, "tillerpad: %s\n", problem->c_str());
    return std::nullopt;
  }
  return ports;
}

// The socket `tillerpad --attach` connects to; nothing without
// $XDG_RUNTIME_DIR or when it cannot be made (the service runs without it).
// Throws ControlSocket::AlreadyRunning.
std::unique_ptr<host::ControlSocket> openControlSocket(asio::io_context& io, const kit::Logger& log) {
  auto path = host::controlSocketPath();
  if (!path) {
    log.notice("No $XDG_RUNTIME_DIR: no terminal can attach (tillerpad --attach)");
    return nullptr;
  }
  try {
    return host::ControlSocket::open(io.get_executor(), *path, log);
  } catch (const host::ControlSocket::AlreadyRunning&) {
    throw;
  } catch (const std::exception& e) {
    log.error(std::string("No terminal can attach: ") + e.what());
    return nullptr;
  }
}

int runHeadless(const Options& options) {
  prepareProcess();
  LogAndSettings base(options.verbose);
  std::optional<LinuxDesktop> desktop;  // outlives the loop, as its adapters expect
  asio::io_context io(1);
  // First, so that a second service says what it is that already runs.
  std::unique_ptr<host::ControlSocket> control;
  try {
    control = openControlSocket(io, base.logger("control"));
  } catch (const host::ControlSocket::AlreadyRunning&) {
    std::fputs("tillerpad: a headless service is already running; use tillerpad --attach\n", stderr);
    return 1;
  }
  auto ports = checkedPorts(options, base);
  if (!ports) return 1;
  desktop.emplace(options, *ports, base);
  const auto& log = desktop->log();
  auto wallClock = [] { return std::chrono::system_clock::now(); };

  std::unique_ptr<host::AppModel> model;
  try {
    model = desktop->makeModel(io);
  } catch (const std::exception& e) {
    log.error(std::string("Cannot start: ") + e.what());
    std::fprintf(stderr, "tillerpad: cannot start: %s\n", e.what());
    return 1;
  }

  auto quit = [&io] { io.stop(); };
  host::HeadlessFront front(*model, io.get_executor(), desktop->clock(), wallClock,
                            host::HeadlessFront::Terminal{[](std::string_view line) {
                                                            std::fwrite(line.data(), 1, line.size(), stdout);
                                                            std::fputc('\n', stdout);
                                                          },
                                                          ::isatty(STDOUT_FILENO) == 1,
                                                          platform::isJournalStream(STDOUT_FILENO)},
                            quit, desktop->unavailable());
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](std::error_code ec, int signal) {
    if (ec) return;
    log.notice(std::string("Stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    quit();
  });
  InputLines input(io, front);
  front.begin(options.pair);
  input.start();
  if (control) {
    control->start({[&] {
                      front.attach({[&](std::string_view line) { control->send(line); }, [&] { control->detach(); }});
                    },
                    [&](std::string_view line) { front.attachedLine(line); }, [&] { front.detached(); }});
  }

  io.run();
  if (control) {
    control->send("Tillerpad is stopping");
    control->stop();
  }
  stopService(io, *model);
  std::fflush(stdout);
  return 0;
}

int runTrayApp(int& argc, char** argv, const Options& options) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    std::fputs("tillerpad: no X display ($DISPLAY is not set); the tray application needs one.\n"
               "Run \"tillerpad --headless\" to use this desktop from a terminal.\n",
               stderr);
    return 2;
  }
  prepareProcess();
  LogAndSettings base(options.verbose);
  auto ports = checkedPorts(options, base);
  if (!ports) return 1;
  if (auto* probe = platform::linux_x11::openDisplay("")) {
    platform::linux_x11::closeDisplay(probe);
  } else {
    std::fprintf(stderr, "tillerpad: cannot open the X display \"%s\".\n", display);
    return 2;
  }
  LinuxDesktop desktop(options, *ports, base);
  asio::io_context io(1);
  return ui::runTray(argc, argv, ui::TrayOptions{options.quiet},
                     ui::TrayService{io, [&] { return desktop.makeModel(io); },
                                     [&](host::AppModel& model) { stopService(io, model); },
                                     host::openPermissionSettingsWith(desktop.settingsApp()),
                                     [] { platform::linux_x11::restoreXlibHandlers(); }, desktop.logger("app")});
}

}  // namespace
}  // namespace tillerpad

int main(int argc, char** argv) {
  int exitCode = 0;
  auto options = tillerpad::parse(argc, argv, exitCode);
  if (!options) return exitCode;
  if (options->attach) return tillerpad::host::runAttach(options->pair);
  return options->headless ? tillerpad::runHeadless(*options) : tillerpad::runTrayApp(argc, argv, *options);
}
