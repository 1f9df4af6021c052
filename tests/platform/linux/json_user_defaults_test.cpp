#include "platform/linux/json_user_defaults.h"
#include "platform/linux/linux_system_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/platform/linux/temp_dir.h"

namespace tillerpad::platform {
namespace {

class JsonUserDefaultsTest : public ::testing::Test {
 protected:
  JsonUserDefaults open() { return JsonUserDefaults(file_, kit::Logger(log_, "Tillerpad", "settings")); }
  void writeFile(const std::string& text) {
    std::filesystem::create_directories(file_.parent_path());
    std::ofstream(file_) << text;
  }

  test::TempDir dir_;
  std::filesystem::path file_ = dir_.path() / "tillerpad" / "defaults.json";
  std::shared_ptr<kit::RecordingLogSink> log_ = std::make_shared<kit::RecordingLogSink>();
};

TEST_F(JsonUserDefaultsTest, ValuesKeepTheirTypeAcrossRestarts) {
  {
    auto defaults = open();
    defaults.setValue("macID", std::string("6F9619FF-8B86-D011-B42D-00C04FC964FF"));
    defaults.setValue("shareClipboard", false);
    defaults.setValue("count", std::int64_t{3});
    defaults.setValue("gone", true);
    defaults.removeValue("gone");
  }
  auto again = open();
  EXPECT_EQ(again.string("macID"), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(again.boolean("shareClipboard"), false);
  EXPECT_FALSE(again.boolean("macID"));  // a text is not a Boolean
  EXPECT_EQ(again.value("count"), UserDefaults::Value(std::int64_t{3}));
  EXPECT_FALSE(again.value("gone"));
  struct stat st {};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(file_.string() + ".tmp"));
  EXPECT_TRUE(log_->records().empty());
}

TEST_F(JsonUserDefaultsTest, DamagedFileIsReportedOnceAndReplaced) {
  for (const char* damaged : {"{\"macID\": \"x\"", "[1, 2]", "\xFF\xFE", ""}) {
    writeFile(damaged);
    log_ = std::make_shared<kit::RecordingLogSink>();
    auto defaults = open();
    EXPECT_FALSE(defaults.value("macID")) << damaged;
    EXPECT_EQ(log_->records().size(), 1u) << damaged;
    defaults.setValue("macID", std::string("fresh"));
    EXPECT_EQ(open().string("macID"), "fresh");
  }
  // Values of kinds we do not store are skipped, the rest kept.
  writeFile(R"({"a": [1], "b": {"c": 1}, "d": null, "e": "kept"})");
  auto mixed = open();
  EXPECT_FALSE(mixed.value("a"));
  EXPECT_EQ(mixed.string("e"), "kept");
}

TEST_F(JsonUserDefaultsTest, PrettyHostNameFromMachineInfo) {
  std::ofstream(dir_.path() / "machine-info") << "CHASSIS=desktop\nPRETTY_HOSTNAME=\"Studio Desk\"\n";
  EXPECT_EQ(LinuxSystemInfo(dir_.path() / "machine-info").prettyHostName(), "Studio Desk");
  EXPECT_FALSE(LinuxSystemInfo(dir_.path() / "missing").prettyHostName());
  EXPECT_TRUE(LinuxSystemInfo().hostName());
}

}  // namespace
}  // namespace tillerpad::platform
