#include "host/ui/tray_menu.h"

#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QStyle>

#include "host/ui/permission_row.h"  // shortDateTime

namespace tillerpad::ui {
namespace {

// A phone's name in a menu text: "&" would otherwise mark a mnemonic.
QString literal(const std::string& text) {
  return QString::fromStdString(text).replace(QLatin1Char('&'), QLatin1String("&&"));
}

// A line of text, not a command.
void addText(QMenu& menu, const QString& text) { menu.addAction(text)->setEnabled(false); }

}  // namespace

TrayMenu::TrayMenu(std::shared_ptr<host::UiActions> actions, Handlers handlers, QObject* parent)
    : QObject(parent), actions_(std::move(actions)), handlers_(std::move(handlers)), menu_(std::make_unique<QMenu>()) {
  // Owned by this object, not the menu: clear() leaves them alone.
  settings_ = new QAction(tr("Settings…"), this);
  settings_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  settings_->setShortcutContext(Qt::ApplicationShortcut);
  connect(settings_, &QAction::triggered, this, [this] { handlers_.openSettings(); });
  quit_ = new QAction(tr("Quit Tillerpad"), this);
  quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit_->setShortcutContext(Qt::ApplicationShortcut);
  quit_->setMenuRole(QAction::QuitRole);
  connect(quit_, &QAction::triggered, this, [this] { handlers_.quit(); });
  menu_->setAccessibleName(QStringLiteral("Tillerpad"));
  menu_->installEventFilter(this);
  rebuild(Content{});
}

bool TrayMenu::eventFilter(QObject* watched, QEvent* event) {
  // An open menu takes the keyboard, and Qt matches application shortcuts
  // only against visible windows: the menu's own two are matched here.
  if (watched == menu_.get() && event->type() == QEvent::KeyPress) {
    QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
    for (auto* action : {settings_, quit_}) {
      if (pressed != action->shortcut()) continue;
      menu_->close();
      action->trigger();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::showState(const host::UiState& state) {
  Content content{state.accessibility, state.connectedName, state.listenerFailed, state.devices};
  for (auto& device : content.devices) device.isConnected = false;  // not shown here
  // Most snapshots change nothing here; an open menu is left as it is then.
  if (shown_ == content) return;
  rebuild(content);
}

void TrayMenu::rebuild(const Content& content) {
  shown_ = content;
  // Submenus are children of the menu, which clear() does not delete.
  for (auto* submenu : menu_->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly)) submenu->deleteLater();
  menu_->clear();
  QMenu& m = *menu_;

  if (!content.accessibility) {
    auto* allow = m.addAction(
        QIcon::fromTheme(QStringLiteral("dialog-warning"), m.style()->standardIcon(QStyle::SP_MessageBoxWarning)),
        tr("Allow Accessibility Access…"));
    connect(allow, &QAction::triggered, this, [this] { handlers_.openOnboarding(); });
    m.addSeparator();
  }

  if (!content.connectedName) {
    addText(m, tr("No iPhone connected"));
  } else {
    addText(m, tr("Connected: %1").arg(literal(*content.connectedName)));
    auto* disconnect = m.addAction(tr("Disconnect “%1”").arg(literal(*content.connectedName)));
    connect(disconnect, &QAction::triggered, this, [this] { actions_->disconnect(); });
  }

  m.addSeparator();
  auto* pair = m.addAction(tr("Pair New iPhone…"));
  connect(pair, &QAction::triggered, this, [this] { handlers_.openPairing(); });

  QMenu* paired = m.addMenu(tr("Paired iPhones"));
  if (content.devices.empty()) addText(*paired, tr("No paired iPhones yet."));
  for (const auto& device : content.devices) {
    QMenu* phone = paired->addMenu(literal(device.name));
    addText(*phone, tr("Paired on %1").arg(shortDateTime(device.pairedAt)));
    auto* revoke = phone->addAction(tr("Revoke…"));
    connect(revoke, &QAction::triggered, this, [this, id = device.id] { actions_->revoke(id); });
  }

  m.addSeparator();
  m.addAction(settings_);
  m.addSeparator();
  if (content.listenerFailed) addText(m, tr("Not reachable: network error"));
  m.addAction(quit_);
}

}  // namespace tillerpad::ui
