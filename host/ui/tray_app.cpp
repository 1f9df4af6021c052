#include "host/ui/tray_app.h"

#include <QCursor>
#include <QWidget>

#include "host/ui/confirm_dialog.h"

namespace tillerpad::ui {

TrayApp::TrayApp(std::shared_ptr<host::UiActions> actions, std::unique_ptr<TrayWindows> windows, Options options,
                 QObject* parent)
    : QObject(parent), actions_(std::move(actions)), windows_(std::move(windows)), options_(std::move(options)) {
  menu_ = std::make_unique<TrayMenu>(actions_, TrayMenu::Handlers{[this] { windows_->openOnboarding(); },
                                                                  [this] { windows_->openPairing(); },
                                                                  [this] { windows_->openSettings(); },
                                                                  [this] { emit quitRequested(); }});
  icon_.setContextMenu(menu_->menu());
  icon_.setIcon(picture(look_));
  icon_.setToolTip(label(look_));
  // The icon does nothing else, so a left click opens the menu too.
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger) return;
    // Under the icon where the tray tells where it is (the menu moves onto the screen).
    auto at = icon_.geometry();
    menu_->menu()->popup(at.isValid() ? at.bottomLeft() : QCursor::pos());
  });
  for (auto* widget : windows_->widgets()) widget->addActions({menu_->settingsAction(), menu_->quitAction()});
  trayWait_.setInterval(500);
  connect(&trayWait_, &QTimer::timeout, this, &TrayApp::waitForTray);
}

TrayApp::~TrayApp() = default;

QIcon TrayApp::picture(Look look) {
  // The installed theme's icon when there is one; the built-in copy otherwise.
  switch (look) {
    case Look::idle:
      return QIcon::fromTheme(QStringLiteral("tillerpad-status"), QIcon(QStringLiteral(":/tillerpad/tillerpad-status.svg")));
    case Look::connected:
      return QIcon::fromTheme(QStringLiteral("tillerpad-status-connected"),
                              QIcon(QStringLiteral(":/tillerpad/tillerpad-status-connected.svg")));
    case Look::viewing:
      return QIcon::fromTheme(QStringLiteral("tillerpad-status-viewing"),
                              QIcon(QStringLiteral(":/tillerpad/tillerpad-status-viewing.svg")));
  }
  return {};
}

QString TrayApp::label(Look look) {
  switch (look) {
    case Look::idle: return tr("Tillerpad");
    case Look::connected: return tr("Tillerpad: iPhone connected");
    case Look::viewing: return tr("Tillerpad: iPhone connected — viewing the screen");
  }
  return {};
}

void TrayApp::showState(const host::UiState& state) {
  menu_->showState(state);
  windows_->showState(state);
  Look look = !state.connectedName ? Look::idle : state.isViewingScreen ? Look::viewing : Look::connected;
  if (look != look_) {
    look_ = look;
    icon_.setIcon(picture(look));
    icon_.setToolTip(label(look));
  }
  if (!started_) start(state);
  // A phone asking for approval brings the pairing window forward.
  using Phase = host::UiState::PairingPhase;
  if (state.pairing.phase == Phase::awaitingApproval && pairingPhase_ != Phase::awaitingApproval) {
    windows_->raisePairing();
  }
  pairingPhase_ = state.pairing.phase;
}

void TrayApp::start(const host::UiState& state) {
  started_ = true;
  // Shown even without a tray: the icon appears when a tray does.
  icon_.show();
  if (!options_.hasTray()) {
    if (options_.quiet) {
      trayWaited_.start();
      trayWait_.start();
    } else {
      windows_->openSettings();
    }
  }
  // The onboarding offer: once per run, for input only (screen viewing is optional).
  if (!options_.quiet && !state.accessibility && !didOfferOnboarding_) {
    didOfferOnboarding_ = true;
    windows_->openOnboarding();
  }
}

void TrayApp::waitForTray() {
  if (options_.hasTray()) {
    trayWait_.stop();
    return;
  }
  if (trayWaited_.elapsed() < options_.trayGrace.count()) return;
  // Never invisible: without a tray, the settings window is the application.
  trayWait_.stop();
  windows_->openSettings();
}

void TrayApp::confirm(const host::UiAlert& alert, std::function<void(bool)> answer) {
  askToConfirm(alert, std::move(answer));
}

}  // namespace tillerpad::ui
