#include <gtest/gtest.h>

#include "host/service/server.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::ClipboardContent;
using kit::Message;

class ClipboardSessionTest : public ::testing::Test, public test::Desktop {
 protected:
  void SetUp() override {
    model->input.updateLayout({{{"v", {9, false}}}});
    startListening();
    // What the injector records for Control+V, the paste.
    model->input.pressKey(kit::Key("v"), kit::Modifiers::command());
    ASSERT_FALSE((paste = pressed()).empty());
  }
  ClipboardSync& clipboard() { return *model->clipboard; }
  void subscribe(test::Phone& phone, bool enabled) {
    phone.channel->sendWithoutWaiting(Message::clipboardSubscription({enabled}));
    drain();
  }
  // The input since the last call.
  std::vector<platform::fake::RecordedInput> pressed() {
    EXPECT_TRUE(model->input.waitIdle(2s));
    return input.takeEvents();
  }
  std::vector<platform::fake::RecordedInput> paste;
};

// Written and, when asked, pasted 0.08 s later; what cannot be used is logged
// and dropped; with sharing off the phone is told.
TEST_F(ClipboardSessionTest, ContentFromThePhoneIsWrittenThenPastedWhenAsked) {
  struct Case {
    const char* name;
    ClipboardContent content;
    bool sharing, refuse, written, pasted;
  } cases[] = {
      {"text, pasted", ClipboardContent::fromText("hello", true), true, false, true, true},
      {"text, not pasted", ClipboardContent::fromText("hello", false), true, false, true, false},
      {"refused by the clipboard", ClipboardContent::fromText("hello", true), true, true, false, false},
      {"GIF", ClipboardContent::fromImage({kit::ImageFormat("gif"), kit::Blob{kit::Bytes{1}}}, true), true, false, false, false},
      {"sharing off", ClipboardContent::fromText("hello", true), false, false, false, false},
  };
  const std::string ignored = "Ignoring clipboard content that can't be used";
  auto phone = connect(addPhone("Ada"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    model->settings.setShareClipboard(c.sharing);
    pasteboard.refuseWrites(c.refuse);
    pasteboard.copyText("before");
    drain();
    auto lines = log->count(ignored);
    auto received = phone.inbox->messages.size();
    phone.channel->sendWithoutWaiting(Message::clipboard(c.content));
    drain();
    // The clipboard holds this case's write (it held "before").
    EXPECT_EQ(pasteboard.content() == pasteboard.writes().back(), c.written);
    advance(79ms);
    EXPECT_TRUE(pressed().empty());
    advance(1ms);
    EXPECT_EQ(pressed(), c.pasted ? paste : decltype(paste){});
    EXPECT_EQ(log->count(ignored), lines + (c.sharing && !c.written ? 1 : 0));
    ASSERT_EQ(phone.inbox->messages.size(), received + (c.sharing ? 0 : 1));
    if (!c.sharing) EXPECT_EQ(phone.inbox->messages.back(), Message::error({kit::ErrorCode::clipboardSharingDisabled}));
  }
}

// The watch follows the subscription and the setting; the end of a replaced
// session leaves its successor's watch alone.
TEST_F(ClipboardSessionTest, TheWatchFollowsTheSubscriptionTheSettingAndTheNewestSession) {
  auto ada = connect(addPhone("Ada"));
  model->settings.setShareClipboard(false);
  drain();
  subscribe(ada, true);  // asked while sharing is off: remembered, no watch
  EXPECT_TRUE(server().session()->wantsClipboard() && !clipboard().isWatching());
  model->settings.setShareClipboard(true);
  drain();
  auto first = server().session();
  EXPECT_TRUE(clipboard().isOwner(first.get()));
  model->settings.setShareClipboard(false);
  drain();
  EXPECT_FALSE(clipboard().isWatching());
  model->settings.setShareClipboard(true);
  drain();

  auto bob = connect(addPhone("Bob"));
  subscribe(bob, true);
  ada.channel->cancel();  // whatever is left of Ada's session ends now, after Bob subscribed
  drain();
  settle();
  EXPECT_TRUE(server().session() != first && clipboard().isOwner(server().session().get()));
  pasteboard.copyText("for Bob");
  advance(500ms);
  EXPECT_EQ(bob.inbox->messages.back(), Message::clipboard(ClipboardContent::fromText("for Bob", false)));
  EXPECT_FALSE(ada.inbox->messages.back().is(kit::MessageType::clipboard));
  subscribe(bob, false);
  EXPECT_FALSE(clipboard().isWatching());
  subscribe(bob, true);
  server().disconnect();  // Bob's own end stops it
  drain();
  EXPECT_FALSE(clipboard().isWatching());
}

}  // namespace
}  // namespace tillerpad::host
