#include "host/ui/run_tray.h"

#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <QApplication>
#include <QIcon>
#include <QMetaObject>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "host/app/app_id.h"
#include "host/ui/onboarding_window.h"
#include "host/ui/pairing_window.h"
#include "host/ui/settings_window.h"
#include "host/ui/tray_app.h"
#include "host/ui/ui_thread.h"

namespace tillerpad::ui {
namespace {

// How long quitting may take on the service thread: its own bounded waits
// (connections, held keys) take about two seconds.
constexpr std::chrono::seconds stopLimit{10};

class ProductWindows final : public TrayWindows {
 public:
  explicit ProductWindows(const std::shared_ptr<host::UiActions>& actions)
      : pairing_(actions), onboarding_(actions), settings_(actions, [this] { openPairing(); }) {}

  void openPairing() override { pairing_.open(); }
  void raisePairing() override {
    if (!pairing_.isVisible()) return;  // pairing runs only while it is open
    if (pairing_.isMinimized()) pairing_.showNormal();
    pairing_.raise();
    pairing_.activateWindow();
  }
  void openOnboarding() override { onboarding_.open(); }
  void openSettings() override { settings_.open(); }
  void showState(const host::UiState& state) override {
    pairing_.showState(state);
    onboarding_.showState(state);
    settings_.showState(state);
  }
  std::vector<QWidget*> widgets() override { return {&pairing_, &onboarding_, &settings_}; }

 private:
  PairingWindow pairing_;
  OnboardingWindow onboarding_;
  SettingsWindow settings_;
};

}  // namespace

int runTray(int& argc, char** argv, const TrayOptions& options, TrayService service) {
  QApplication app(argc, argv);
  if (service.toolkitStarted) service.toolkitStarted();
  QApplication::setApplicationName(QStringLiteral("Tillerpad"));
  QApplication::setDesktopFileName(QString::fromLatin1(host::appID));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tillerpad"), QIcon(QStringLiteral(":/tillerpad/tillerpad.svg"))));
  // Closing the last window leaves the icon in the tray.
  QApplication::setQuitOnLastWindowClosed(false);

  auto& io = service.io;
  QObject context;  // what the service posts to the Qt thread goes through it
  std::unique_ptr<TrayApp> tray;
  int failure = 0;
  auto front = frontOn(
      &context, [&](const host::UiState& state) { if (tray) tray->showState(state); },
      [&](const host::UiAlert& alert, std::function<void(bool)> answer) {
        if (tray) tray->confirm(alert, std::move(answer));
        else answer(false);
      });

  asio::signal_set stopSignals(io, SIGINT, SIGTERM);
  stopSignals.async_wait([&](std::error_code ec, int signal) {
    if (ec) return;
    service.log.notice(std::string("Stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    QMetaObject::invokeMethod(&context, [] { QApplication::quit(); }, Qt::QueuedConnection);
  });

  // Service thread only.
  std::unique_ptr<host::AppModel> model;
  std::shared_ptr<host::UiBridge> bridge;
  asio::post(io, [&] {
    try {
      model = service.makeModel();
    } catch (const std::exception& e) {
      service.log.error(std::string("Cannot start: ") + e.what());
      QMetaObject::invokeMethod(&context, [&failure, what = std::string(e.what())] {
        std::fprintf(stderr, "tillerpad: cannot start: %s\n", what.c_str());
        failure = 1;
        QApplication::exit(1);
      }, Qt::QueuedConnection);
      return;
    }
    bridge = host::UiBridge::create(*model, io.get_executor(), front, service.openPermissionSettings);
    // Posted before the first snapshot, so the tray exists when it comes.
    QMetaObject::invokeMethod(&context, [&, actions = bridge->actions()] {
      tray = std::make_unique<TrayApp>(actions, std::make_unique<ProductWindows>(actions),
                                       TrayApp::Options{.quiet = options.quiet});
      QObject::connect(tray.get(), &TrayApp::quitRequested, &app, &QApplication::quit, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
    bridge->begin();
  });

  std::promise<void> stopped;
  auto serviceStopped = stopped.get_future();
  std::thread serviceThread([&] {
    auto work = asio::make_work_guard(io);
    io.run();
    work.reset();
    if (model) {
      service.finish(*model);
      model.reset();
    }
    stopped.set_value();
  });

  int status = app.exec();

  // The bridge ends first: after that nothing more is posted to the Qt thread.
  asio::post(io, [&] {
    if (bridge) bridge->end(), bridge.reset();
    stopSignals.cancel();
    io.stop();
  });
  if (serviceStopped.wait_for(stopLimit) != std::future_status::ready) {
    service.log.error("The service did not stop in time");
    std::fflush(stdout);
    std::_Exit(1);
  }
  serviceThread.join();
  tray.reset();
  return failure ? failure : status;
}

}  // namespace tillerpad::ui
