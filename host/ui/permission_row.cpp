#include "host/ui/permission_row.h"

#include <QAccessible>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

// The pictures live in a static library, whose resource registration the
// linker would drop unless something calls it.
static void registerSettingsIcons() { Q_INIT_RESOURCE(settings_icons); }

namespace tillerpad::ui {

PermissionRow::PermissionRow(const QIcon& icon, const QString& title, const QString& detail, QWidget* parent)
    : QWidget(parent), title_(title) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 4, 0, 4);
  row->setSpacing(12);
  if (!icon.isNull()) {
    auto* picture = new QLabel;
    picture->setPixmap(icon.pixmap(32, 32));
    picture->setAlignment(Qt::AlignTop);
    picture->setAccessibleName(title);
    row->addWidget(picture, 0, Qt::AlignTop);
  }
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  auto* heading = new QLabel(title);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  auto* note = new QLabel(detail);
  note->setWordWrap(true);
  note->setForegroundRole(QPalette::PlaceholderText);
  texts->addWidget(heading);
  texts->addWidget(note);
  row->addLayout(texts, 1);

  open_ = new QPushButton(tr("Open System Settings"));
  open_->setAccessibleDescription(title);  // two rows hold a button of this name
  connect(open_, &QPushButton::clicked, this, &PermissionRow::allowRequested);
  allowed_ = new QLabel(tr("Allowed"));
  QPalette green = allowed_->palette();
  green.setColor(QPalette::WindowText, QColor(0x1e, 0x84, 0x3a));
  allowed_->setPalette(green);
  allowed_->setAccessibleName(title + QStringLiteral(": ") + tr("Allowed"));
  row->addWidget(open_, 0, Qt::AlignVCenter);
  row->addWidget(allowed_, 0, Qt::AlignVCenter);
  open_->hide();
  allowed_->hide();
}

void PermissionRow::setGranted(bool granted) {
  bool turnedGranted = granted && granted_ == false;
  granted_ = granted;
  open_->setVisible(!granted);
  allowed_->setVisible(granted);
  if (turnedGranted && isVisible()) {
    // Qt 6.4 has no announcement event; a name change of the shown label is
    // what screen readers on AT-SPI speak.
    QAccessibleEvent event(allowed_, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
    emit announced(allowed_->accessibleName());
  }
}

QIcon settingsIcon(const char* name) {
  static const bool registered = (registerSettingsIcons(), true);
  (void)registered;
  return QIcon(QStringLiteral(":/tillerpad/settings/%1.svg").arg(QLatin1String(name)));
}

QString shortDateTime(std::chrono::system_clock::time_point when) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  QString text = QLocale().toString(QDateTime::fromMSecsSinceEpoch(ms), QLocale::ShortFormat);
  for (QChar& c : text) {
    int digit = c.digitValue();
    if (digit >= 0 && c.unicode() > 0x7f) c = QChar(u'0' + digit);
  }
  return text;
}

}  // namespace tillerpad::ui
