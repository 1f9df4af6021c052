#pragma once

#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

#include "host/app/ui_state.h"

namespace tillerpad::ui {

// "Pair iPhone": the code, the approval question and the outcome, following
// the pairing phase of each snapshot. Opening it asks for a fresh code;
// closing it withdraws the code (and denies a phone still waiting).
class PairingWindow : public QWidget {
  Q_OBJECT
 public:
  using WallClock = std::function<std::chrono::system_clock::time_point()>;

  explicit PairingWindow(std::shared_ptr<host::UiActions> actions, QWidget* parent = nullptr);
  ~PairingWindow() override;

  // The clock the countdown is read from (the expiry is a wall-clock time);
  // the system's unless set.
  void setWallClock(WallClock clock);

  // Shows the window (centred the first time), brings it forward and starts
  // pairing; a window already open is only brought forward, so that a phone
  // waiting for an answer is not turned away.
  void open();
  void showState(const host::UiState& state);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tillerpad::ui
