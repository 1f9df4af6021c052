#include <gtest/gtest.h>

#include "host/service/server.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::ClipboardContent;
using kit::Message;
using kit::MessageType;
using platform::Pasteboard;

class ClipboardSessionTest : public ::testing::Test, public test::Desktop {
 protected:
  ClipboardSync& clipboard() { return *model->clipboard; }
  void subscribe(test::Phone& phone, bool enabled) {
    phone.channel->sendWithoutWaiting(Message::clipboardSubscription({enabled}));
    drain();
  }
  void send(test::Phone& phone, ClipboardContent content) {
    phone.channel->sendWithoutWaiting(Message::clipboard(std::move(content)));
    drain();
  }
  static constexpr std::uint16_t vKey = 9, commandKey = 55;  // Control on Linux
  void SetUp() override { model->input.updateLayout({{{"v", {vKey, false}}}}); }
  // Pastes so far: V pressed while command is held.
  std::size_t pastes() {
    EXPECT_TRUE(model->input.waitIdle(2s));
    std::size_t n = 0;
    bool command = false;
    for (const auto& e : input.events()) {
      auto* key = std::get_if<platform::KeyEvent>(&e);
      if (!key) continue;
      if (key->keyCode == commandKey) command = key->down;
      if (key->keyCode == vKey && key->down && command) ++n;
    }
    return n;
  }
  std::vector<std::string> textsReceived(const test::Phone& phone) {
    std::vector<std::string> out;
    for (const auto& m : phone.inbox->messages) {
      if (m.is(MessageType::clipboard)) out.push_back(m.get<MessageType::clipboard>().text.value_or("<image>"));
    }
    return out;
  }
};

TEST_F(ClipboardSessionTest, ContentFromThePhoneIsWrittenThenPastedWhenAsked) {
  struct Case {
    const char* name;
    ClipboardContent content;
    bool sharing;
    bool refuse;
    bool written;
    bool pasted;
    std::optional<Message> reply;
  };
  const auto ignored = std::string("Ignoring clipboard content that can't be used");
  const Case cases[] = {
      {"text, pasted", ClipboardContent::fromText("hello", true), true, false, true, true, std::nullopt},
      {"text, not pasted", ClipboardContent::fromText("hello", false), true, false, true, false, std::nullopt},
      {"refused by the clipboard", ClipboardContent::fromText("hello", true), true, true, false, false, std::nullopt},
      {"empty text", ClipboardContent::fromText("", true), true, false, false, false, std::nullopt},
      {"unknown image format", ClipboardContent::fromImage({kit::ImageFormat("gif"), {{1, 2}}}, true), true, false,
       false, false, std::nullopt},
      {"sharing off", ClipboardContent::fromText("hello", true), false, false, false, false,
       Message::error({kit::ErrorCode::clipboardSharingDisabled, std::nullopt})},
  };
  startListening();
  auto phone = connect(addPhone("Ada"));
  ASSERT_TRUE(server().session());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    model->settings.setShareClipboard(c.sharing);
    pasteboard.refuseWrites(c.refuse);
    drain();
    auto writes = pasteboard.writes().size();
    auto before = pastes();
    auto ignoredBefore = log->count(ignored);
    auto received = phone.inbox->messages.size();
    send(phone, c.content);
    ASSERT_TRUE(runUntil([&] { return clipboard().isIdle(); }));
    EXPECT_EQ(pasteboard.content().size() == 1 && pasteboard.writes().size() == writes + 1 && !c.refuse, c.written);
    // The paste follows the write, 0.08 s later.
    advance(79ms);
    EXPECT_EQ(pastes(), before);
    advance(1ms);
    EXPECT_EQ(pastes(), before + (c.pasted ? 1 : 0));
    const bool unusable = c.sharing && !c.written;
    EXPECT_EQ(log->count(ignored), ignoredBefore + (unusable ? 1 : 0));
    if (c.reply) {
      ASSERT_EQ(phone.inbox->messages.size(), received + 1);
      EXPECT_EQ(phone.inbox->messages.back(), *c.reply);
    } else {
      EXPECT_EQ(phone.inbox->messages.size(), received);
    }
  }
}

TEST_F(ClipboardSessionTest, TheSubscriptionAndTheSettingStartAndStopTheWatch) {
  startListening();
  auto phone = connect(addPhone("Ada"));
  model->settings.setShareClipboard(false);
  drain();
  auto received = phone.inbox->messages.size();
  // Asked while sharing is off: remembered, no watch, no error.
  subscribe(phone, true);
  EXPECT_TRUE(server().session()->wantsClipboard());
  EXPECT_FALSE(clipboard().isWatching());
  EXPECT_EQ(phone.inbox->messages.size(), received);

  model->settings.setShareClipboard(true);
  drain();
  EXPECT_TRUE(clipboard().isOwner(server().session().get()));
  EXPECT_EQ(phone.inbox->messages.back(), Message::sharingSettings({true, true}));
  pasteboard.copyText("copied");
  advance(500ms);
  EXPECT_EQ(textsReceived(phone), std::vector<std::string>{"copied"});

  model->settings.setShareClipboard(false);
  drain();
  EXPECT_FALSE(clipboard().isWatching());
  EXPECT_EQ(phone.inbox->messages.back(), Message::sharingSettings({false, true}));
  model->settings.setShareClipboard(true);
  drain();
  EXPECT_TRUE(clipboard().isWatching());
  subscribe(phone, false);
  EXPECT_FALSE(clipboard().isWatching());
  pasteboard.copyText("not sent");
  advance(500ms);
  EXPECT_EQ(textsReceived(phone), std::vector<std::string>{"copied"});
}

TEST_F(ClipboardSessionTest, AReplacedSessionLeavesTheNewOwnersWatch) {
  startListening();
  auto ada = connect(addPhone("Ada"));
  subscribe(ada, true);
  auto first = server().session();
  ASSERT_TRUE(clipboard().isOwner(first.get()));

  auto bob = connect(addPhone("Bob"));
  subscribe(bob, true);
  // Whatever is left of Ada's session ends now, after Bob subscribed.
  ada.channel->cancel();
  drain();
  settle();
  auto second = server().session();
  ASSERT_NE(first, second);
  EXPECT_TRUE(clipboard().isOwner(second.get()));
  EXPECT_EQ(clipboard().watchedDevice(), second->device().id);
  pasteboard.copyText("for Bob");
  advance(500ms);
  EXPECT_EQ(textsReceived(bob), std::vector<std::string>{"for Bob"});
  EXPECT_TRUE(textsReceived(ada).empty());

  // Bob's own end stops it.
  server().disconnect();
  drain();
  EXPECT_FALSE(clipboard().isWatching());
}

}  // namespace
}  // namespace tillerpad::host
