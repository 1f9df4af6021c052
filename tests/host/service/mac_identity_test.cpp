#include "host/service/mac_identity.h"

#include <gtest/gtest.h>

#include "platform/fake/in_memory_user_defaults.h"

namespace tillerpad::host {
namespace {

using platform::fake::FixedSystemInfo;
using platform::fake::InMemoryUserDefaults;

TEST(MacIdentity, IdIsMadeOnceAndReadBack) {
  InMemoryUserDefaults defaults;
  FixedSystemInfo system("Studio Desk", "desk");
  MacIdentity first = MacIdentity::load(defaults, system);
  EXPECT_EQ(defaults.string("macID"), first.id.text());
  MacIdentity second = MacIdentity::load(defaults, system);
  EXPECT_EQ(second.id, first.id);
  EXPECT_EQ(defaults.writes, 1);
}

TEST(MacIdentity, DamagedIdIsReplaced) {
  for (platform::UserDefaults::Value bad : {platform::UserDefaults::Value(std::string("")),
                                            platform::UserDefaults::Value(std::string("not-a-uuid")),
                                            platform::UserDefaults::Value(true)}) {
    InMemoryUserDefaults defaults;
    defaults.setValue("macID", bad);
    MacIdentity identity = MacIdentity::load(defaults, FixedSystemInfo(std::nullopt, std::nullopt));
    EXPECT_EQ(defaults.string("macID"), identity.id.text());
  }
  InMemoryUserDefaults lower;
  lower.setValue("macID", std::string("6f9619ff-8b86-d011-b42d-00c04fc964ff"));
  EXPECT_EQ(MacIdentity::load(lower, FixedSystemInfo(std::nullopt, std::nullopt)).id.text(),
            "6F9619FF-8B86-D011-B42D-00C04FC964FF");
}

TEST(MacIdentity, NameFallsBackFromPrettyToHostToMac) {
  InMemoryUserDefaults defaults;
  EXPECT_EQ(MacIdentity::load(defaults, FixedSystemInfo("Studio Desk", "desk")).name, "Studio Desk");
  EXPECT_EQ(MacIdentity::load(defaults, FixedSystemInfo(std::nullopt, "desk")).name, "desk");
  EXPECT_EQ(MacIdentity::load(defaults, FixedSystemInfo(std::nullopt, std::nullopt)).name, "Mac");
}

}  // namespace
}  // namespace tillerpad::host
