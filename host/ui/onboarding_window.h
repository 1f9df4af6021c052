#pragma once

#include <QWidget>

#include <memory>

#include "host/app/ui_state.h"

namespace tillerpad::ui {

// "Set Up Tillerpad": the two permissions, each granted or with the way to
// grant it; a row that turns granted is announced.
class OnboardingWindow : public QWidget {
  Q_OBJECT
 public:
  explicit OnboardingWindow(std::shared_ptr<host::UiActions> actions, QWidget* parent = nullptr);
  ~OnboardingWindow() override;

  // Shows the window (centred the first time) and brings it forward.
  void open();
  void showState(const host::UiState& state);

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tillerpad::ui
