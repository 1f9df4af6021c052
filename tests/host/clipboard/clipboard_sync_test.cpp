#include "host/clipboard/clipboard_sync.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/clipboard/image_conversion.h"
#include "platform/fake/fake_pasteboard.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using platform::Pasteboard;
using Bytes = Pasteboard::Bytes;
using Texts = std::vector<std::string>;
constexpr const char *kPlain = Pasteboard::plainTextType, *kPng = Pasteboard::pngType, *kTiff = Pasteboard::tiffType;
constexpr const char* kTooLarge = "Clipboard content too large to share";
constexpr std::size_t kLimit = 64 << 10;  // the sync's size limit here

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A w x h image as `type`; noise compresses badly, a flat colour well.
Bytes image(const char* type, int w, int h, bool noise = false) {
  g_autoptr(GdkPixbuf) p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, w, h);
  gdk_pixbuf_fill(p, 0x28292aff);
  for (guint i = 0; noise && i < gdk_pixbuf_get_byte_length(p); ++i) gdk_pixbuf_get_pixels(p)[i] = guchar(std::rand());
  g_autofree gchar* buffer = nullptr;
  gsize size = 0;
  gdk_pixbuf_save_to_buffer(p, &buffer, &size, type, nullptr, nullptr);
  return Bytes(buffer, buffer + size);
}

class ClipboardSyncTest : public ::testing::Test {
 protected:
  // What a phone gets, into `sent` or `into`: the text, or the image's format and size.
  void watch(const kit::Uuid& device, const std::shared_ptr<int>& by, Texts* into = nullptr) {
    sync->watch(device, by, [this, into](kit::ClipboardContent c) {
      auto [w, h] = c.text ? std::pair{0, 0} : imageSize(c.image->data.data.toBytes()).value_or(std::pair{0, 0});
      auto shown = c.text ? *c.text : c.image->format.rawValue + " " + std::to_string(w) + "x" + std::to_string(h);
      (into ? *into : sent).push_back(shown);
    });
  }
  void advance(kit::Clock::Duration by) {
    clock->advance(by);
    kit::testing::drain(io);
  }
  // Until nothing waits for the clipboard or the converter (other threads).
  void settle() {
    auto end = std::chrono::steady_clock::now() + 10s;
    for (; !sync->isIdle() && std::chrono::steady_clock::now() < end; io.restart()) io.run_for(2ms);
    ASSERT_TRUE(sync->isIdle());
  }

  asio::io_context io;
  std::shared_ptr<kit::ManualClock> clock = std::make_shared<kit::ManualClock>();
  platform::fake::FakePasteboard board;
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  std::shared_ptr<ClipboardSync> sync =
      ClipboardSync::create({io.get_executor(), clock, board, kit::Logger(log, "app", "clipboard"), kLimit});
  Texts sent, heard;  // by `phone`, by `otherPhone`
  std::shared_ptr<int> owner = std::make_shared<int>(1), second = std::make_shared<int>(2);
  kit::Uuid phone = kit::Uuid::random(), otherPhone = kit::Uuid::random();
};

