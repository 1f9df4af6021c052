#include "kit/common/base64.h"

#include <gtest/gtest.h>

namespace tillerpad::kit {
namespace {

using base64::Alphabet;
using base64::Padding;

// The RFC 4648 vectors, and the two alphabets, which differ only in two digits.
TEST(Base64, VectorsInBothAlphabets) {
  struct Case {
    std::string plain;
    std::string text;
    Alphabet alphabet = Alphabet::standard;
    Padding padding = Padding::required;
  };
  const Case cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBF", "+/+/"}, {"\xFB\xFF\xBF", "-_-_", Alphabet::urlSafe},
      {"\x01", "AQ", Alphabet::urlSafe, Padding::none},
  };
  for (const auto& c : cases) {
    auto bytes = asBytes(c.plain);
    EXPECT_EQ(base64::encode(bytes, c.alphabet, c.padding), c.text);
    EXPECT_EQ(base64::decode(c.text, c.alphabet, c.padding), Bytes(bytes.begin(), bytes.end())) << c.text;
  }
  EXPECT_FALSE(base64::decode("-_-_"));
  EXPECT_FALSE(base64::decode("+/+/", Alphabet::urlSafe));
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
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
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
