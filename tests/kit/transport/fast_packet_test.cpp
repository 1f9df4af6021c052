#include "kit/transport/fast_packet.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "kit/wire/wire_error.h"
#include "tests/support/seal_plaintext.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using testing::toHex;

FastChannelKeys testKeys(std::uint32_t tag = 0x01020304) { return testing::fastKeys(tag); }

// Version, tag and sequence in clear text, then the sealed events. Pinned once:
// a change of nonce, associated data or plaintext layout shows here. The tag
// can be read without the key, from a datagram of version 1 and full length.
TEST(FastPacket, GoldenLayoutAndTagPeek) {
  Bytes d = FastPacket::seal({FastEvent::pointerMove(1.5f, -2.0f)}, 5, testKeys());
  EXPECT_EQ(toHex(d), "01010203040000000000000005cdc9dcdc229f5933a98ee6346fc80bc31028c67b33aa60b65fa8");
  auto opened = FastPacket::open(d, testKeys());
  EXPECT_EQ(opened.sequence, 5u);
  EXPECT_EQ(opened.events, std::vector<FastEvent>{FastEvent::pointerMove(1.5f, -2.0f)});
  EXPECT_EQ(FastPacket::sessionTag(d), 0x01020304u);
  EXPECT_FALSE(FastPacket::sessionTag(ByteView(d).first(28)));
  d[0] = 2;
  EXPECT_FALSE(FastPacket::sessionTag(d));
}

TEST(FastPacket, SealIsDeterministicAndCarriesAtMost32Events) {
  std::vector<FastEvent> forty;
  for (int i = 0; i < 40; ++i) forty.push_back(FastEvent::scroll(static_cast<float>(i), 0));
  Bytes a = FastPacket::seal(forty, 9, testKeys());
  EXPECT_EQ(a, FastPacket::seal(forty, 9, testKeys()));
  EXPECT_EQ(a.size(), FastPacket::maximumLength);
  auto opened = FastPacket::open(a, testKeys());
  ASSERT_EQ(opened.events.size(), 32u);
  EXPECT_EQ(opened.events.back(), FastEvent::scroll(31, 0));
  // An empty batch is still a valid datagram.
  EXPECT_TRUE(FastPacket::open(FastPacket::seal({}, 1, testKeys()), testKeys()).events.empty());
}

// Flipping any bit anywhere is refused; header and tag region name the kind.
TEST(FastPacket, EveryFlippedBitIsRefused) {
  const Bytes d = FastPacket::seal({FastEvent::pointerMove(3, 4), FastEvent::scroll(-1, 1)}, 77, testKeys());
  for (std::size_t i = 0; i < d.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes bad = d;
      bad[i] ^= static_cast<std::uint8_t>(1 << bit);
      try {
        FastPacket::open(bad, testKeys());
        FAIL() << "accepted a flip at byte " << i << " bit " << bit;
      } catch (const FastPacket::PacketError& e) {
        // version and tag fields are checked in clear; everything else by the AEAD
        using enum FastPacket::PacketError::Case;
        EXPECT_EQ(e.errorCase(), i < 5 ? malformed : authenticationFailed) << "byte " << i;
      }
    }
  }
}

Bytes sealPlaintext(const Bytes& plaintext, std::uint64_t sequence) {
  return testing::sealPlaintext(plaintext, sequence, testKeys());
}

TEST(FastPacket, SealMatchesAnIndependentSealOfTheDocumentedPlaintext) {
  // count 2; type 1, 1.5f = 3FC00000, -2.0f = C0000000; type 2, 0.25f = 3E800000, 8.0f = 41000000
  Bytes plaintext{2, 1, 0x3F, 0xC0, 0, 0, 0xC0, 0, 0, 0, 2, 0x3E, 0x80, 0, 0, 0x41, 0, 0, 0};
  EXPECT_EQ(FastPacket::seal({FastEvent::pointerMove(1.5f, -2.0f), FastEvent::scroll(0.25f, 8.0f)}, 0x0102030405060708,
                             testKeys()),
            sealPlaintext(plaintext, 0x0102030405060708));
}

TEST(FastPacket, PlaintextRules) {
  auto entry = [](std::uint8_t type, float dx, float dy) {  // big-endian IEEE floats
    Bytes e{type};
    for (auto bits : {std::bit_cast<std::uint32_t>(dx), std::bit_cast<std::uint32_t>(dy)}) {
      for (int s : {24, 16, 8, 0}) e.push_back(static_cast<std::uint8_t>(bits >> s));
    }
    return e;
  };
  auto join = testing::concat;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();

  // An unknown type between two moves is skipped.
  auto opened = FastPacket::open(
      sealPlaintext(join({Bytes{3}, entry(1, 1, 1), entry(3, 9, 9), entry(1, 2, 2)}), 1), testKeys());
  EXPECT_EQ(opened.events, (std::vector<FastEvent>{FastEvent::pointerMove(1, 1), FastEvent::pointerMove(2, 2)}));
  // Bytes after the last entry are ignored.
  EXPECT_EQ(FastPacket::open(sealPlaintext(join({Bytes{1}, entry(2, 5, 6), Bytes{0xAA}}), 1), testKeys()).events,
            std::vector<FastEvent>{FastEvent::scroll(5, 6)});

  struct Bad { const char* name; Bytes plaintext; bool truncated; };
  const Bad bad[] = {
      {"count 33", join({Bytes{33}, entry(1, 0, 0)}), false},
      {"NaN dx", join({Bytes{1}, entry(1, nan, 0)}), false},
      {"infinite dy", join({Bytes{1}, entry(2, 0, -inf)}), false},
      {"NaN in an unknown type", join({Bytes{1}, entry(7, nan, 0)}), false},
      {"count beyond the entries", join({Bytes{2}, entry(1, 0, 0)}), true},
      {"no count", Bytes{}, true},
  };
  for (const auto& c : bad) {
    Bytes d = sealPlaintext(c.plaintext, 1);
    if (c.truncated) {
      EXPECT_THROW(FastPacket::open(d, testKeys()), WireError) << c.name;
    } else {
      EXPECT_THROW(FastPacket::open(d, testKeys()), FastPacket::PacketError) << c.name;
    }
  }
  EXPECT_THROW(FastPacket::open(Bytes(28, 1), testKeys()), FastPacket::PacketError);
}

TEST(FastChannelKeys, FromExporterBytes) {
  Bytes exported = testing::counting(1, 36);
  auto keys = FastChannelKeys::fromExportedBytes(exported);
  ASSERT_TRUE(keys);
  EXPECT_EQ(Bytes(keys->key.begin(), keys->key.end()), testing::counting(1, 32));
  EXPECT_EQ(keys->sessionTag, 0x21222324u);
  EXPECT_FALSE(FastChannelKeys::fromExportedBytes(ByteView(exported).first(35)));
}

}  // namespace
}  // namespace tillerpad::kit