// Each copy goes within one poll as the policy, the formats and the limit
// say. Of the noise, the 160 px TIFF's PNG does not fit but its JPEG does;
// the 400 px one fits in neither.
TEST_F(ClipboardSyncTest, EachCopyGoesWithinOnePollAsThePolicyFormatsAndLimitSay) {
  const Bytes png = image("png", 8, 8), tiff = image("tiff", 40, 30), secret = bytesOf("secret");
  struct Case {
    const char* name;
    platform::fake::FakePasteboard::Item item;
    std::string sent;  // empty: nothing
    bool tooLarge = false;
  } cases[] = {
      {"text", {{kPlain, bytesOf("one")}}, "one"},
      {"the same text again", {{kPlain, bytesOf("one")}}, "one"},
      {"a password manager's secret", {{kPlain, secret}, {"x-kde-passwordManagerHint", secret}}, ""},
      {"copied file", {{Pasteboard::fileURLType, bytesOf("file:///a")}, {kPng, png}}, ""},
      {"text of exactly the limit", {{kPlain, Bytes(kLimit, 'a')}}, std::string(kLimit, 'a')},
      {"text over the limit", {{kPlain, Bytes(kLimit + 1, 'a')}}, "", true},
      {"PNG over the limit", {{kPng, Bytes(kLimit + 1, 1)}}, "", true},
      {"PNG over the limit, TIFF converted", {{kPng, Bytes(kLimit + 1, 1)}, {kTiff, tiff}}, "png 40x30"},
      {"PNG before TIFF", {{kTiff, tiff}, {kPng, png}}, "png 8x8"},
      {"JPEG as it is", {{Pasteboard::jpegType, image("jpeg", 8, 8)}}, "jpeg 8x8"},
      {"unreadable PNG, then BMP", {{kPng, {}}, {ClipboardSync::bmpType, image("bmp", 20, 10)}}, "png 20x10"},
      {"TIFF whose PNG is too large", {{kTiff, image("tiff", 160, 160, true)}}, "jpeg 160x160"},
      {"TIFF too large either way", {{kTiff, image("tiff", 400, 400, true)}}, "", true},
  };
  watch(phone, owner);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sent.clear();
    auto lines = log->count(kTooLarge);
    auto reads = board.reads().size();
    board.copy(c.item);
    advance(499ms);
    EXPECT_TRUE(sent.empty());
    advance(1ms);
    settle();
    EXPECT_EQ(sent, c.sent.empty() ? Texts{} : Texts{c.sent});
    EXPECT_EQ(log->count(kTooLarge), lines + (c.tooLarge ? 1 : 0));
    // What may not go is not even read, unless it takes reading to know.
    if (c.sent.empty() && !c.tooLarge) EXPECT_EQ(board.reads().size(), reads);
  }
}

// A JPEG goes also as PNG, which many applications paste; nothing written
// comes back to the phone.
TEST_F(ClipboardSyncTest, WritesOfferWhatApplicationsPasteAndAreNotSentBack) {
  watch(phone, owner);
  sync->write(kit::ClipboardContent::fromImage({kit::ImageFormat::jpeg, {image("jpeg", 6, 4)}}, false), [](bool) {});
  settle();
  advance(500ms);
  auto written = board.content();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ((Texts{written[0].first, written[1].first}), (Texts{Pasteboard::jpegType, kPng}));
  EXPECT_EQ(imageSize(written[1].second), (std::pair{6, 4}));
  // While a write waits for the clipboard its count has moved already: the
  // polls meanwhile skip it, and go on afterwards.
  board.hold();
  sync->write(kit::ClipboardContent::fromText("slow", false), [](bool) {});
  advance(500ms);
  board.release();
  board.copyText("from the desktop");
  advance(500ms);
  EXPECT_EQ(sent, Texts{"from the desktop"});
}

TEST_F(ClipboardSyncTest, WatchesKeepTheirLoopOrReplaceItAndAwayPhonesCatchUp) {
  watch(phone, owner);
  advance(300ms);
  watch(phone, owner);  // again: the running loop stays, and its timing
  board.copyText("a");
  advance(200ms);
  // Another owner replaces it; the phone is away and hears nothing.
  watch(otherPhone, second, &heard);
  board.copyText("b");
  advance(500ms);
  EXPECT_EQ(heard, Texts{"b"});  // what was there before it first came is not sent
  // Back, the phone gets what it missed, once; away again without a change, nothing.
  watch(phone, owner);
  advance(500ms);
  watch(otherPhone, second, &heard);
  watch(phone, owner);
  advance(500ms);
  // Content replaced while its types were asked for is dropped; the next poll takes the new.
  board.hold();
  board.copyText("old");
  advance(500ms);
  board.copyText("new");
  board.release();
  advance(500ms);
  advance(500ms);
  EXPECT_EQ(sent, (Texts{"a", "b", "new"}));

  const void* gone = owner.get();
  owner.reset();
  EXPECT_FALSE(sync->isOwner(gone));  // an owner that is gone owns nothing
  sync->stop();
  EXPECT_EQ(clock->pendingTimers(), 0u);
}

}  // namespace
}  // namespace tillerpad::host
