#include <gtest/gtest.h>

#include <fstream>

#include "host/app/login_item.h"
#include "host/app/mac_settings.h"
#include "platform/fake/in_memory_user_defaults.h"
#include "platform/linux/xdg_autostart.h"

namespace tillerpad::host {
namespace {

TEST(MacSettings, SwitchesDefaultToTrueAndEveryAssignmentIsStoredAndReported) {
  platform::fake::InMemoryUserDefaults defaults;
  defaults.setValue("allowScreenViewing", std::string("no"));  // not a Boolean
  MacSettings settings(defaults);
  EXPECT_TRUE(settings.shareClipboard());
  EXPECT_TRUE(settings.allowScreenViewing());
  EXPECT_FALSE(defaults.value("shareClipboard"));  // nothing written until the user changes something

  int changes = 0;
  settings.onChange = [&] { ++changes; };
  settings.setShareClipboard(false);
  settings.setShareClipboard(false);
  settings.setAllowScreenViewing(true);
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(defaults.boolean("shareClipboard"), false);
  EXPECT_EQ(defaults.boolean("allowScreenViewing"), true);
  EXPECT_FALSE(MacSettings(defaults).shareClipboard());
}

class LoginItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("tillerpad-autostart-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    log_ = std::make_shared<kit::RecordingLogSink>();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
  std::shared_ptr<kit::RecordingLogSink> log_;
};

TEST_F(LoginItemTest, RegistersAnAutostartEntryAndFollowsTheUsersSwitch) {
  auto entry = dir_ / "autostart" / "app.tillerpad.Tillerpad.desktop";
  platform::XdgAutostart autostart(entry, "/opt/tiller pad/tillerpad");
  LoginItem item(autostart, kit::Logger(log_, "app.tillerpad.Tillerpad", "login-item"));
  std::vector<LoginItem::Status> changes;
  item.onStatusChange = [&](LoginItem::Status s) { changes.push_back(s); };
  EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);

  item.setEnabled(true);
  EXPECT_TRUE(item.isEnabled());
  std::ifstream in(entry);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("Exec=\"/opt/tiller pad/tillerpad\"\n"), std::string::npos) << text;
  item.setEnabled(true);  // no change, no report
  EXPECT_EQ(changes.size(), 1u);

  std::ofstream(entry, std::ios::app) << "Hidden=true\n";  // the user switched it off in the session settings
  EXPECT_EQ(autostart.status(), LoginItem::Status::notRegistered);

  item.setEnabled(false);
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
  EXPECT_TRUE(log_->records().empty());
}

TEST_F(LoginItemTest, ARefusedChangeIsLoggedAndTheRealStateKept) {
  std::filesystem::create_directories(dir_);
  std::ofstream(dir_ / "autostart") << "a file where the folder should be";
  platform::XdgAutostart autostart(dir_ / "autostart" / "app.desktop", "/usr/bin/tillerpad");
  LoginItem item(autostart, kit::Logger(log_, "app.tillerpad.Tillerpad", "login-item"));
  item.setEnabled(true);
  EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);
  ASSERT_EQ(log_->records().size(), 1u);
  EXPECT_EQ(log_->records()[0].text.rfind("Login item change failed: ", 0), 0u);
  EXPECT_EQ(log_->records()[0].level, kit::LogLevel::error);
}

}  // namespace
}  // namespace tillerpad::host
