#include "kit/transport/bonjour.h"

#include <gtest/gtest.h>

namespace tillerpad::kit {
namespace {

TEST(Bonjour, TxtRecordAndItsMacID) {
  Uuid id = *Uuid::parse("6f9619ff-8b86-d011-b42d-00c04fc964ff");
  auto txt = Bonjour::txtRecord(id);
  EXPECT_EQ(txt, (Bonjour::TxtRecord{{"id", "6F9619FF-8B86-D011-B42D-00C04FC964FF"}, {"v", "1"}}));
  EXPECT_EQ(Bonjour::macID(txt), id);
  EXPECT_EQ(Bonjour::macID(Bonjour::TxtRecord{{"v", "1"}, {"id", "6f9619ff-8b86-d011-b42d-00c04fc964ff"}}), id);
  EXPECT_FALSE(Bonjour::macID(std::nullopt));
  EXPECT_FALSE(Bonjour::macID(Bonjour::TxtRecord{{"v", "1"}}));
  EXPECT_FALSE(Bonjour::macID(Bonjour::TxtRecord{{"id", "desk"}}));
  EXPECT_EQ(Bonjour::parseTxtStrings({"id=A=B", "flag", "v=1"}),
            (Bonjour::TxtRecord{{"id", "A=B"}, {"flag", ""}, {"v", "1"}}));
}

}  // namespace
}  // namespace tillerpad::kit
