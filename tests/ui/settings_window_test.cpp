// The settings and onboarding windows over the real app model on fakes.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLocale>
#include <QTabWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "host/ui/onboarding_window.h"
#include "host/ui/permission_row.h"
#include "host/ui/settings_window.h"
#include "tests/ui/ui_harness.h"

namespace tillerpad::test {
namespace {

using kit::Message;
using platform::SystemPermission;
using LoginStatus = platform::LoginItemService::Status;

// The shown widget of type W whose text is `text`; with `about`, the one
// whose accessible description names what it acts on.
template <class W>
W* shown(QWidget& root, const QString& text, const QString& about = {}) {
  for (auto* w : root.findChildren<W*>()) {
    if (w->text() == text && w->isVisibleTo(&root) && (about.isEmpty() || w->accessibleDescription() == about)) return w;
  }
  return nullptr;
}

void click(QAbstractButton* button) {
  ASSERT_NE(button, nullptr);
  // A check box takes clicks on its box and label only, not on the rest of its row.
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
}

// The windows under test, fed every snapshot.
struct Windows {
  explicit Windows(UiDesk& desk)
      : desk(desk), settings(desk.actions, [this] { ++pairingOpened; }), onboarding(desk.actions) {
    desk.viewers.push_back([this](const host::UiState& s) { settings.showState(s), onboarding.showState(s); });
    settings.showState(desk.state);
    onboarding.showState(desk.state);
  }
  ~Windows() { desk.viewers.clear(); }
  void showTab(int index) {
    settings.findChild<QTabWidget*>()->setCurrentIndex(index);
    settings.open();
  }
  UiDesk& desk;
  ui::SettingsWindow settings;
  ui::OnboardingWindow onboarding;
  int pairingOpened = 0;
};

std::optional<Message> lastOf(UiDesk& desk, const Phone& phone, kit::MessageType type) {
  return desk.desk.call([&]() -> std::optional<Message> {
    for (auto it = phone.inbox->messages.rbegin(); it != phone.inbox->messages.rend(); ++it) {
      if (it->is(type)) return *it;
    }
    return std::nullopt;
  });
}

TEST(SettingsWindowTest, SharingTogglesArePersistedAndSentToTheConnectedPhone) {
  struct Case {
    const char* toggle;
    const char* key;
    Message sent;  // after the switch is turned off
  };
  const Case cases[] = {
      {"Share Clipboard", "shareClipboard", Message::sharingSettings({false, true})},
      {"Allow Screen Viewing", "allowScreenViewing", Message::sharingSettings({true, false})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.toggle);
    UiDesk desk;
    desk.desk.startListening();
    auto phone = desk.connect(desk.desk.addPhone("Anna’s Phone"));
    Windows windows(desk);
    windows.showTab(0);
    auto* box = shown<QCheckBox>(windows.settings, c.toggle);
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(box->isChecked());
    click(box);
    ASSERT_TRUE(desk.waitFor([&] { return lastOf(desk, phone, kit::MessageType::sharingSettings) == c.sent; }));
    EXPECT_EQ(desk.desk.call([&] { return desk.desk.defaults.boolean(c.key); }), false);
    EXPECT_FALSE(box->isChecked());
    if (c.key == std::string("shareClipboard")) screenshot(windows.settings, "settings-general");
  }
}

TEST(SettingsWindowTest, OpenAtLoginShowsTheStateTheLoginItemsReport) {
  struct Case {
    const char* name;
    bool refuse;  // the login-item service throws
    LoginStatus after;
  };
  const Case cases[] = {
      {"registered", false, LoginStatus::enabled},
      // A refusal changes no status, yet the box must not stay ticked.
      {"refused", true, LoginStatus::notRegistered},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UiDesk desk;
    desk.desk.loginItems.refuse = c.refuse;
    Windows windows(desk);
    windows.showTab(0);
    auto* box = shown<QCheckBox>(windows.settings, "Open at Login");
    auto before = desk.snapshots;
    click(box);
    ASSERT_TRUE(desk.waitFor([&] { return desk.snapshots > before; }));
    EXPECT_EQ(desk.desk.call([&] { return desk.desk.loginItems.status(); }), c.after);
    EXPECT_EQ(box->isChecked(), c.after == LoginStatus::enabled);
    if (c.refuse) continue;
    click(box);
    ASSERT_TRUE(desk.waitFor([&] { return desk.state.loginItem == LoginStatus::notRegistered; }));
    EXPECT_FALSE(box->isChecked());
  }
}

// Records what the window asks, without a service behind it.
class RecordingActions final : public host::UiActions {
 public:
  std::vector<std::string> calls;
  void disconnect() override { calls.push_back("disconnect"); }
  void revoke(const kit::Uuid&) override { calls.push_back("revoke"); }
  void startPairing() override { calls.push_back("startPairing"); }
  void stopPairing() override { calls.push_back("stopPairing"); }
  void resolveApproval(bool) override { calls.push_back("resolveApproval"); }
  void setShareClipboard(bool on) override { calls.push_back(std::string("setShareClipboard ") + (on ? "on" : "off")); }
  void setAllowScreenViewing(bool on) override {
    calls.push_back(std::string("setAllowScreenViewing ") + (on ? "on" : "off"));
  }
  void setOpenAtLogin(bool on) override { calls.push_back(std::string("setOpenAtLogin ") + (on ? "on" : "off")); }
  void requestPermission(Permission) override { calls.push_back("requestPermission"); }
};

TEST(SettingsWindowTest, SnapshotsSetTheTogglesWithoutSendingThemBack) {
  struct Case {
    const char* toggle;
    std::function<void(host::UiState&)> change;  // turns the toggle on or off
    bool shownOn;
    const char* clicked;  // the request a click then makes
  };
  const Case cases[] = {
      {"Share Clipboard", [](host::UiState& s) { s.shareClipboard = false; }, false, "setShareClipboard on"},
      {"Allow Screen Viewing", [](host::UiState& s) { s.allowScreenViewing = false; }, false,
       "setAllowScreenViewing on"},
      {"Open at Login", [](host::UiState& s) { s.loginItem = LoginStatus::enabled; }, true, "setOpenAtLogin off"},
      {"Open at Login", [](host::UiState& s) { s.loginItem = LoginStatus::requiresApproval; }, true,
       "setOpenAtLogin off"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.toggle);
    auto actions = std::make_shared<RecordingActions>();
    ui::SettingsWindow window(actions, {});
    host::UiState state;
    state.version = "1.0";
    window.showState(state);
    window.open();
    c.change(state);
    window.showState(state);
    auto* box = shown<QCheckBox>(window, c.toggle);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->isChecked(), c.shownOn);
    EXPECT_TRUE(actions->calls.empty());
    EXPECT_EQ(shown<QLabel>(window, "Allow Tillerpad under Login Items in System Settings.") != nullptr,
              state.loginItem == LoginStatus::requiresApproval);
    click(box);
    EXPECT_EQ(actions->calls, std::vector<std::string>{c.clicked});
  }
  auto actions = std::make_shared<RecordingActions>();
  ui::SettingsWindow window(actions, {});
  host::UiState state;
  state.version = "1.0";
  window.showState(state);
  window.findChild<QTabWidget*>()->setCurrentIndex(1);
  screenshot(window, "settings-iphones-none");
}

TEST(SettingsWindowTest, RevokeAsksFirstAndRemovesThePhoneOnlyWhenConfirmed) {
  for (bool confirm : {false, true}) {
    SCOPED_TRACE(confirm ? "Revoke" : "Cancel");
    UiDesk desk;
    desk.desk.addPhones({"Anna", "Ben"});
    Windows windows(desk);
    windows.showTab(1);
    ASSERT_TRUE(desk.waitFor([&] { return shown<QAbstractButton>(windows.settings, "Revoke…", "Ben") != nullptr; }));
    desk.confirmAnswer = confirm;
    click(shown<QAbstractButton>(windows.settings, "Revoke…", "Ben"));
    ASSERT_TRUE(desk.waitFor([&] { return !desk.alerts.empty(); }));
    EXPECT_EQ(desk.alerts[0].messageText, "Revoke “Ben”?");
    if (confirm) {
      ASSERT_TRUE(desk.waitFor([&] { return desk.state.devices.size() == 1; }));
      EXPECT_TRUE(desk.waitFor([&] { return !shown<QLabel>(windows.settings, "Ben"); }));
    } else {
      desk.desk.call([] {});  // the answer, posted before this, has been carried out
      desk.desk.settle();
      EXPECT_EQ(desk.desk.call([&] { return desk.desk.model->registry.devices().size(); }), 2u);
      EXPECT_NE(shown<QLabel>(windows.settings, "Ben"), nullptr);
    }
    EXPECT_EQ(desk.state.devices.front().name, "Anna");
  }
}

TEST(SettingsWindowTest, DisconnectEndsTheSessionOfTheConnectedPhone) {
  UiDesk desk;
  desk.desk.startListening();
  auto devices = desk.desk.addPhones({"Anna", "Ben"});
  auto phone = desk.connect(devices[1]);
  Windows windows(desk);
  windows.showTab(1);
  ASSERT_TRUE(desk.waitFor([&] { return shown<QLabel>(windows.settings, "Connected") != nullptr; }));
  EXPECT_EQ(shown<QAbstractButton>(windows.settings, "Disconnect", "Anna"), nullptr);
  screenshot(windows.settings, "settings-iphones");
  click(shown<QAbstractButton>(windows.settings, "Pair New iPhone…"));
  EXPECT_EQ(windows.pairingOpened, 1);
  click(shown<QAbstractButton>(windows.settings, "Disconnect", "Ben"));
  ASSERT_TRUE(desk.waitFor([&] { return !desk.state.connectedName; }));
  EXPECT_TRUE(desk.waitFor([&] {
    return lastOf(desk, phone, kit::MessageType::bye) == Message::bye({kit::ByeReason::userDisconnected});
  }));
  EXPECT_TRUE(desk.waitFor([&] { return !shown<QLabel>(windows.settings, "Connected"); }));
  EXPECT_EQ(desk.state.devices.size(), 2u);
}

TEST(OnboardingWindowTest, RowsOpenTheDesktopSettingsAndAnnounceWhenAllowed) {
  struct Case {
    const char* title;
    SystemPermission opened;
    std::function<void(platform::fake::FakePermissionProbe&)> grant;
  };
  const Case cases[] = {
      {"Accessibility", SystemPermission::synthesizeInput, [](auto& probe) { probe.input = true; }},
      {"Screen Recording", SystemPermission::captureScreen, [](auto& probe) { probe.screen = true; }},
  };
  UiDesk desk;
  ASSERT_TRUE(desk.after([&] { desk.desk.probe.input = false, desk.desk.model->permissions.refresh(); },
                         [](const host::UiState& s) { return !s.accessibility && !s.screenRecording; }));
  Windows windows(desk);
  windows.onboarding.open();
  screenshot(windows.onboarding, "onboarding");
  // Qt's offscreen platform has no accessibility bridge to listen in on.
  std::vector<QString> announced;
  for (auto* row : windows.onboarding.findChildren<ui::PermissionRow*>()) {
    QObject::connect(row, &ui::PermissionRow::announced, [&](const QString& text) { announced.push_back(text); });
  }
  std::vector<SystemPermission> opened;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);

