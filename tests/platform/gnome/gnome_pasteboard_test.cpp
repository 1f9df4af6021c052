// The clipboard through Mutter's selection calls, against wl-copy and
// wl-paste on a headless Mutter.
#include "platform/gnome/gnome_pasteboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>

#include "tests/platform/gnome/mutter_fixture.h"

namespace tillerpad::platform::gnome::test {
namespace {

using Bytes = Pasteboard::Bytes;

// Not a whole PNG, but bytes no text decoder would leave alone.
const Bytes kPicture{0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0xff, 0x10, 0x80, 0x00, 0x01};

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

class GnomePasteboardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session_ = new MutterSession(); }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  void SetUp() override {
    if (!session_->whyNot.empty()) GTEST_SKIP() << session_->whyNot;
    if (tillerpad::test::runShell("command -v wl-copy >/dev/null && command -v wl-paste >/dev/null && echo yes") != "yes\n") {
      GTEST_SKIP() << "no wl-clipboard";
    }
    pasteboard_ = std::make_unique<GnomePasteboard>(session_->desktop, session_->logger("clipboard"));
    file_ = session_->mutter.runtimeDir() + "/clip";
  }

  std::vector<std::string> types() {
    std::promise<std::vector<std::string>> p;
    pasteboard_->types([&](std::vector<std::string> t) { p.set_value(std::move(t)); });
    auto f = p.get_future();
    return f.wait_for(10s) == std::future_status::ready ? f.get() : std::vector<std::string>{"(no answer)"};
  }
  Pasteboard::Data data(const std::string& type, std::size_t limit) {
    std::promise<Pasteboard::Data> p;
    pasteboard_->data(type, limit, [&](Pasteboard::Data d) { p.set_value(std::move(d)); });
    auto f = p.get_future();
    return f.wait_for(10s) == std::future_status::ready ? f.get() : Pasteboard::Data::none();
  }
  std::optional<std::int64_t> write(std::vector<std::pair<std::string, Bytes>> items) {
    std::promise<std::optional<std::int64_t>> p;
    pasteboard_->write(std::move(items), [&](std::optional<std::int64_t> c) { p.set_value(c); });
    auto f = p.get_future();
    return f.wait_for(10s) == std::future_status::ready ? f.get() : std::nullopt;
  }
  void toFile(const Bytes& b) {
    std::ofstream out(file_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  Bytes fromFile() {
    std::ifstream in(file_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  static MutterSession* session_;
  std::unique_ptr<GnomePasteboard> pasteboard_;
  std::string file_;
};

MutterSession* GnomePasteboardTest::session_ = nullptr;

// wl-copy gets no keyboard focus from a headless Mutter, so a GTK window
// of ours is the other client here.
TEST_F(GnomePasteboardTest, WhatAnotherClientCopiesIsCountedTypedAndRead) {
  if (!haveGtk()) GTEST_SKIP() << "no python3-gi with GTK 3";
  Recorder window(session_->mutter);
  ASSERT_TRUE(window.ready());
  for (const std::string content : {"hello wörld ✓", "a second copy", "a second copy"}) {
    auto before = pasteboard_->changeCount();
    window.send("copy " + content);
    ASSERT_TRUE(window.untilLine("copied"));
    for (int i = 0; i < 150 && pasteboard_->changeCount() == before; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_NE(before, pasteboard_->changeCount()) << "copying the same again counts too: " << content;
    auto offered = types();
    EXPECT_NE(offered.end(), std::ranges::find(offered, Pasteboard::plainTextType)) << content;
    // Reads back to back: Mutter takes one at a time and, on a busy machine,
    // is still finishing one a moment after its end.
    std::promise<void> all;
    std::vector<Pasteboard::Data> read;
    for (int round = 0; round < 4; ++round) {
      pasteboard_->data(Pasteboard::plainTextType, 1 << 20, [&](Pasteboard::Data d) {
        read.push_back(std::move(d));
        if (read.size() == 4) all.set_value();
      });
    }
    ASSERT_EQ(std::future_status::ready, all.get_future().wait_for(15s));
    EXPECT_EQ(std::vector<Pasteboard::Data>(4, Pasteboard::Data::of(bytes(content))), read) << content;
    EXPECT_EQ(Pasteboard::Data::overLimit(), data(Pasteboard::plainTextType, 3)) << content;
    EXPECT_EQ(Pasteboard::Data::none(), data(Pasteboard::pngType, 1 << 20)) << content;
  }
}

TEST_F(GnomePasteboardTest, WhatWeWriteOtherClientsPaste) {
  struct Case {
    std::string hostType;
    Bytes content;
    const char* pasteType;
  };
  const Case cases[] = {
      {Pasteboard::plainTextType, bytes("from the phone ✓"), "text/plain"},
      {Pasteboard::pngType, kPicture, "image/png"},
  };
  for (const auto& c : cases) {
    auto count = write({{c.hostType, c.content}});
    ASSERT_TRUE(count) << c.pasteType;
    EXPECT_EQ(*count, pasteboard_->changeCount());
    EXPECT_EQ(std::vector<std::string>{c.hostType}, types());
    EXPECT_EQ(Pasteboard::Data::of(c.content), data(c.hostType, 1 << 20));
    // wl-paste reads only once Mutter's seat has the keyboard the session
    // brings, which a fresh session may not have yet: a few tries.
    std::string said;
    std::remove(file_.c_str());
    for (int attempt = 0; attempt < 5 && fromFile() != c.content; ++attempt) {
      said = tillerpad::test::runShell(std::string("wl-paste --no-newline --type ") + c.pasteType + " 2>&1 > " + file_, 10s);
    }
    EXPECT_EQ(c.content, fromFile()) << c.pasteType << ": " << said;
  }
}

TEST(GnomeClipboardTypes, MimeTypesMeetHostTypes) {
  EXPECT_EQ((std::vector<std::string>{Pasteboard::plainTextType, Pasteboard::pngType, "application/x-secret"}),
            hostTypesForMimeTypes({"text/plain", "TARGETS", "UTF8_STRING", "image/png", "application/x-secret", "TEXT"}));
  auto reading = mimeTypesForReading(Pasteboard::plainTextType);
  ASSERT_FALSE(reading.empty());
  EXPECT_EQ("STRING", reading.back()) << "Latin-1 is the last resort";
  EXPECT_NE(reading.end(), std::ranges::find(reading, "text/plain"));
  auto offers = offersForWriting(Pasteboard::plainTextType, bytes("é"));
  auto latin1 = std::ranges::find_if(offers, [](const auto& o) { return o.first == "STRING"; });
  ASSERT_NE(offers.end(), latin1);
  EXPECT_EQ(Bytes{0xe9}, latin1->second);
  auto wide = offersForWriting(Pasteboard::plainTextType, bytes("✓"));
  EXPECT_EQ(wide.end(), std::ranges::find_if(wide, [](const auto& o) { return o.first == "STRING"; }));
  EXPECT_EQ((std::vector<std::pair<std::string, Bytes>>{{"image/png", kPicture}}), offersForWriting(Pasteboard::pngType, kPicture));

  // Mutter wraps the list in a tuple; the interface describes it bare.
  for (const char* shape : {"{'mime-types': <(['a/b', 'c'],)>}", "{'mime-types': <['a/b', 'c']>}"}) {
    GVariant* options = g_variant_ref_sink(g_variant_parse(G_VARIANT_TYPE("a{sv}"), shape, nullptr, nullptr, nullptr));
    ASSERT_TRUE(options) << shape;
    EXPECT_EQ((std::vector<std::string>{"a/b", "c"}), selectionMimeTypes(options)) << shape;
    g_variant_unref(options);
  }
}

}  // namespace
}  // namespace tillerpad::platform::gnome::test
