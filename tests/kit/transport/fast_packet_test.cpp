#include "kit/transport/fast_packet.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "kit/wire/wire_error.h"
#include "tests/support/seal_plaintext.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using testing::concat;

const FastChannelKeys keys = testing::fastKeys(0x01020304);

// Version, tag and sequence in clear text, then the sealed events. Pinned once:
// a change of nonce, associated data or plaintext layout shows here. The tag
// can be read without the key, from a datagram of version 1 and full length.
// Sealing is deterministic and carries at most 32 events; an empty batch is valid.
TEST(FastPacket, GoldenLayoutTagPeekAndEventLimit) {
  Bytes d = FastPacket::seal({FastEvent::pointerMove(1.5f, -2.0f)}, 5, keys);
  EXPECT_EQ(testing::toHex(d), "01010203040000000000000005cdc9dcdc229f5933a98ee6346fc80bc31028c67b33aa60b65fa8");
  auto opened = FastPacket::open(d, keys);
  EXPECT_EQ(opened.sequence, 5u);
  EXPECT_EQ(opened.events, std::vector<FastEvent>{FastEvent::pointerMove(1.5f, -2.0f)});
  EXPECT_EQ(FastPacket::sessionTag(d), 0x01020304u);
  EXPECT_FALSE(FastPacket::sessionTag(ByteView(d).first(28)));
  d[0] = 2;
  EXPECT_FALSE(FastPacket::sessionTag(d));

  std::vector<FastEvent> forty;
  for (int i = 0; i < 40; ++i) forty.push_back(FastEvent::scroll(static_cast<float>(i), 0));
  Bytes a = FastPacket::seal(forty, 9, keys);
  EXPECT_EQ(a, FastPacket::seal(forty, 9, keys));
  EXPECT_EQ(a.size(), FastPacket::maximumLength);
  auto thirtyTwo = FastPacket::open(a, keys).events;
  EXPECT_EQ(thirtyTwo, std::vector<FastEvent>(forty.begin(), forty.begin() + 32));
  EXPECT_TRUE(FastPacket::open(FastPacket::seal({}, 1, keys), keys).events.empty());
}

// Flipping any bit anywhere is refused; header and tag region name the kind.
TEST(FastPacket, EveryFlippedBitIsRefused) {
  const Bytes d = FastPacket::seal({FastEvent::pointerMove(3, 4), FastEvent::scroll(-1, 1)}, 77, keys);
  for (std::size_t i = 0; i < d.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes bad = d;
      bad[i] ^= static_cast<std::uint8_t>(1 << bit);
      try {
        FastPacket::open(bad, keys);
        FAIL() << "accepted a flip at byte " << i << " bit " << bit;
      } catch (const FastPacket::PacketError& e) {
        // version and tag fields are checked in clear; everything else by the AEAD
        using enum FastPacket::PacketError::Case;
        EXPECT_EQ(e.errorCase(), i < 5 ? malformed : authenticationFailed) << "byte " << i;
      }
    }
  }
}

// One entry of the plaintext: its type, then dx and dy as big-endian IEEE floats.
Bytes entry(std::uint8_t type, float dx, float dy) {
  Bytes e{type};
  for (float f : {dx, dy}) {
    for (int s : {24, 16, 8, 0}) e.push_back(static_cast<std::uint8_t>(std::bit_cast<std::uint32_t>(f) >> s));
  }
  return e;
}

// Plaintexts sealed independently of FastPacket::seal (which must match that
// seal of what it writes), opened: unknown types are skipped, bytes after the
// last entry ignored; a count above 32 or a number that is not finite is a
// malformed datagram, a count beyond the entries a truncated one.
TEST(FastPacket, PlaintextRules) {
  const auto move = FastEvent::pointerMove(1.5f, -2.0f), scroll = FastEvent::scroll(0.25f, 8.0f);
  EXPECT_EQ(FastPacket::seal({move, scroll}, 0x0102030405060708, keys),
            testing::sealPlaintext(concat({Bytes{2}, entry(1, 1.5f, -2.0f), entry(2, 0.25f, 8.0f)}), 0x0102030405060708, keys));

  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  enum Outcome { opens, malformed, truncated };
  struct Case {
    const char* name;
    Bytes plaintext;
    Outcome outcome;
    std::vector<FastEvent> events = {};
  };
  const Case cases[] = {
      {"unknown type between moves", concat({Bytes{3}, entry(1, 1.5f, -2), entry(3, 9, 9), entry(2, 0.25f, 8)}), opens,
       {move, scroll}},
      {"bytes after the last entry", concat({Bytes{1}, entry(2, 0.25f, 8), Bytes{0xAA}}), opens, {scroll}},
      {"count 33", concat({Bytes{33}, entry(1, 0, 0)}), malformed},
      {"NaN dx", concat({Bytes{1}, entry(1, nan, 0)}), malformed},
      {"infinite dy", concat({Bytes{1}, entry(2, 0, -inf)}), malformed},
      {"NaN in an unknown type", concat({Bytes{1}, entry(7, nan, 0)}), malformed},
      {"count beyond the entries", concat({Bytes{2}, entry(1, 0, 0)}), truncated},
      {"no count", Bytes{}, truncated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes d = testing::sealPlaintext(c.plaintext, 1, keys);
    if (c.outcome == opens) EXPECT_EQ(FastPacket::open(d, keys).events, c.events);
    if (c.outcome == malformed) EXPECT_THROW(FastPacket::open(d, keys), FastPacket::PacketError);
    if (c.outcome == truncated) EXPECT_THROW(FastPacket::open(d, keys), WireError);
  }
}

TEST(FastChannelKeys, FromExporterBytes) {
  Bytes exported = testing::counting(1, 36);
  auto fromExporter = FastChannelKeys::fromExportedBytes(exported);
  ASSERT_TRUE(fromExporter);
  EXPECT_EQ(Bytes(fromExporter->key.begin(), fromExporter->key.end()), testing::counting(1, 32));
  EXPECT_EQ(fromExporter->sessionTag, 0x21222324u);
  EXPECT_FALSE(FastChannelKeys::fromExportedBytes(ByteView(exported).first(35)));
}

}  // namespace
}  // namespace tillerpad::kit
