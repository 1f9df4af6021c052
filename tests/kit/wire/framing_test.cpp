#include "kit/wire/byte_reader.h"
#include "kit/wire/framing.h"
#include "kit/wire/wire_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using testing::concat;
using testing::counting;

enum class Feed { copied, intoRoom };

// Feeds `stream` cut at `cuts` and collects every yielded payload. `intoRoom`
// writes each piece into room() as a reader on a connection does, as many
// times as the room it gets asks for.
std::vector<Bytes> decodeInChunks(const Bytes& stream, const std::vector<std::size_t>& cuts, Feed feed = Feed::copied) {
  FrameDecoder decoder;
  std::vector<Bytes> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    std::size_t end = i < cuts.size() ? cuts[i] : stream.size();
    ByteView piece = ByteView(stream).subspan(start, end - start);
    while (!piece.empty()) {
      std::size_t taken = piece.size();
      if (feed == Feed::intoRoom) {
        auto room = decoder.room(piece.size());
        EXPECT_FALSE(room.empty());
        taken = std::min(room.size(), piece.size());
        std::copy_n(piece.begin(), taken, room.begin());
        decoder.append(ByteView(room.data(), taken));
      } else {
        decoder.append(piece);
      }
      piece = piece.subspan(taken);
      while (auto p = decoder.next()) out.emplace_back(p->begin(), p->end());
    }
    start = end;
  }
  EXPECT_EQ(decoder.bufferedBytes(), 0u);
  return out;
}

