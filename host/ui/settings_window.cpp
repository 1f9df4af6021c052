#include "host/ui/settings_window.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <optional>
#include <vector>

#include "host/ui/permission_row.h"

namespace tillerpad::ui {
namespace {

using LoginStatus = platform::LoginItemService::Status;

QLabel* note(const QString& text) {
  auto* label = new QLabel(text);
  label->setWordWrap(true);
  label->setForegroundRole(QPalette::PlaceholderText);
  return label;
}

// A tab page in a scroll area: wrapped notes get the height their width
// needs, which a tab page alone does not give them, and a long list scrolls.
QScrollArea* scrolled(QWidget* page) {
  auto* scroll = new QScrollArea;
  scroll->setWidget(page);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  return scroll;
}

QLabel* bold(const QString& text) {
  auto* label = new QLabel(text);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

}  // namespace

struct SettingsWindow::Parts {
  std::shared_ptr<host::UiActions> actions;
  std::function<void()> openPairing;
  QTabWidget* tabs = nullptr;
  QCheckBox* openAtLogin = nullptr;
  QWidget* approval = nullptr;
  QCheckBox* shareClipboard = nullptr;
  QCheckBox* allowScreenViewing = nullptr;
  PermissionRow* accessibility = nullptr;
  PermissionRow* screenRecording = nullptr;
  QLabel* version = nullptr;
  QVBoxLayout* phones = nullptr;  // rebuilt when the list or the connected phone changes
  std::optional<std::vector<host::UiState::Device>> shownDevices;
};

SettingsWindow::SettingsWindow(std::shared_ptr<host::UiActions> actions, std::function<void()> openPairing,
                               QWidget* parent)
    : QWidget(parent, Qt::Window), parts_(std::make_unique<Parts>()) {
  auto& p = *parts_;
  p.actions = std::move(actions);
  p.openPairing = std::move(openPairing);
  setWindowTitle(tr("Tillerpad Settings"));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  p.tabs = new QTabWidget;
  // Wide enough for a phone's row and for the notes to wrap in a few lines.
  p.tabs->setMinimumWidth(560);
  outer->addWidget(p.tabs);

  // General: a grouped form.
  auto* general = new QWidget;
  auto* form = new QVBoxLayout(general);
  form->setContentsMargins(8, 8, 8, 8);
  form->setSpacing(6);

  auto* login = new QGroupBox;
  auto* loginLayout = new QVBoxLayout(login);
  p.openAtLogin = new QCheckBox(tr("Open at Login"));
  loginLayout->addWidget(p.openAtLogin);
  p.approval = new QWidget;
  auto* approvalLayout = new QHBoxLayout(p.approval);
  approvalLayout->setContentsMargins(0, 0, 0, 0);
  approvalLayout->addWidget(note(tr("Allow Tillerpad under Login Items in System Settings.")), 1);
  auto* openLoginItems = new QPushButton(tr("Open System Settings"));
  openLoginItems->setAccessibleDescription(tr("Open at Login"));
  approvalLayout->addWidget(openLoginItems);
  p.approval->hide();
  loginLayout->addWidget(p.approval);
  form->addWidget(login);

  auto* sharing = new QGroupBox(tr("Sharing"));
  auto* sharingLayout = new QVBoxLayout(sharing);
  // Each note is also the description of its switch, read with it.
  auto withNote = [&](QCheckBox* box, const QString& text) {
    box->setAccessibleDescription(text);
    sharingLayout->addWidget(box);
    sharingLayout->addWidget(note(text));
  };
  p.shareClipboard = new QCheckBox(tr("Share Clipboard"));
  withNote(p.shareClipboard, tr("While an iPhone is connected, what you copy on this Mac is copied to the iPhone, "
                                "and the iPhone can paste here. Passwords from password managers are never shared."));
  p.allowScreenViewing = new QCheckBox(tr("Allow Screen Viewing"));
  sharingLayout->addSpacing(6);
  withNote(p.allowScreenViewing, tr("The connected iPhone can see this Mac’s screen in its Screen tab. "
                                    "macOS shows its recording indicator meanwhile."));
  form->addWidget(sharing);

  auto* permissions = new QGroupBox(tr("Permissions"));
  auto* permissionsLayout = new QVBoxLayout(permissions);
  p.accessibility = new PermissionRow({}, tr("Accessibility"), tr("Pointer, clicks, scrolling and typing."));
  p.screenRecording = new PermissionRow({}, tr("Screen Recording"), tr("The Screen tab on the iPhone."));
  permissionsLayout->addWidget(p.accessibility);
  permissionsLayout->addWidget(p.screenRecording);
  form->addWidget(permissions);

  auto* about = new QGroupBox(tr("About"));
  auto* aboutLayout = new QVBoxLayout(about);
  auto* versionRow = new QHBoxLayout;
  auto* versionTitle = new QLabel(tr("Version"));
  p.version = new QLabel;
  p.version->setTextInteractionFlags(Qt::TextSelectableByMouse);
  p.version->setAccessibleName(tr("Version"));
  versionRow->addWidget(versionTitle);
  versionRow->addStretch(1);
  versionRow->addWidget(p.version);
  aboutLayout->addLayout(versionRow);
  aboutLayout->addWidget(note(tr("Tillerpad only talks to iPhones you paired with this Mac, over your local network. "
                                 "No servers, no accounts, no analytics.")));
  form->addWidget(about);
  form->addStretch(1);
  p.tabs->addTab(scrolled(general), tr("General"));

  // iPhones: the paired phones.
  auto* phonesTab = new QWidget;
  auto* phonesLayout = new QVBoxLayout(phonesTab);
  auto* header = new QHBoxLayout;
  header->addWidget(bold(tr("Paired iPhones")));
  header->addStretch(1);
  auto* pair = new QPushButton(tr("Pair New iPhone…"));
  header->addWidget(pair);
  phonesLayout->addLayout(header);
  auto* list = new QFrame;
  list->setFrameShape(QFrame::StyledPanel);
  p.phones = new QVBoxLayout(list);
  phonesLayout->addWidget(list, 1);
  phonesLayout->addWidget(note(tr("Revoking removes the iPhone’s key from this Mac. It can only connect again after pairing.")));
  p.tabs->addTab(scrolled(phonesTab), tr("iPhones"));

  // Only the user's clicks reach the service; snapshots set the boxes
  // without a signal that would be sent back.
  connect(p.openAtLogin, &QCheckBox::clicked, this, [this](bool on) { parts_->actions->setOpenAtLogin(on); });
  connect(p.shareClipboard, &QCheckBox::clicked, this, [this](bool on) { parts_->actions->setShareClipboard(on); });
  connect(p.allowScreenViewing, &QCheckBox::clicked, this,
          [this](bool on) { parts_->actions->setAllowScreenViewing(on); });
  connect(p.accessibility, &PermissionRow::allowRequested, this,
          [this] { parts_->actions->requestPermission(host::UiActions::Permission::accessibility); });
  connect(p.screenRecording, &PermissionRow::allowRequested, this,
          [this] { parts_->actions->requestPermission(host::UiActions::Permission::screenRecording); });
  connect(pair, &QPushButton::clicked, this, [this] {
    if (parts_->openPairing) parts_->openPairing();
  });
  // XDG autostart never waits for an approval; a login-item service that
  // does is shown the folder of autostart entries.
  connect(openLoginItems, &QPushButton::clicked, this, [] {
    QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir(config).filePath(QStringLiteral("autostart"))));
  });
}

