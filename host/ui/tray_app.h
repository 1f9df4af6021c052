#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "host/app/ui_state.h"
#include "host/ui/tray_menu.h"

class QWidget;

namespace tillerpad::ui {

// The windows the tray application opens. The product's are the pairing,
// onboarding and settings windows; tests give their own.
class TrayWindows {
 public:
  virtual ~TrayWindows() = default;
  virtual void openPairing() = 0;    // shows it and asks for a fresh code
  virtual void raisePairing() = 0;   // brings it forward as it is
  virtual void openOnboarding() = 0;
  virtual void openSettings() = 0;
  virtual void showState(const host::UiState& state) = 0;
  // Where Ctrl+, and Ctrl+Q work besides the menu.
  virtual std::vector<QWidget*> widgets() = 0;
};

// The tray icon, its menu and what opens by itself: the onboarding window
// once per run while input is not permitted, the pairing window when a phone
// asks for approval, the settings window when there is no tray to show the
// icon in. Qt thread only.
class TrayApp : public QObject {
  Q_OBJECT
 public:
  enum class Look { idle, connected, viewing };

  struct Options {
    bool quiet = false;
    // Whether the desktop has a tray now (QSystemTrayIcon's answer).
    std::function<bool()> hasTray = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    // Quiet start: how long a tray may take to appear (the panel may start
    // after the application at login) before the settings window opens.
    std::chrono::milliseconds trayGrace{15000};
  };

  TrayApp(std::shared_ptr<host::UiActions> actions, std::unique_ptr<TrayWindows> windows, Options options,
          QObject* parent = nullptr);
  ~TrayApp() override;

  void showState(const host::UiState& state);
  // The service's question (revoking a phone), as a warning box.
  void confirm(const host::UiAlert& alert, std::function<void(bool)> answer);

  QSystemTrayIcon& icon() { return icon_; }
  TrayMenu& menu() { return *menu_; }
  Look look() const { return look_; }
  static QIcon picture(Look look);
  static QString label(Look look);

 signals:
  void quitRequested();

 private:
  void start(const host::UiState& state);
  void waitForTray();

  std::shared_ptr<host::UiActions> actions_;
  std::unique_ptr<TrayWindows> windows_;
  Options options_;
  QSystemTrayIcon icon_;
  std::unique_ptr<TrayMenu> menu_;
  QTimer trayWait_;
  QElapsedTimer trayWaited_;
  bool started_ = false;
  bool didOfferOnboarding_ = false;
  Look look_ = Look::idle;
  host::UiState::PairingPhase pairingPhase_ = host::UiState::PairingPhase::idle;
};

}  // namespace tillerpad::ui
