#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "host/app/ui_state.h"

namespace tillerpad::ui {

// The settings window: tabs "General" (login, sharing, permissions, about)
// and "iPhones" (the paired phones).
class SettingsWindow : public QWidget {
  Q_OBJECT
 public:
  SettingsWindow(std::shared_ptr<host::UiActions> actions, std::function<void()> openPairing,
                 QWidget* parent = nullptr);
  ~SettingsWindow() override;

  // Shows the window, brings it forward.
  void open();
  void showState(const host::UiState& state);
  QSize sizeHint() const override;

 private:
  QWidget* phoneRow(const host::UiState::Device& device);

  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tillerpad::ui
