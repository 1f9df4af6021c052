#include "host/service/mac_identity.h"

#include <gtest/gtest.h>

#include "platform/fake/in_memory_user_defaults.h"

namespace tillerpad::host {
namespace {

using platform::fake::FixedSystemInfo;
using platform::fake::InMemoryUserDefaults;
using Value = platform::UserDefaults::Value;

// The id is made once and kept; a damaged one is replaced, a lower-case one
// read. The name falls back from the pretty name to the host name to "Mac".
TEST(MacIdentity, IdIsMadeOnceKeptAndRepairedAndTheNameFallsBack) {
  InMemoryUserDefaults defaults;
  FixedSystemInfo system("Studio Desk", "desk");
  MacIdentity first = MacIdentity::load(defaults, system);
  EXPECT_EQ(defaults.string("macID"), first.id.text());
  EXPECT_EQ(MacIdentity::load(defaults, system).id, first.id);
  EXPECT_EQ(defaults.writes, 1);

  for (Value bad : {Value(std::string("not-a-uuid")), Value(true)}) {
    defaults.setValue("macID", bad);
    auto repaired = MacIdentity::load(defaults, system).id;
    EXPECT_EQ(defaults.string("macID"), repaired.text());
  }
  defaults.setValue("macID", std::string("6f9619ff-8b86-d011-b42d-00c04fc964ff"));
  EXPECT_EQ(MacIdentity::load(defaults, system).id.text(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(first.name, "Studio Desk");
  EXPECT_EQ(MacIdentity::load(defaults, FixedSystemInfo(std::nullopt, "desk")).name, "desk");
  EXPECT_EQ(MacIdentity::load(defaults, FixedSystemInfo(std::nullopt, std::nullopt)).name, "Mac");
}

}  // namespace
}  // namespace tillerpad::host