TEST(Framing, FrameIsBigEndianLengthThenPayload) {
  EXPECT_EQ(Framing::frame(Bytes{0xAA, 0xBB, 0xCC}), (Bytes{0, 0, 0, 3, 0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(Framing::frame(Bytes{}), (Bytes{0, 0, 0, 0}));
}

// The largest payload is framed and read back; one byte more is refused on
// writing, and on reading as soon as the four length bytes are in, which stay.
TEST(Framing, SizeBoundaryIsInclusiveWhenWritingAndReading) {
  FrameDecoder decoder;
  decoder.append(Framing::frame(Bytes(Framing::maxPayloadLength, 0x5A)));
  auto payload = decoder.next();
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->size(), Framing::maxPayloadLength);
  auto errorOf = [](auto&& operation) -> std::optional<WireError> {
    try {
      operation();
    } catch (const WireError& e) {
      return e;
    }
    return std::nullopt;
  };
  EXPECT_EQ(errorOf([] { Framing::frame(Bytes(Framing::maxPayloadLength + 1)); }), WireError::frameTooLarge(33554433));
  for (auto [header, announced] : {std::pair{Bytes{0x02, 0x00, 0x00, 0x01}, 33554433ull},
                                   std::pair{Bytes{0xFF, 0xFF, 0xFF, 0xFF}, 4294967295ull}}) {
    FrameDecoder d;
    d.append(ByteView(header).first(3));
    EXPECT_FALSE(d.next());
    d.append(ByteView(header).subspan(3));
    EXPECT_EQ(errorOf([&] { d.next(); }), WireError::frameTooLarge(announced));
    EXPECT_EQ(d.bufferedBytes(), 4u);
  }
}

// Every way of cutting a stream into reads, at one or two places or byte by
// byte, copied in or read into the decoder's room, yields the same payloads
// and leaves nothing buffered.
TEST(Framing, FramesSplitAtEveryBytePosition) {
  const std::vector<Bytes> payloads = {counting(1, 5), {}, counting(9, 30), {3}};
  const Bytes stream = concat({Framing::frame(payloads[0]), Framing::frame(payloads[1]), Framing::frame(payloads[2]),
                               Framing::frame(payloads[3])});
  for (Feed feed : {Feed::copied, Feed::intoRoom}) {
    for (std::size_t first = 0; first <= stream.size(); ++first) {
      for (std::size_t second = first; second <= stream.size(); ++second) {
        ASSERT_EQ(decodeInChunks(stream, {first, second}, feed), payloads)
            << "cuts at " << first << ", " << second << (feed == Feed::intoRoom ? " into the room" : "");
      }
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(decodeInChunks(stream, everyByte, feed), payloads);
  }
}

// While a frame larger than a read is incomplete, the room ends where that
// frame ends, so a large frame never leaves the start of the next one to be
// moved; small frames and a frame still without its length get the whole
// room. Payloads yielded before stay intact until the next append or room.
TEST(Framing, RoomEndsAtTheEndOfALargeIncompleteFrame) {
  const Bytes big = counting(7, 100'000);
  const Bytes stream = concat({Framing::frame(counting(1, 10)), Framing::frame(big), Framing::frame(counting(2, 3))});
  struct Step {
    std::size_t asked, expectedRoom, written;
  };
  // 14 bytes (the small frame), 2 length bytes of the big one, then reads of
  // at most 65,536 bytes: the big frame's end caps the last of them.
  const std::vector<Step> steps = {{65'536, 65'536, 16}, {65'536, 65'536, 65'536 - 16},
                                   {65'536, 34'482, 34'482}, {65'536, 65'536, 7}};
  FrameDecoder decoder;
  std::vector<Bytes> out;
  std::size_t fed = 0;
  for (const auto& step : steps) {
    auto room = decoder.room(step.asked);
    ASSERT_EQ(room.size(), step.expectedRoom) << "after " << fed << " bytes";
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(fed), step.written, room.begin());
    decoder.append(ByteView(room.data(), step.written));
    fed += step.written;
    while (auto p = decoder.next()) out.emplace_back(p->begin(), p->end());
  }
  EXPECT_EQ(fed, stream.size());
  EXPECT_EQ(out, (std::vector<Bytes>{counting(1, 10), big, counting(2, 3)}));
  EXPECT_EQ(decoder.bufferedBytes(), 0u);
}

// Payloads handed over by share() keep their bytes while the decoder reads
// on (read as a connection does: into the room, 256 KiB at most), and after
// the decoder is gone; small payloads are never handed over.
TEST(Framing, HandedOverPayloadsKeepTheirBytesWhileReadingGoesOn) {
  const std::vector<std::size_t> sizes = {10, 1 << 20, 3, 70'000, 1 << 20, 200'000, 5, 65'535, 1 << 20};
  std::vector<Bytes> payloads;
  std::vector<Bytes> frames;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    payloads.push_back(counting(static_cast<std::uint8_t>(i * 37), sizes[i]));
    frames.push_back(Framing::frame(payloads.back()));
  }
  const Bytes stream = concat({frames[0], frames[1], frames[2], frames[3], frames[4], frames[5], frames[6], frames[7],
                               frames[8]});
  struct Kept {
    std::size_t index;
    ByteView bytes;
    std::shared_ptr<const void> keeper;
  };
  std::vector<Kept> kept;
  std::size_t yielded = 0;
  {
    FrameDecoder decoder;
    for (std::size_t fed = 0; fed < stream.size();) {
      auto room = decoder.room(262'144);
      std::size_t n = std::min(room.size(), stream.size() - fed);
      std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(fed), n, room.begin());
      decoder.append(ByteView(room.data(), n));
      fed += n;
      while (auto payload = decoder.next()) {
        if (auto keeper = decoder.share(*payload)) {
          EXPECT_GE(payload->size(), FrameDecoder::shareMinimum) << "frame " << yielded;
          kept.push_back({yielded, *payload, std::move(keeper)});
        }
        ++yielded;
      }
    }
  }
  ASSERT_EQ(yielded, sizes.size());
  EXPECT_GE(kept.size(), 2u);  // the 1 MiB frames after the first at least
  for (const auto& k : kept) {
    EXPECT_TRUE(std::ranges::equal(k.bytes, payloads[k.index])) << "frame " << k.index << " changed after it was handed over";
  }
}

// A read full of tiny frames costs time in proportion to its size: a decoder
// that moved the rest of its buffer for every frame would need hundreds of
// gigabytes of copying here and never finish within the limit, which is
// about a thousand times what the linear work takes.
TEST(Framing, AReadOfManyTinyFramesDecodesInLinearTime) {
  constexpr std::size_t frames = 2'000'000;
  Bytes stream(frames * 4, 0);  // every frame empty: only its length
  std::promise<std::size_t> decoded;
  auto result = decoded.get_future();
  std::thread([stream = std::move(stream), decoded = std::move(decoded)]() mutable {
    FrameDecoder decoder;
    decoder.append(stream);
    std::size_t n = 0;
    while (decoder.next()) ++n;
    decoded.set_value(n);
  }).detach();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(result.get(), frames);
}

TEST(ByteReader, ReadsBigEndianAndLeavesOffsetOnTruncation) {
  const Bytes data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  ByteReader r(data);
  EXPECT_EQ(r.readUInt8(), 0x01);
  EXPECT_EQ(r.readUInt16(), 0x0203);
  EXPECT_EQ(r.readUInt32(), 0x04050607u);
  EXPECT_EQ(r.readUInt64(), 0x08090A0B0C0D0E0Full);
  EXPECT_TRUE(r.atEnd());

  ByteReader one(ByteView(data).first(1));
  EXPECT_THROW(one.readUInt16(), WireError);
  EXPECT_EQ(one.offset(), 0u);
  EXPECT_THROW(one.readBytes(-1), WireError);
  EXPECT_THROW(one.readBytes(2), WireError);
  EXPECT_EQ(one.offset(), 0u);
  EXPECT_EQ(one.readBytes(1), Bytes{0x01});
  EXPECT_EQ(one.readBytes(0), Bytes{});
}

}  // namespace
}  // namespace tillerpad::kit
