#include <gtest/gtest.h>

#include "host/service/server.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::MacApp;
using kit::Message;
using kit::MessageType;

class AppsSessionTest : public ::testing::Test, public test::Desktop {
 protected:
  void SetUp() override {
    appWorkspace.setFolders({"/apps"});
    appWorkspace.addFile("/apps", "x.desktop", "x", "Xterm");
    appWorkspace.setIcons({"x"});
    startListening();
    phone = connect(addPhone("Ada"));
    ASSERT_TRUE(phone.welcomed());
  }
  // Sends `m`, then a ping, and returns once its pong arrived and the
  // catalog's work for `m` is done and delivered (bounded).
  void sendAndSettle(const Message& m) {
    phone.channel->sendWithoutWaiting(m);
    drain();
    ASSERT_TRUE(runUntil([&] { return model->catalog->isIdle(); }));
    auto pongs = phone.inbox->count(MessageType::pong);
    phone.channel->sendWithoutWaiting(Message::ping({7, 0}));
    ASSERT_TRUE(runUntil([&] { return phone.inbox->count(MessageType::pong) > pongs; }));
  }
  std::size_t firstOf(MessageType type) const {
    const auto& m = phone.inbox->messages;
    return std::find_if(m.begin(), m.end(), [type](const Message& x) { return x.is(type); }) - m.begin();
  }
  test::Phone phone;
};

// Answered before the next message is handled; later changes are pushed,
// but only to a phone that asked.
TEST_F(AppsSessionTest, TheListIsAnsweredInOrderAndPushedOnceAsked) {
  appWorkspace.fireChange();
  drain();
  advance(AppCatalog::changeDelay);
  sendAndSettle(Message::ping({1, 0}));
  EXPECT_EQ(phone.inbox->count(MessageType::appList), 0u);
  EXPECT_EQ(appWorkspace.counts().running, 0);

  phone.inbox->messages.clear();
  appWorkspace.holdRunning();
  phone.channel->sendWithoutWaiting(Message::appListRequest({}));
  phone.channel->sendWithoutWaiting(Message::ping({2, 0}));
  drain();
  appWorkspace.release();
  ASSERT_TRUE(runUntil([&] { return phone.inbox->count(MessageType::pong) > 0; }));
  EXPECT_LT(firstOf(MessageType::appList), firstOf(MessageType::pong));
  EXPECT_TRUE(phone.inbox->has(Message::appList({{{"x", "Xterm", false, false}}})));
  EXPECT_TRUE(server().session()->wantsAppUpdates());

  appWorkspace.setRunning({{{"x", ""}, {"gimp", "GIMP"}}, "x"});
  appWorkspace.fireChange();
  appWorkspace.fireChange();
  drain();
  advance(AppCatalog::changeDelay);
  ASSERT_TRUE(runUntil([&] { return phone.inbox->count(MessageType::appList) == 2; }));
  EXPECT_EQ(phone.inbox->messages.back(), Message::appList({{{"gimp", "GIMP", true, false}, {"x", "Xterm", true, true}}}));
  sendAndSettle(Message::ping({3, 0}));
  EXPECT_EQ(phone.inbox->count(MessageType::appList), 2u);
}

// The requested size goes back as it came, whatever was drawn; no icon, no reply.
TEST_F(AppsSessionTest, IconsEchoTheAskedSizeAndMissingOnesGetNoReply) {
  struct Case {
    std::string id;
    std::int64_t size;
    bool replied;
  } cases[] = {{"x", 16, true}, {"x", 1024, true}, {"x", 16, true}, {"none", 64, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id + "@" + std::to_string(c.size));
    auto before = phone.inbox->count(MessageType::appIcon);
    sendAndSettle(Message::appIconRequest({c.id, c.size}));
    ASSERT_EQ(phone.inbox->count(MessageType::appIcon), before + (c.replied ? 1 : 0));
    if (!c.replied) continue;
    auto* icon = std::find_if(phone.inbox->messages.rbegin(), phone.inbox->messages.rend(), [](const Message& m) {
                   return m.is(MessageType::appIcon);
                 })->getIf<MessageType::appIcon>();
    EXPECT_EQ(std::tie(icon->bundleID, icon->pixelSize), std::tie(c.id, c.size));
    EXPECT_GT(icon->png.data.size(), 8u);
  }
  EXPECT_EQ(model->catalog->cachedIcons(), 2u);
}

TEST_F(AppsSessionTest, OpenReachesTheWorkspace) {
  sendAndSettle(Message::appOpen({"x"}));
  EXPECT_EQ(appWorkspace.counts().opened, std::vector<std::string>{"x"});
}

}  // namespace
}  // namespace tillerpad::host
