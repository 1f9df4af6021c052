#include "host/clipboard/clipboard_sync.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <random>

#include "host/clipboard/image_conversion.h"
#include "platform/fake/fake_pasteboard.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::ClipboardContent;
using platform::Pasteboard;
using Bytes = Pasteboard::Bytes;
using Item = platform::fake::FakePasteboard::Item;

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An image of `w` x `h` in `type` ("png", "jpeg", "tiff", "bmp"); noise
// compresses badly, a flat colour well.
Bytes image(const char* type, int w, int h, bool noise) {
  GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, w, h);
  std::mt19937 random(7);
  for (int y = 0; y < h; ++y) {
    guchar* row = gdk_pixbuf_get_pixels(p) + y * gdk_pixbuf_get_rowstride(p);
    for (int x = 0; x < 3 * w; ++x) row[x] = noise ? static_cast<guchar>(random()) : static_cast<guchar>(40 + x % 3);
  }
  gchar* buffer = nullptr;
  gsize size = 0;
  bool ok = gdk_pixbuf_save_to_buffer(p, &buffer, &size, type, nullptr, nullptr);
  g_object_unref(p);
  if (!ok) return {};
  Bytes out(buffer, buffer + size);
  g_free(buffer);
  return out;
}

class ClipboardSyncTest : public ::testing::Test {
 protected:
  std::shared_ptr<ClipboardSync> make(std::size_t maxBytes = ClipboardContent::maxBytes) {
    return ClipboardSync::create({io.get_executor(), clock, board, kit::Logger(log, "app", "clipboard"), maxBytes});
  }
  void watch(const kit::Uuid& device, const std::shared_ptr<int>& by) {
    sync->watch(device, by, [this](ClipboardContent c) { sent.push_back(std::move(c)); });
  }
  void advance(kit::Clock::Duration by) {
    clock->advance(by);
    kit::testing::drain(io);
  }
  bool runUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      io.restart();
      io.run_for(2ms);
    }
    return done();
  }
  std::vector<std::string> sentTexts() const {
    std::vector<std::string> out;
    for (const auto& c : sent) out.push_back(c.text.value_or("<image>"));
    return out;
  }
  bool write(ClipboardContent content) {
    std::optional<bool> result;
    sync->write(std::move(content), [&](bool ok) { result = ok; });
    EXPECT_TRUE(runUntil([&] { return result.has_value(); }));
    return result.value_or(false);
  }

  asio::io_context io;
  std::shared_ptr<kit::ManualClock> clock = std::make_shared<kit::ManualClock>();
  platform::fake::FakePasteboard board;
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  std::shared_ptr<ClipboardSync> sync = make();
  std::vector<ClipboardContent> sent;
  std::shared_ptr<int> owner = std::make_shared<int>(1);
  kit::Uuid phone = kit::Uuid::random(), otherPhone = kit::Uuid::random();
};

TEST_F(ClipboardSyncTest, EachCopyReachesTheWatchedPhoneWithinOnePoll) {
  board.copyText("before");  // there before the phone was ever seen: not sent
  watch(phone, owner);
  advance(500ms);
  EXPECT_TRUE(sent.empty());

  board.copyText("one");
  advance(499ms);
  EXPECT_TRUE(sent.empty());
  advance(1ms);
  board.copyText("one");  // the same text again is a change of its own
  advance(500ms);
  board.copy({{Pasteboard::plainTextType, bytesOf("secret")}, {"x-kde-passwordManagerHint", bytesOf("secret")}});
  advance(500ms);
  board.copyText("two");
  advance(500ms);
  advance(500ms);  // no change, nothing more
  EXPECT_EQ(sentTexts(), (std::vector<std::string>{"one", "one", "two"}));
  // The marked secret was never even read.
  for (const auto& type : board.reads()) EXPECT_EQ(type, Pasteboard::plainTextType);
  EXPECT_EQ(board.reads().size(), 3u);
  EXPECT_EQ(sync->seenBy(phone), board.changeCount());
}

