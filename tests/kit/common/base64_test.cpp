#include "kit/common/base64.h"

#include <gtest/gtest.h>

namespace tillerpad::kit {
namespace {

using base64::Alphabet;
using base64::Padding;

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64::encode(asBytes(plain)), encoded);
    auto decoded = base64::decode(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(asText(*decoded), plain);
  }
}

TEST(Base64, AlphabetsDifferOnlyInTwoDigits) {
  const Bytes bytes{0xFB, 0xFF, 0xBF};
  EXPECT_EQ(base64::encode(bytes), "+/+/");
  EXPECT_EQ(base64::encode(bytes, Alphabet::urlSafe), "-_-_");
  EXPECT_EQ(base64::decode("-_-_", Alphabet::urlSafe), bytes);
  EXPECT_FALSE(base64::decode("-_-_"));
  EXPECT_FALSE(base64::decode("+/+/", Alphabet::urlSafe));
  EXPECT_EQ(base64::encode(Bytes{1}, Alphabet::urlSafe, Padding::none), "AQ");
  EXPECT_EQ(base64::decode("AQ", Alphabet::urlSafe, Padding::none), Bytes{1});
}

TEST(Base64, StrictDecodingRejectsEverythingButOneCanonicalText) {
  for (const char* bad : {"Zg", "Zg=", "Zg===", "Z===", "Zm9v\n", " Zm9v", "Zm9v YmFy", "Zh==", "Zm9=", "Zm=v",
                          "====", "Zm9vY", "!!!!"}) {
    EXPECT_FALSE(base64::decode(bad)) << bad;
  }
  // Without padding, "=" is not a digit and a lone trailing digit carries too few bits.
  EXPECT_FALSE(base64::decode("Zg==", Alphabet::standard, Padding::none));
  EXPECT_FALSE(base64::decode("Zm9vY", Alphabet::standard, Padding::none));
}

TEST(Base64, EveryByteValueRoundTrips) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  for (std::size_t n = 0; n <= all.size(); n += 37) {
    Bytes slice(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
    for (auto alphabet : {Alphabet::standard, Alphabet::urlSafe}) {
      for (auto padding : {Padding::required, Padding::none}) {
        EXPECT_EQ(base64::decode(base64::encode(slice, alphabet, padding), alphabet, padding), slice);
      }
    }
  }
}

}  // namespace
}  // namespace tillerpad::kit
