// The settings and onboarding windows over the real app model on fakes.
#include <QCheckBox>
#include <QLocale>
#include <QTabWidget>

#include <gtest/gtest.h>

#include "host/ui/onboarding_window.h"
#include "host/ui/permission_row.h"
#include "host/ui/settings_window.h"
#include "tests/ui/ui_harness.h"

namespace tillerpad::test {
namespace {

using kit::Message;
using LoginStatus = platform::LoginItemService::Status;

// Both windows, fed every snapshot.
struct Windows {
  explicit Windows(UiDesk& desk, int tab = 0)
      : desk(desk), settings(desk.actions, {}), onboarding(desk.actions) {
    desk.viewers.push_back([this](const host::UiState& s) { settings.showState(s), onboarding.showState(s); });
    settings.showState(desk.state);
    onboarding.showState(desk.state);
    settings.findChild<QTabWidget*>()->setCurrentIndex(tab);
    settings.open();
    settings.resize(settings.sizeHint());  // as a desktop opens it; the offscreen screen is smaller
  }
  ~Windows() { desk.viewers.clear(); }
  UiDesk& desk;
  ui::SettingsWindow settings;
  ui::OnboardingWindow onboarding;
};

std::optional<Message> last(UiDesk& desk, const Phone& phone, kit::MessageType type) {
  return desk.desk.call([&]() -> std::optional<Message> {
    auto& all = phone.inbox->messages;
    auto it = std::find_if(all.rbegin(), all.rend(), [&](const Message& m) { return m.is(type); });
    return it == all.rend() ? std::nullopt : std::optional(*it);
  });
}

TEST(SettingsWindowTest, TogglesFollowTheServiceClicksAreStoredAndSentAndRowsActOnTheirOwnPhone) {
  struct Case {
    const char* toggle;
    const char* key;
    std::function<void(host::AppModel&)> switchOff;  // by the service, not the window
  };
  const Case cases[] = {
      {"Share Clipboard", "shareClipboard", [](auto& m) { m.settings.setShareClipboard(false); }},
      {"Allow Screen Viewing", "allowScreenViewing", [](auto& m) { m.settings.setAllowScreenViewing(false); }},
  };
  UiDesk desk;
  desk.desk.startListening();
  auto phone = desk.connect(desk.desk.addPhones({"Anna’s Phone", "Ben"})[0]);
  Windows windows(desk);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.toggle);
    auto* box = shown<QCheckBox>(windows.settings, c.toggle);
    ASSERT_TRUE(box && box->isChecked());
    int writes = desk.desk.call([&] { return desk.desk.defaults.writes; });
    desk.desk.call([&] { c.switchOff(*desk.desk.model); });
    ASSERT_TRUE(desk.waitFor([&] { return !box->isChecked(); }));
    desk.desk.call([] {});  // anything the snapshot sent back has been carried out by now
    EXPECT_EQ(desk.desk.call([&] { return desk.desk.defaults.writes; }), writes + 1) << "sent back";
    click(box);
    ASSERT_TRUE(desk.waitFor([&] { return last(desk, phone, kit::MessageType::sharingSettings) == Message::sharingSettings({true, true}); }));
    EXPECT_EQ(desk.desk.call([&] { return desk.desk.defaults.boolean(c.key); }), true);
    EXPECT_TRUE(box->isChecked());
  }
  // A refused login item changes no status, yet the box must not stay ticked.
  auto* login = shown<QCheckBox>(windows.settings, "Open at Login");
  for (bool refuse : {true, false}) {
    desk.desk.call([&] { desk.desk.loginItems.refuse = refuse; });
    auto before = desk.snapshots;
    click(login);
    ASSERT_TRUE(desk.waitFor([&] { return desk.snapshots > before; }));
    auto status = desk.desk.call([&] { return desk.desk.loginItems.status(); });
    EXPECT_EQ(status, refuse ? LoginStatus::notRegistered : LoginStatus::enabled);
    EXPECT_EQ(login->isChecked(), !refuse);
  }
  screenshot(windows.settings, "settings-general", false);
  windows.settings.findChild<QTabWidget*>()->setCurrentIndex(1);
  ASSERT_TRUE(desk.waitFor([&] { return shown<QLabel>(windows.settings, "Connected") != nullptr; }));
  screenshot(windows.settings, "settings-iphones", false);
  // Cancel and the box itself are the tray's revoke test's.
  desk.confirmAnswer = true;
  ASSERT_TRUE(click(shown<QAbstractButton>(windows.settings, "Revoke…", "Ben")));
  ASSERT_TRUE(desk.waitFor([&] { return !desk.alerts.empty() && !shown<QLabel>(windows.settings, "Ben"); }));
  EXPECT_EQ(desk.alerts.at(0).messageText, "Revoke “Ben”?");
  ASSERT_TRUE(click(shown<QAbstractButton>(windows.settings, "Disconnect", "Anna’s Phone")));
  EXPECT_TRUE(desk.waitFor([&] {
    return last(desk, phone, kit::MessageType::bye) == Message::bye({kit::ByeReason::userDisconnected}) &&
           !shown<QLabel>(windows.settings, "Connected");
  }));
  EXPECT_TRUE(shown<QLabel>(windows.settings, "Anna’s Phone"));
}

TEST(OnboardingWindowTest, RowsOpenTheDesktopSettingsAndAnnounceWhenAllowed) {
  using platform::SystemPermission;
  struct Case {
    const char* title;
    SystemPermission opened;
    bool platform::fake::FakePermissionProbe::*flag;
  };
  const Case cases[] = {
      {"Accessibility", SystemPermission::synthesizeInput, &platform::fake::FakePermissionProbe::input},
      {"Screen Recording", SystemPermission::captureScreen, &platform::fake::FakePermissionProbe::screen},
  };
  UiDesk desk;
  ASSERT_TRUE(desk.permit(false, false));
  Windows windows(desk);
  windows.settings.findChild<QTabWidget*>()->setCurrentIndex(1);
  screenshot(windows.settings, "settings-iphones-none", false);
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
    desk.desk.call([&] { desk.desk.probe.*c.flag = true; });
    desk.desk.advance(std::chrono::seconds(1));
    ASSERT_TRUE(desk.waitFor([&] { return !announced.empty(); }));
    EXPECT_EQ(announced, std::vector<QString>{QString::fromUtf8(c.title) + ": Allowed"});
    EXPECT_EQ(shown<QAbstractButton>(windows.onboarding, "Open System Settings", c.title), nullptr);
  }
  screenshot(windows.onboarding, "onboarding-allowed");
}

TEST(PairedOnTest, DatesUseLatinDigitsInEveryLocale) {
  QLocale before;
  for (const char* name : {"en_US", "de_DE", "ar_EG", "fa_IR", "bn_BD", "mr_IN"}) {
    QLocale::setDefault(QLocale(QString::fromLatin1(name)));
    auto text = ui::shortDateTime(std::chrono::system_clock::time_point(std::chrono::seconds(1709991900)));  // March 2024
    text.removeIf([](QChar ch) { return !ch.isDigit(); });
    EXPECT_TRUE(text.contains(QLatin1String("24")) && text.toLatin1() == text.toUtf8()) << name;
  }
  QLocale::setDefault(before);
}

}  // namespace
}  // namespace tillerpad::test