TEST_F(ClipboardSyncTest, ContentGoesAsThePolicyAndTheFormatsSay) {
  const Bytes png = image("png", 8, 8, false), jpeg = image("jpeg", 8, 8, false);
  const Bytes smallTiff = image("tiff", 40, 30, false), bmp = image("bmp", 20, 10, false);
  // With a 64 KiB limit: the noise's PNG does not fit, its JPEG does; the
  // larger noise fits in neither.
  const Bytes noisyTiff = image("tiff", 160, 160, true), noisierTiff = image("tiff", 400, 400, true);
  ASSERT_FALSE(smallTiff.empty());
  ASSERT_FALSE(bmp.empty());
  const std::size_t limit = 64 << 10;

  struct Case {
    const char* name;
    Item item;
    std::optional<std::string> format;  // "text", "png", "jpeg"; absent: nothing sent
    std::optional<std::pair<int, int>> size = std::nullopt;
    bool tooLarge = false;
  };
  const Case cases[] = {
      {"text", {{Pasteboard::plainTextType, bytesOf("hello")}}, "text"},
      {"PNG before TIFF", {{Pasteboard::tiffType, smallTiff}, {Pasteboard::pngType, png}}, "png", {{8, 8}}},
      {"JPEG as it is", {{Pasteboard::jpegType, jpeg}}, "jpeg", {{8, 8}}},
      {"address beside an image", {{Pasteboard::plainTextType, bytesOf("https://a.org/x")}, {Pasteboard::pngType, png}},
       "png"},
      {"TIFF only, converted", {{Pasteboard::tiffType, smallTiff}}, "png", {{40, 30}}},
      {"unreadable PNG, then BMP", {{Pasteboard::pngType, {}}, {ClipboardSync::bmpType, bmp}}, "png", {{20, 10}}},
      {"TIFF whose PNG is too large", {{Pasteboard::tiffType, noisyTiff}}, "jpeg", {{160, 160}}},
      {"TIFF too large either way", {{Pasteboard::tiffType, noisierTiff}}, std::nullopt, std::nullopt, true},
      {"TIFF that does not decode", {{Pasteboard::tiffType, bytesOf("II* not really")}}, std::nullopt},
      {"text over the limit", {{Pasteboard::plainTextType, Bytes(limit + 1, 'a')}}, std::nullopt, std::nullopt, true},
      {"PNG over the limit", {{Pasteboard::pngType, Bytes(limit + 1, 1)}}, std::nullopt, std::nullopt, true},
      {"text of exactly the limit", {{Pasteboard::plainTextType, Bytes(limit, 'a')}}, "text"},
      {"copied file", {{Pasteboard::fileURLType, bytesOf("file:///a")}, {Pasteboard::pngType, png}}, std::nullopt},
  };
  sync = make(limit);
  watch(phone, owner);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sent.clear();
    auto tooLarge = log->count("Clipboard content too large to share");
    board.copy(c.item);
    advance(500ms);
    // Converted images come back from the worker.
    ASSERT_TRUE(runUntil([&] { return sync->isIdle(); }));
    advance(500ms);
    if (!c.format) {
      EXPECT_TRUE(sent.empty());
    } else {
      ASSERT_EQ(sent.size(), 1u);
      const auto& content = sent[0];
      EXPECT_TRUE(content.isValid());
      EXPECT_FALSE(content.pasteAfterwards);
      if (*c.format == "text") {
        EXPECT_EQ(content.text, std::string(c.item[0].second.begin(), c.item[0].second.end()));
      } else {
        ASSERT_TRUE(content.image);
        EXPECT_EQ(content.image->format.rawValue, *c.format);
        EXPECT_LE(content.image->data.data.size(), limit);
        if (c.size) EXPECT_EQ(imageSize(content.image->data.data), c.size);
      }
    }
    EXPECT_EQ(log->count("Clipboard content too large to share"), tooLarge + (c.tooLarge ? 1 : 0));
  }
}

TEST_F(ClipboardSyncTest, WhatThePhoneWroteIsNotSentBack) {
  watch(phone, owner);
  EXPECT_TRUE(write(ClipboardContent::fromText("from the phone", false)));
  advance(500ms);
  // While a write waits for the clipboard its count has moved already.
  board.hold();
  std::optional<bool> written;
  sync->write(ClipboardContent::fromText("slow", false), [&](bool ok) { written = ok; });
  advance(500ms);
  advance(500ms);
  board.release();
  ASSERT_TRUE(runUntil([&] { return written.has_value(); }));
  advance(500ms);
  EXPECT_TRUE(sent.empty());
  board.copyText("from the desktop");
  advance(500ms);
  EXPECT_EQ(sentTexts(), std::vector<std::string>{"from the desktop"});
}

