#include "host/ui/pairing_window.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include "host/ui/qr_image.h"

namespace tillerpad::ui {
namespace {

using Phase = host::UiState::PairingPhase;
using Failure = host::UiState::PairingFailure;

constexpr int contentWidth = 360;
constexpr int qrSide = 220, qrPadding = 12;

// Pictures as small SVGs; "COLOR" becomes the tint when drawn.
constexpr const char* phoneSymbol =
    R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 48 48">)"
    R"(<rect x="13" y="3" width="22" height="42" rx="5" fill="none" stroke="COLOR" stroke-width="3"/>)"
    R"(<rect x="20" y="7.5" width="8" height="2.5" rx="1.25" fill="COLOR"/></svg>)";
constexpr const char* checkSymbol =
    R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 48 48"><circle cx="24" cy="24" r="22" fill="COLOR"/>)"
    R"(<path d="M14 24.5l7 7 13-14" fill="none" stroke="#fff" stroke-width="4" stroke-linecap="round" )"
    R"(stroke-linejoin="round"/></svg>)";
constexpr const char* crossSymbol =
    R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 48 48"><circle cx="24" cy="24" r="22" fill="COLOR"/>)"
    R"(<path d="M16.5 16.5l15 15M31.5 16.5l-15 15" fill="none" stroke="#fff" stroke-width="4" )"
    R"(stroke-linecap="round"/></svg>)";

const QColor green(0x2e, 0xa0, 0x43);

// Text that is there but less important: half way to the background.
QColor secondary(const QPalette& palette) {
  QColor text = palette.color(QPalette::WindowText), back = palette.color(QPalette::Window);
  return QColor((text.red() + back.red()) / 2, (text.green() + back.green()) / 2, (text.blue() + back.blue()) / 2);
}

// A picture drawn from its SVG at whatever scale the screen has.
class Symbol : public QWidget {
 public:
  explicit Symbol(QWidget* parent) : QWidget(parent) { setFixedSize(56, 56); }
  void set(const char* svg, std::optional<QColor> tint) {
    svg_ = svg, tint_ = tint;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (!svg_) return;
    QColor tint = tint_.value_or(secondary(palette()));
    QByteArray svg(svg_);
    svg.replace("COLOR", tint.name().toLatin1());
    QSvgRenderer renderer(svg);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, rect());
  }

 private:
  const char* svg_ = nullptr;
  std::optional<QColor> tint_;
};

// The code's modules drawn as hard-edged squares on white, with a white
// margin around them as the quiet zone.
class QrView : public QWidget {
 public:
  explicit QrView(QWidget* parent) : QWidget(parent) {
    setFixedSize(qrSide + 2 * qrPadding, qrSide + 2 * qrPadding);
    setAccessibleName(PairingWindow::tr("Pairing QR code"));
  }
  void setImage(QImage image) {
    image_ = std::move(image);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (image_.isNull()) return;
    // Smoothing would blur module edges a camera needs sharp.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QRect(qrPadding, qrPadding, qrSide, qrSide), image_);
  }

 private:
  QImage image_;
};

QAccessibleInterface* headingFactory(const QString&, QObject* object) {
  if (object && object->isWidgetType() && object->property("isHeading").toBool()) {
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Heading);
  }
  return nullptr;
}

QLabel* label(QWidget* parent, int pointDelta = 0, bool bold = false) {
  auto* l = new QLabel(parent);
  // What the phone calls itself is shown as text, never as markup.
  l->setTextFormat(Qt::PlainText);
  l->setWordWrap(true);
  l->setAlignment(Qt::AlignHCenter);
  l->setTextInteractionFlags(Qt::NoTextInteraction);
  QFont font = l->font();
  if (pointDelta) font.setPointSizeF(font.pointSizeF() + pointDelta);
  font.setBold(bold);
  l->setFont(font);
  return l;
}

void makeSecondary(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, secondary(palette));
  widget->setPalette(palette);
}

