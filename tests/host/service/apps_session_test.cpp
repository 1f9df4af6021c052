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
  test::Phone phone;
};

// Answered before the next message is handled; later changes are pushed,
// but only to a phone that asked.
TEST_F(AppsSessionTest, TheListIsAnsweredInOrderAndPushedOnceAsked) {
  appWorkspace.fireChange();
  drain();
  advance(AppCatalog::changeDelay);
  EXPECT_TRUE(model->catalog->isIdle());  // no list was asked for

  phone.inbox->messages.clear();
  appWorkspace.holdRunning();
  phone.channel->sendWithoutWaiting(Message::appListRequest({}));
  phone.channel->sendWithoutWaiting(Message::ping({2, 0}));
  drain();
  appWorkspace.release();
  ASSERT_TRUE(runUntil([&] { return phone.inbox->count(MessageType::pong) > 0; }));
  EXPECT_EQ(phone.inbox->messages, (std::vector{Message::appList({{{"x", "Xterm", false, false}}}), Message::pong({2, 0})}));

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

}  // namespace
}  // namespace tillerpad::host
