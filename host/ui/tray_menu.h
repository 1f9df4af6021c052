#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/app/ui_state.h"

namespace tillerpad::ui {

// The tray icon's menu, built again from a snapshot whenever what it shows
// changes. "Settings…" (Ctrl+,) and "Quit Tillerpad" (Ctrl+Q) are kept
// across rebuilds so that their shortcuts can also be given to the windows.
class TrayMenu : public QObject {
  Q_OBJECT
 public:
  struct Handlers {
    std::function<void()> openOnboarding;
    std::function<void()> openPairing;
    std::function<void()> openSettings;
    std::function<void()> quit;
  };

  TrayMenu(std::shared_ptr<host::UiActions> actions, Handlers handlers, QObject* parent = nullptr);
  ~TrayMenu() override;

  void showState(const host::UiState& state);
  QMenu* menu() { return menu_.get(); }
  QAction* settingsAction() { return settings_; }
  QAction* quitAction() { return quit_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // What the menu shows of a snapshot: the rest changes nothing in it.
  struct Content {
    bool accessibility = false;
    std::optional<std::string> connectedName;
    bool listenerFailed = false;
    std::vector<host::UiState::Device> devices;
    friend bool operator==(const Content&, const Content&) = default;
  };
  void rebuild(const Content& content);

  std::shared_ptr<host::UiActions> actions_;
  Handlers handlers_;
  std::unique_ptr<QMenu> menu_;
  QAction* settings_;
  QAction* quit_;
  std::optional<Content> shown_;
};

}  // namespace tillerpad::ui
