#include "host/ui/onboarding_window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include "host/ui/permission_row.h"

namespace tillerpad::ui {

struct OnboardingWindow::Parts {
  std::shared_ptr<host::UiActions> actions;
  PermissionRow* accessibility = nullptr;
  PermissionRow* screenRecording = nullptr;
  bool wasShown = false;
};

OnboardingWindow::OnboardingWindow(std::shared_ptr<host::UiActions> actions, QWidget* parent)
    : QWidget(parent, Qt::Window), parts_(std::make_unique<Parts>()) {
  parts_->actions = std::move(actions);
  setWindowTitle(tr("Set Up Tillerpad"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 20);
  layout->setSpacing(14);
  // Wrapped texts need a width to wrap at; the height then follows the content.
  layout->setSizeConstraint(QLayout::SetFixedSize);

  auto* heading = new QLabel(tr("Set Up Tillerpad"));
  QFont big = heading->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.4);
  heading->setFont(big);
  layout->addWidget(heading);

  auto* intro = new QLabel(tr("To control this Mac from your iPhone, Tillerpad needs two macOS permissions."));
  intro->setWordWrap(true);
  layout->addWidget(intro);

  parts_->accessibility = new PermissionRow(
      settingsIcon("permission-input"), tr("Accessibility"),
      tr("Required. Lets your iPhone move the pointer, click, scroll and type."));
  parts_->screenRecording = new PermissionRow(
      settingsIcon("permission-screen"), tr("Screen Recording"),
      tr("Optional. Shows a live preview of your screen on your iPhone. You can allow it later."));
  for (auto* row : {parts_->accessibility, parts_->screenRecording}) {
    row->setFixedWidth(460);
    layout->addWidget(row);
  }
  connect(parts_->accessibility, &PermissionRow::allowRequested, this,
          [this] { parts_->actions->requestPermission(host::UiActions::Permission::accessibility); });
  connect(parts_->screenRecording, &PermissionRow::allowRequested, this,
          [this] { parts_->actions->requestPermission(host::UiActions::Permission::screenRecording); });

  // The rows above are about one desktop; which Wayland desktops can be
  // controlled at all is the first thing a Wayland user needs to know.
  auto* wayland = new QLabel(tr("<b>Wayland sessions:</b> sway and other wlroots compositors work as they are, "
                                "and so does GNOME, through its built-in remote desktop. Other Wayland desktops "
                                "are not supported yet: choose an X11 session when you log in."));
  wayland->setWordWrap(true);
  wayland->setFixedWidth(460);
  layout->addWidget(wayland);

  auto* footer = new QLabel(tr("Turn Tillerpad on in System Settings; this window updates by itself. "
                               "If macOS asks you to quit and reopen Tillerpad, do so."));
  footer->setWordWrap(true);
  footer->setForegroundRole(QPalette::PlaceholderText);
  layout->addWidget(footer);
}

OnboardingWindow::~OnboardingWindow() = default;

void OnboardingWindow::open() {
  if (!parts_->wasShown) {
    parts_->wasShown = true;
    adjustSize();
    if (auto* screen = QGuiApplication::primaryScreen()) {
      QRect area = screen->availableGeometry();
      move(area.center() - rect().center());
    }
  }
  show();
  raise();
  activateWindow();
}

void OnboardingWindow::showState(const host::UiState& state) {
  parts_->accessibility->setGranted(state.accessibility);
  parts_->screenRecording->setGranted(state.screenRecording);
}

}  // namespace tillerpad::ui
