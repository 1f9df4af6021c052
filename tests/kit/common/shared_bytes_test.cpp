#include "kit/common/shared_bytes.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

// release() hands out the storage itself only when it is a vector nobody else
// holds; otherwise it copies, and the other holders keep their bytes.
TEST(SharedBytes, ReleaseMovesOnlyStorageNobodyElseHolds) {
  const Bytes content = testing::counting(1, 100);
  struct Case {
    const char* name;
    bool fromVector, anotherHolder, moved;
  };
  const Case cases[] = {
      {"sole holder of its vector", true, false, true},
      {"vector held twice", true, true, false},
      {"view into an owner's buffer", false, false, false},
      {"view held twice", false, true, false},
  };
  for (const auto& c : cases) {
    auto buffer = std::make_shared<Bytes>(content);
    SharedBytes bytes = c.fromVector ? SharedBytes(content) : SharedBytes(buffer, ByteView(*buffer));
    buffer.reset();
    std::optional<SharedBytes> other;
    if (c.anotherHolder) other = bytes;
    const std::uint8_t* before = bytes.data();
    Bytes out = std::move(bytes).release();
    EXPECT_EQ(out, content) << c.name;
    EXPECT_EQ(out.data() == before, c.moved) << c.name;
    EXPECT_TRUE(bytes.empty()) << c.name;  // NOLINT(bugprone-use-after-move): release() leaves it empty
    if (other) EXPECT_EQ(*other, content) << c.name;
  }
}

}  // namespace
}  // namespace tillerpad::kit
