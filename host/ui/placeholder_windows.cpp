// PLACEHOLDER, deleted when the real windows are merged: bare versions of
// the pairing, onboarding and settings windows so that `tillerpad` links and
// starts on this branch. Opening one only shows its title.
#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "host/ui/onboarding_window.h"
#include "host/ui/pairing_window.h"
#include "host/ui/settings_window.h"

namespace tillerpad::ui {
namespace {

void present(QWidget& window, const QString& title) {
  if (!window.layout()) {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(title, &window));
    window.setWindowTitle(title);
  }
  window.show();
  window.raise();
  window.activateWindow();
}

}  // namespace

struct PairingWindow::Parts {
  std::shared_ptr<host::UiActions> actions;
};
PairingWindow::PairingWindow(std::shared_ptr<host::UiActions> actions, QWidget* parent)
    : QWidget(parent), parts_(std::make_unique<Parts>(Parts{std::move(actions)})) {}
PairingWindow::~PairingWindow() = default;
void PairingWindow::open() {
  present(*this, tr("Pair iPhone"));
  parts_->actions->startPairing();
}
void PairingWindow::showState(const host::UiState&) {}
void PairingWindow::closeEvent(QCloseEvent* event) {
  parts_->actions->stopPairing();
  event->accept();
}

struct OnboardingWindow::Parts {};
OnboardingWindow::OnboardingWindow(std::shared_ptr<host::UiActions>, QWidget* parent)
    : QWidget(parent), parts_(std::make_unique<Parts>()) {}
OnboardingWindow::~OnboardingWindow() = default;
void OnboardingWindow::open() { present(*this, tr("Set Up Tillerpad")); }
void OnboardingWindow::showState(const host::UiState&) {}

struct SettingsWindow::Parts {};
SettingsWindow::SettingsWindow(std::shared_ptr<host::UiActions>, std::function<void()>, QWidget* parent)
    : QWidget(parent), parts_(std::make_unique<Parts>()) {}
SettingsWindow::~SettingsWindow() = default;
void SettingsWindow::open() { present(*this, tr("Tillerpad Settings")); }
void SettingsWindow::showState(const host::UiState&) {}

}  // namespace tillerpad::ui

// The headers have no source of their own name here, so AUTOMOC is told.
#include "moc_onboarding_window.cpp"
#include "moc_pairing_window.cpp"
#include "moc_settings_window.cpp"
