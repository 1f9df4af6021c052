#include "kit/common/uuid.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace tillerpad::kit {
namespace {

TEST(Uuid, TextIsUpperCaseAndBytesAreInRfc4122Order) {
  auto id = Uuid::parse("123e4567-e89b-12d3-a456-426614174000");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->text(), "123E4567-E89B-12D3-A456-426614174000");
  EXPECT_EQ((std::vector{id->bytes()[0], id->bytes()[6], id->bytes()[15]}), (std::vector<std::uint8_t>{0x12, 0x12, 0x00}));
  EXPECT_EQ(Uuid::fromBytes(id->bytes()), id);
  EXPECT_FALSE(Uuid::fromBytes(Bytes(15, 0)));
}

TEST(Uuid, RejectsEveryMalformedText) {
  for (const char* bad : {"", "123e4567e89b12d3a456426614174000", "123e4567-e89b-12d3-a456-42661417400",
                          "123e4567-e89b-12d3-a456-4266141740000", "123e4567-e89b-12d3-a456_426614174000",
                          "123e456-7e89b-12d3-a456-426614174000", "123e4567-e89b-12d3-a456-42661417400g",
                          "{23e4567-e89b-12d3-a456-426614174000", "123e4567-e89b-12d3-a456-42661417400 "}) {
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  }
}

TEST(Uuid, RandomIdentifiersAreVersion4AndDistinct) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 100; ++i) {
    Uuid id = Uuid::random();
    EXPECT_EQ((std::pair{id.bytes()[6] >> 4, id.bytes()[8] >> 6}), (std::pair{4, 2}));  // version 4, the RFC variant
    EXPECT_EQ(Uuid::parse(id.text()), id);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace tillerpad::kit
