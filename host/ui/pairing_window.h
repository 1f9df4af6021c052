#pragma once

#include <QWidget>

#include <memory>

#include "host/app/ui_state.h"

namespace tillerpad::ui {

// "Pair iPhone": the code, the approval question and the outcome, following
// the pairing phase of each snapshot. Opening it asks for a fresh code;
// closing it withdraws the code (and denies a phone still waiting).
class PairingWindow : public QWidget {
  Q_OBJECT
 public:
  explicit PairingWindow(std::shared_ptr<host::UiActions> actions, QWidget* parent = nullptr);
  ~PairingWindow() override;

  // Shows the window (centred the first time), brings it forward and starts pairing.
  void open();
  void showState(const host::UiState& state);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tillerpad::ui