QWidget* page(QWidget* parent, QVBoxLayout*& layout) {
  auto* w = new QWidget(parent);
  w->setFixedWidth(contentWidth);
  layout = new QVBoxLayout(w);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(10);
  return w;
}

QHBoxLayout* buttonRow(std::initializer_list<QPushButton*> buttons) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  for (auto* b : buttons) row->addWidget(b);
  return row;
}

}  // namespace

struct PairingWindow::Parts {
  std::shared_ptr<host::UiActions> actions;
  WallClock wallClock = [] { return std::chrono::system_clock::now(); };
  bool isOpen = false, isPlaced = false;
  std::uint64_t lastCode = 0;  // the newest code number seen
  // Set by open(): codes up to this one belong to an earlier opening.
  std::optional<std::uint64_t> staleUpTo;
  std::optional<std::uint64_t> shownCode;
  std::string code;
  std::chrono::system_clock::time_point expiresAt;
  Phase phase = Phase::idle;
  QTimer countdown;

  QWidget *codePage, *approvalPage, *outcomePage;
  QLabel *heading, *expires;
  QrView* qr;
  QPushButton* copy;
  Symbol* phone;
  QLabel *question, *caption;
  QPushButton *deny, *allow;
  Symbol* outcomeSymbol;
  QLabel *outcomeTitle, *outcomeMessage;
  QPushButton *done, *close, *newCode;

  void showPage(QWidget* page, QWidget* window) {
    for (auto* p : {codePage, approvalPage, outcomePage}) p->setVisible(p == page);
    if (page != codePage) countdown.stop();
    window->adjustSize();
  }

