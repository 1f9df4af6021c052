#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "host/app/login_item.h"
#include "host/app/mac_settings.h"
#include "platform/fake/in_memory_user_defaults.h"
#include "platform/linux/xdg_autostart.h"
#include "tests/platform/linux/temp_dir.h"

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

TEST(LoginItem, RegistersAnAutostartEntryFollowsTheUsersSwitchAndLogsARefusal) {
  platform::test::TempDir dir;
  auto log = std::make_shared<kit::RecordingLogSink>();
  kit::Logger logger(log, "app.tillerpad.Tillerpad", "login-item");
  auto entry = dir.path() / "autostart" / "app.tillerpad.Tillerpad.desktop";
  platform::XdgAutostart autostart(entry, "/opt/tiller pad/tillerpad");
  LoginItem item(autostart, logger);
  std::vector<LoginItem::Status> changes;
  item.onStatusChange = [&](LoginItem::Status s) { changes.push_back(s); };
  EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);

  item.setEnabled(true);
  EXPECT_TRUE(item.isEnabled());
  std::ifstream in(entry);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  // The installed template, with this executable: started at login, quietly.
  auto entries = [](std::istream&& in) {
    std::map<std::string, std::string> keys;
    for (std::string line; std::getline(in, line);) {
      if (auto eq = line.find('='); eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
  };
  auto written = entries(std::istringstream(text));
  auto expected = entries(std::ifstream(TILLERPAD_PACKAGING_DIR "/app.tillerpad.Tillerpad-autostart.desktop"));
  ASSERT_EQ(expected["Exec"], "tillerpad --quiet");
  expected["Exec"] = "\"/opt/tiller pad/tillerpad\" --quiet";
  EXPECT_EQ(written, expected) << text;
  item.setEnabled(true);  // no change, no report
  EXPECT_EQ(changes.size(), 1u);

  std::ofstream(entry, std::ios::app) << "Hidden=true\n";  // the user switched it off in the session settings
  EXPECT_EQ(autostart.status(), LoginItem::Status::notRegistered);
  item.setEnabled(false);
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(item.status(), LoginItem::Status::notRegistered);

  // A file where the folder should be: the change is refused, logged, and the real state kept.
  std::ofstream(dir.path() / "blocked") << "a file";
  platform::XdgAutostart blocked(dir.path() / "blocked" / "app.desktop", "/usr/bin/tillerpad");
  LoginItem refused(blocked, logger);
  refused.setEnabled(true);
  EXPECT_EQ(refused.status(), LoginItem::Status::notRegistered);
  ASSERT_EQ(log->records().size(), 1u);  // the first item logged nothing
  EXPECT_TRUE(log->records()[0].text.starts_with("Login item change failed: "));
  EXPECT_EQ(log->records()[0].level, kit::LogLevel::error);
}

}  // namespace
}  // namespace tillerpad::host
