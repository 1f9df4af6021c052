#include "tests/ui/ui_harness.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QTextDocumentFragment>

#include <stdexcept>

#include "host/app/open_permission_settings.h"
#include "host/ui/ui_thread.h"

namespace tillerpad::test {

UiDesk::UiDesk(DesktopOptions options) : desk([&] {
  options.ownThread = true;
  return options;
}()) {
  auto front = ui::frontOn(
      &context,
      [this](const host::UiState& s) {
        state = s;
        ++snapshots;
        for (auto& viewer : viewers) viewer(s);
      },
      [this](const host::UiAlert& alert, std::function<void(bool)> answer) {
        alerts.push_back(alert);
        if (confirmWith) confirmWith(alert, std::move(answer));
        else answer(confirmAnswer);
      });
  bridge = desk.call([&] {
    auto b = host::UiBridge::create(*desk.model, desk.io.get_executor(), front,
                                     host::openPermissionSettingsWith(permissionSettings));
    b->begin();
    return b;
  });
  actions = bridge->actions();
  if (!waitFor([this] { return snapshots > 0; })) throw std::runtime_error("no first snapshot");
}

UiDesk::~UiDesk() {
  desk.call([this] { bridge->end(), bridge.reset(); });
  // Snapshots still queued for `context` go with it.
  viewers.clear();
}

void UiDesk::settle() {
  desk.call([] {});  // after the requests posted before it; their snapshots are queued by now
  QCoreApplication::processEvents();
}

bool UiDesk::waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limit.count()) return false;
    // Sleeps in the event loop until an event (a snapshot) comes or 5 ms
    // pass, instead of spinning: a spinning test thread starves the
    // service thread on two cores, a hundredfold under ThreadSanitizer.
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

QStringList visibleTexts(QWidget& window) {
  QStringList all;
  for (auto* l : window.findChildren<QLabel*>()) {
    if (!l->isVisibleTo(&window)) continue;
    bool rich = l->textFormat() == Qt::RichText || (l->textFormat() == Qt::AutoText && Qt::mightBeRichText(l->text()));
    all << (rich ? QTextDocumentFragment::fromHtml(l->text()).toPlainText() : l->text());
  }
  for (auto* b : window.findChildren<QPushButton*>()) {
    if (b->isVisibleTo(&window)) all << b->text();
  }
  return all;
}

bool click(QAbstractButton* button) {
  if (button) QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
  return button != nullptr;
}

bool UiDesk::permit(bool input, bool screen) {
  desk.call([&] { desk.probe.input = input, desk.probe.screen = screen, desk.model->permissions.refresh(); });
  return waitFor([&] { return state.accessibility == input && state.screenRecording == screen; });
}

Phone UiDesk::connect(const kit::PairedDevice& device) {
  // Nested polls of the running io_context are allowed; they run on its thread.
  auto phone = desk.call([&] { return desk.connect(device); });
  if (!phone.welcomed()) throw std::runtime_error("the phone was not welcomed");
  return phone;
}

QImage screenshot(QWidget& widget, const QString& name, bool fit) {
  QDir dir(QStringLiteral(TILLERPAD_SCREENSHOT_DIR));
  dir.mkpath(QStringLiteral("."));
  if (fit) widget.adjustSize();
  QImage one;
  for (int scale : {1, 2}) {
    QImage image(widget.size() * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    widget.render(&image);
    image.save(dir.filePath(QStringLiteral("%1@%2x.png").arg(name).arg(scale)));
    if (scale == 1) one = image;
  }
  return one;
}

}  // namespace tillerpad::test