  void showRemaining() {
    if (!shownCode) {
      expires->setText(QStringLiteral("&nbsp;"));  // keeps its line, so nothing moves when the code comes
      expires->setAccessibleName({});
      return;
    }
    auto left = std::chrono::ceil<std::chrono::seconds>(expiresAt - wallClock()).count();
    left = std::max<decltype(left)>(left, 0);
    QString time = QStringLiteral("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
    QString text = tr("Expires in %1");
    // Fixed-width digits, so that the line does not jitter as it counts down.
    QString fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family().toHtmlEscaped();
    expires->setText(text.toHtmlEscaped().arg(QStringLiteral("<span style=\"font-family:'%1'\">%2</span>").arg(fixed, time)));
    expires->setAccessibleName(text.arg(time));
  }
};

PairingWindow::PairingWindow(std::shared_ptr<host::UiActions> actions, QWidget* parent)
    : QWidget(parent, Qt::Window), parts_(std::make_unique<Parts>()) {
  static const bool headingsInstalled = (QAccessible::installFactory(headingFactory), true);
  (void)headingsInstalled;
  auto& p = *parts_;
  p.actions = std::move(actions);
  setWindowTitle(tr("Pair iPhone"));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(28, 24, 28, 20);

  QVBoxLayout* layout;
  p.codePage = page(this, layout);
  p.heading = label(p.codePage, 4, true);
  p.heading->setProperty("isHeading", true);  // before anything asks for its accessible interface
  p.heading->setText(tr("Pair Your iPhone"));
  p.heading->setAccessibleName(p.heading->text());
  auto* instruction = label(p.codePage);
  instruction->setText(tr("Open Tillerpad on your iPhone, tap “Pair with a Mac” and scan this code."));
  p.qr = new QrView(p.codePage);
  p.expires = label(p.codePage);
  p.expires->setTextFormat(Qt::RichText);
  makeSecondary(p.expires);
  auto* simulator = label(p.codePage, -1);
  simulator->setText(tr("For the iOS Simulator, which has no camera: copy the code and paste it in the iPhone app."));
  makeSecondary(simulator);
  p.copy = new QPushButton(tr("Copy Code"), p.codePage);
  layout->addWidget(p.heading);
  layout->addWidget(instruction);
  layout->addSpacing(4);
  layout->addWidget(p.qr, 0, Qt::AlignHCenter);
  layout->addWidget(p.expires);
  layout->addSpacing(4);
  layout->addWidget(simulator);
  layout->addWidget(p.copy, 0, Qt::AlignHCenter);

  p.approvalPage = page(this, layout);
  p.phone = new Symbol(p.approvalPage);
  p.phone->set(phoneSymbol, std::nullopt);
  p.question = label(p.approvalPage, 2, true);
  auto* warning = label(p.approvalPage);
  warning->setText(
      tr("It will be able to move the pointer, type, open apps and see your screen. Only allow iPhones you own."));
  p.caption = label(p.approvalPage, -1);
  makeSecondary(p.caption);
  p.deny = new QPushButton(tr("Deny"), p.approvalPage);
  p.allow = new QPushButton(tr("Allow"), p.approvalPage);
  p.allow->setDefault(true);
  layout->addWidget(p.phone, 0, Qt::AlignHCenter);
  layout->addWidget(p.question);
  layout->addWidget(warning);
  layout->addWidget(p.caption);
  layout->addSpacing(8);
  layout->addLayout(buttonRow({p.deny, p.allow}));

  p.outcomePage = page(this, layout);
  p.outcomeSymbol = new Symbol(p.outcomePage);
  p.outcomeTitle = label(p.outcomePage, 2, true);
  p.outcomeMessage = label(p.outcomePage);
  p.done = new QPushButton(tr("Done"), p.outcomePage);
  p.close = new QPushButton(tr("Close"), p.outcomePage);
  p.newCode = new QPushButton(tr("New Code"), p.outcomePage);
  layout->addWidget(p.outcomeSymbol, 0, Qt::AlignHCenter);
  layout->addWidget(p.outcomeTitle);
  layout->addWidget(p.outcomeMessage);
  layout->addSpacing(8);
  layout->addLayout(buttonRow({p.done, p.close, p.newCode}));

  for (auto* pg : {p.codePage, p.approvalPage, p.outcomePage}) outer->addWidget(pg);
  p.showPage(p.codePage, this);

  p.countdown.setInterval(1000);
  connect(&p.countdown, &QTimer::timeout, this, [this] { parts_->showRemaining(); });
  connect(p.copy, &QPushButton::clicked, this, [this] {
    if (!parts_->shownCode) return;
    QGuiApplication::clipboard()->setText(QString::fromStdString(parts_->code));
    parts_->copy->setText(tr("Copied"));
  });
  connect(p.deny, &QPushButton::clicked, this, [this] { parts_->actions->resolveApproval(false); });
  connect(p.allow, &QPushButton::clicked, this, [this] { parts_->actions->resolveApproval(true); });
  connect(p.done, &QPushButton::clicked, this, &QWidget::close);
  connect(p.close, &QPushButton::clicked, this, &QWidget::close);
  connect(p.newCode, &QPushButton::clicked, this, [this] {
    parts_->staleUpTo = parts_->lastCode;
    parts_->shownCode.reset();
    parts_->actions->startPairing();
  });
}

PairingWindow::~PairingWindow() = default;

void PairingWindow::setWallClock(WallClock clock) {
  parts_->wallClock = std::move(clock);
  parts_->showRemaining();
}

void PairingWindow::open() {
  auto& p = *parts_;
  if (!p.isOpen) {
    p.isOpen = true;
    // Until the new code arrives the window shows an empty code, never the
    // previous opening's code or outcome.
    p.staleUpTo = p.lastCode;
    p.shownCode.reset();
    p.phase = Phase::showingCode;
    p.qr->setImage({});
    p.copy->setText(tr("Copy Code"));
    p.copy->setEnabled(false);
    p.showRemaining();
    p.showPage(p.codePage, this);
    p.actions->startPairing();
  }
  if (!p.isPlaced) {
    p.isPlaced = true;
    adjustSize();
    if (auto* screen = QGuiApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
  }
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void PairingWindow::showState(const host::UiState& state) {
  auto& p = *parts_;
  const auto& pairing = state.pairing;
  p.lastCode = pairing.codeNumber;
  if (!p.isOpen) return;
  if (p.staleUpTo) {
    if (pairing.phase != Phase::showingCode || pairing.codeNumber <= *p.staleUpTo) return;
    p.staleUpTo.reset();
  }
  const Phase before = p.phase;
  p.phase = pairing.phase;
  switch (pairing.phase) {
    case Phase::idle:
      break;
    case Phase::showingCode: {
      const bool isNew = p.shownCode != pairing.codeNumber;
      if (isNew) {
        p.shownCode = pairing.codeNumber;
        p.code = pairing.code;
        p.qr->setImage(qrImage(pairing.code));
        p.copy->setText(tr("Copy Code"));
        p.copy->setEnabled(true);
        p.countdown.start();
      }
      p.expiresAt = pairing.expiresAt;
      p.showRemaining();
      if (isNew || before != Phase::showingCode) p.showPage(p.codePage, this);
      break;
    }
    case Phase::awaitingApproval:
      p.question->setText(tr("Allow “%1” to control this Mac?").arg(QString::fromStdString(pairing.deviceName)));
      p.caption->setText(tr("%1 · iOS %2")
                             .arg(QString::fromStdString(pairing.deviceModel), QString::fromStdString(pairing.systemVersion)));
      p.showPage(p.approvalPage, this);
      if (before != Phase::awaitingApproval) {
        // The phone is waiting for the user: bring the question to them.
        if (isMinimized()) showNormal();
        raise();
        activateWindow();
      }
      break;
    case Phase::paired:
      p.outcomeSymbol->set(checkSymbol, green);
      p.outcomeTitle->setText(tr("“%1” is paired").arg(QString::fromStdString(pairing.deviceName)));
      p.outcomeMessage->setText(
          tr("You can now control this Mac from that iPhone. You can revoke it at any time from the menu bar."));
      p.done->show(), p.close->hide(), p.newCode->hide();
      p.done->setDefault(true), p.newCode->setDefault(false);
      p.showPage(p.outcomePage, this);
      break;
    case Phase::failed: {
      p.outcomeSymbol->set(crossSymbol, std::nullopt);
      switch (pairing.failure) {
        case Failure::expired:
          p.outcomeTitle->setText(tr("The code expired"));
          p.outcomeMessage->setText(
              tr("For your security, pairing codes are valid for 5 minutes. Create a new one to try again."));
          break;
        case Failure::denied:
          p.outcomeTitle->setText(tr("Pairing denied"));
          p.outcomeMessage->setText(
              tr("The iPhone was not paired. Each code works only once, so create a new one to try again."));
          break;
        case Failure::interrupted:
          p.outcomeTitle->setText(tr("Pairing didn’t finish"));
          p.outcomeMessage->setText(tr("The connection to the iPhone was lost. Create a new code to try again."));
          break;
      }
      p.done->hide(), p.close->show(), p.newCode->show();
      p.done->setDefault(false), p.newCode->setDefault(true);
      p.showPage(p.outcomePage, this);
      break;
    }
  }
}

void PairingWindow::closeEvent(QCloseEvent* event) {
  auto& p = *parts_;
  if (p.isOpen) {
    p.isOpen = false;
    p.countdown.stop();
    p.actions->stopPairing();
  }
  event->accept();
}

void PairingWindow::keyPressEvent(QKeyEvent* event) {
  auto& p = *parts_;
  const bool asking = p.approvalPage->isVisible();
  if (event->key() == Qt::Key_Escape && asking) {
    p.deny->click();
    return;
  }
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    for (auto* b : {p.allow, p.done, p.newCode}) {
      if (b->isVisible() && b->isDefault()) {
        b->click();
        return;
      }
    }
  }
  QWidget::keyPressEvent(event);
}

}  // namespace tillerpad::ui