TEST_F(ClipboardSyncTest, WritesOfferWhatApplicationsPaste) {
  const Bytes png = image("png", 6, 4, false), jpeg = image("jpeg", 6, 4, false);
  struct Case {
    const char* name;
    ClipboardContent content;
    bool refuse;
    bool expected;
    std::vector<std::string> types;  // of the write; none when nothing is written
  };
  const Case cases[] = {
      {"text", ClipboardContent::fromText("hi", true), false, true, {Pasteboard::plainTextType}},
      {"PNG", ClipboardContent::fromImage({kit::ImageFormat::png, {png}}, false), false, true, {Pasteboard::pngType}},
      {"JPEG, also as PNG", ClipboardContent::fromImage({kit::ImageFormat::jpeg, {jpeg}}, false), false, true,
       {Pasteboard::jpegType, Pasteboard::pngType}},
      {"JPEG that does not decode", ClipboardContent::fromImage({kit::ImageFormat::jpeg, {bytesOf("nope")}}, false),
       false, true, {Pasteboard::jpegType}},
      {"another format", ClipboardContent::fromImage({kit::ImageFormat("gif"), {png}}, false), false, false, {}},
      {"refused", ClipboardContent::fromText("hi", false), true, false, {Pasteboard::plainTextType}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    board.refuseWrites(c.refuse);
    auto writes = board.writes().size();
    auto count = board.changeCount();
    EXPECT_EQ(write(c.content), c.expected);
    if (c.types.empty()) {
      EXPECT_EQ(board.writes().size(), writes);
      continue;
    }
    const auto all = board.writes();
    ASSERT_EQ(all.size(), writes + 1);
    std::vector<std::string> types;
    for (const auto& [type, bytes] : all.back()) types.push_back(type);
    EXPECT_EQ(types, c.types);
    if (c.types.size() == 2) EXPECT_EQ(imageSize(all.back()[1].second), (std::pair{6, 4}));
    EXPECT_EQ(sync->lastChangeCount(), c.expected ? count + 1 : count);
  }
}

TEST_F(ClipboardSyncTest, APhoneThatWasAwayGetsWhatItMissedOnce) {
  struct Case {
    const char* name;
    bool changedWhileAway;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"changed while away", true, {"while away"}},
      {"no change", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    watch(phone, owner);
    board.copyText("seen");
    advance(500ms);
    sync->stop();
    // Another phone's watch in between does not count as this one seeing it.
    watch(otherPhone, owner);
    if (c.changedWhileAway) board.copyText("while away");
    advance(500ms);
    sync->stop();
    sent.clear();
    watch(phone, owner);
    kit::testing::drain(io);
    advance(500ms);
    advance(500ms);
    EXPECT_EQ(sentTexts(), c.expected);
    sync->stop();
  }
}

TEST_F(ClipboardSyncTest, ContentReplacedWhileReadIsDropped) {
  watch(phone, owner);
  board.hold();
  board.copyText("old");
  advance(500ms);  // the sync asks for the types of "old"
  ASSERT_EQ(board.heldAnswers(), 1u);
  board.copyText("new");
  board.release();
  kit::testing::drain(io);
  EXPECT_TRUE(sent.empty());
  advance(500ms);  // the next poll takes "new", once
  advance(500ms);
  EXPECT_EQ(sentTexts(), std::vector<std::string>{"new"});
}

TEST_F(ClipboardSyncTest, OwnersAndTheirLoop) {
  watch(phone, owner);
  advance(300ms);
  // The same owner and phone again: the running loop stays (and its timing).
  watch(phone, owner);
  board.copyText("a");
  EXPECT_EQ(clock->pendingTimers(), 1u);
  advance(200ms);
  EXPECT_EQ(sentTexts(), std::vector<std::string>{"a"});

  // Another owner replaces it; the first no longer owns nor hears anything.
  auto second = std::make_shared<int>(2);
  std::vector<std::string> heardBySecond;
  sync->watch(otherPhone, second, [&](ClipboardContent c) { heardBySecond.push_back(*c.text); });
  EXPECT_FALSE(sync->isOwner(owner.get()));
  EXPECT_TRUE(sync->isOwner(second.get()));
  EXPECT_EQ(clock->pendingTimers(), 1u);
  board.copyText("b");
  advance(500ms);
  EXPECT_EQ(sentTexts(), std::vector<std::string>{"a"});
  EXPECT_EQ(heardBySecond, std::vector<std::string>{"b"});

  // An owner that is gone owns nothing; stop ends the loop.
  const void* gone = second.get();
  second.reset();
  EXPECT_FALSE(sync->isOwner(gone));
  sync->stop();
  EXPECT_FALSE(sync->isWatching());
  EXPECT_EQ(clock->pendingTimers(), 0u);
  board.copyText("c");
  advance(500ms);
  EXPECT_EQ(heardBySecond, std::vector<std::string>{"b"});
}

}  // namespace
}  // namespace tillerpad::host