SettingsWindow::~SettingsWindow() = default;

QSize SettingsWindow::sizeHint() const { return QSize(620, 560).expandedTo(minimumSizeHint()); }

void SettingsWindow::open() {
  show();
  raise();
  activateWindow();
}

void SettingsWindow::showState(const host::UiState& state) {
  auto& p = *parts_;
  bool approval = state.loginItem == LoginStatus::requiresApproval;
  p.openAtLogin->setChecked(state.loginItem == LoginStatus::enabled || approval);
  p.approval->setVisible(approval);
  p.shareClipboard->setChecked(state.shareClipboard);
  p.allowScreenViewing->setChecked(state.allowScreenViewing);
  p.accessibility->setGranted(state.accessibility);
  p.screenRecording->setGranted(state.screenRecording);
  p.version->setText(QString::fromStdString(state.version));

  if (p.shownDevices == state.devices) return;
  p.shownDevices = state.devices;
  while (auto* item = p.phones->takeAt(0)) {
    if (auto* w = item->widget()) w->deleteLater();
    delete item;
  }
  if (state.devices.empty()) {
    auto* empty = note(tr("No paired iPhones yet."));
    empty->setAlignment(Qt::AlignCenter);
    p.phones->addWidget(empty, 1);
    return;
  }
  for (const auto& device : state.devices) p.phones->addWidget(phoneRow(device));
  p.phones->addStretch(1);
}

QWidget* SettingsWindow::phoneRow(const host::UiState::Device& device) {
  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setSpacing(10);
  QString name = QString::fromStdString(device.name);
  auto* picture = new QLabel;
  picture->setPixmap(settingsIcon("phone").pixmap(32, 32));
  picture->setAccessibleName(name);
  layout->addWidget(picture);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(2);
  texts->addWidget(bold(name));
  texts->addWidget(note(tr("Paired on ") + shortDateTime(device.pairedAt)));
  layout->addLayout(texts, 1);
  if (device.isConnected) {
    auto* badge = new QLabel(tr("Connected"));
    badge->setStyleSheet(QStringLiteral("QLabel { color: white; background: #1e843a; border-radius: 8px; padding: 2px 8px; }"));
    badge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    layout->addWidget(badge, 0, Qt::AlignVCenter);
    auto* end = new QPushButton(tr("Disconnect"));
    end->setAccessibleDescription(name);
    connect(end, &QPushButton::clicked, this, [this] { parts_->actions->disconnect(); });
    layout->addWidget(end);
  }
  auto* revoke = new QPushButton(tr("Revoke…"));
  revoke->setAccessibleDescription(name);
  connect(revoke, &QPushButton::clicked, this, [this, id = device.id] { parts_->actions->revoke(id); });
  layout->addWidget(revoke);
  return row;
}

}  // namespace tillerpad::ui