    click(shown<QAbstractButton>(windows.onboarding, "Open System Settings", c.title));
    opened.push_back(c.opened);
    ASSERT_TRUE(desk.waitFor([&] { return desk.permissionSettings.opened() == opened; }));
    announced.clear();
    desk.desk.call([&] { c.grant(desk.desk.probe); });
    desk.advance(std::chrono::seconds(1));
    ASSERT_TRUE(desk.waitFor([&] { return !announced.empty(); }));
    EXPECT_EQ(announced, std::vector<QString>{QString::fromUtf8(c.title) + ": Allowed"});
    EXPECT_EQ(shown<QAbstractButton>(windows.onboarding, "Open System Settings", c.title), nullptr);
  }
  screenshot(windows.onboarding, "onboarding-allowed");
}

TEST(PairedOnTest, DatesUseLatinDigitsInEveryLocale) {
  // 2024-03-09 13:45 UTC; the local zone may move the day, never the year.
  auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1709991900));
  QLocale before;
  for (const char* name : {"en_US", "de_DE", "ar_EG", "fa_IR", "bn_BD", "mr_IN"}) {
    SCOPED_TRACE(name);
    QLocale::setDefault(QLocale(QString::fromLatin1(name)));
    QString text = ui::shortDateTime(when);
    QString digits;
    for (QChar ch : text) {
      if (ch.isDigit()) digits += ch;
    }
    EXPECT_TRUE(digits.contains(QLatin1String("24"))) << text.toStdString();
    for (QChar ch : digits) EXPECT_LT(ch.unicode(), 0x80) << text.toStdString();
  }
  QLocale::setDefault(before);
}

}  // namespace
}  // namespace tillerpad::test
