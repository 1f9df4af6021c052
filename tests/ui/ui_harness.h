#pragma once

// The tray application's windows over the real app model on fakes: the
// service on a thread of its own, snapshots and questions carried to the Qt
// thread as the product carries them.
#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "host/app/ui_bridge.h"
#include "platform/fake/recording_permission_settings.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::test {

class UiDesk {
 public:
  explicit UiDesk(DesktopOptions options = {});  // always with a service thread of its own
  ~UiDesk();
  UiDesk(const UiDesk&) = delete;
  UiDesk& operator=(const UiDesk&) = delete;

  // Lets the service finish what the UI asked of it so far, and the UI take
  // the snapshots that came of it.
  void settle();
  // Runs the Qt event loop until `done` holds, for at most `limit`.
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20));

  // A phone connected on the service thread, which the desk's own connect
  // would race with.
  Phone connect(const kit::PairedDevice& device);
  // The probe's answers changed; true once a snapshot shows them.
  bool permit(bool input, bool screen);

  // What "Open System Settings" was asked to open.
  platform::fake::RecordingPermissionSettings permissionSettings;
  Desktop desk;
  QObject context;  // snapshots are delivered through it
  std::shared_ptr<host::UiBridge> bridge;
  std::shared_ptr<host::UiActions> actions;
  host::UiState state;  // the newest snapshot the Qt thread has seen
  std::size_t snapshots = 0;
  // The windows under test, given each snapshot.
  std::vector<std::function<void(const host::UiState&)>> viewers;
  // Confirmations asked, and the answer each gets: `confirmWith`'s when set
  // (the product's dialog), else `confirmAnswer` at once.
  std::vector<host::UiAlert> alerts;
  bool confirmAnswer = false;
  std::function<void(const host::UiAlert&, std::function<void(bool)>)> confirmWith;
};

// The texts a person sees in `window` now: its visible labels (rich text as
// plain text) and buttons.
QStringList visibleTexts(QWidget& window);
// The visible widget of type W in `root` with this text; with `about`, the
// one whose accessible description names the row it acts on.
template <class W>
W* shown(QWidget& root, const QString& text, const QString& about = {}) {
  for (auto* w : root.findChildren<W*>()) {
    if (w->text() == text && w->isVisibleTo(&root) && (about.isEmpty() || w->accessibleDescription() == about)) return w;
  }
  return nullptr;
}
// Clicks near the button's left edge (a check box takes clicks on its box and
// label only); false if there is no button.
bool click(QAbstractButton* button);

// Renders `widget` at 1x and 2x into <build>/tests/ui/screenshots/<name>@1x.png
// and @2x.png; returns the 1x picture. `fit`: first sized to its content
// (else as it is, e.g. a window larger than the offscreen screen allows).
QImage screenshot(QWidget& widget, const QString& name, bool fit = true);

}  // namespace tillerpad::test
