#include <gtest/gtest.h>

#include "host/service/server.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using kit::Message;

class ScreenSessionTest : public ::testing::Test, public test::Desktop {
 protected:
  std::size_t stopCalls() {
    auto calls = screenCapture.calls();
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [](const auto& c) {
      return c.kind == platform::fake::FakeScreenCapture::Kind::stop;
    }));
  }
};

// (A request while viewing is off is refused: tests/e2e/screen_test.sh.)
TEST_F(ScreenSessionTest, EveryWayAStreamOrItsSessionEndsStopsTheCapture) {
  using End = std::function<void(test::Phone&, const kit::PairedDevice&)>;
  struct Case {
    const char* name;
    End end;
    bool sessionGoesOn;
    std::optional<Message> told;  // the last the phone hears, where it hears anything
  };
  const Case cases[] = {
      {"the phone's screenStop", [](test::Phone& p, auto&) { p.channel->sendWithoutWaiting(Message::screenStop({})); },
       true, std::nullopt},
      {"the connection drops", [](test::Phone& p, auto&) { p.channel->cancel(); }, false, std::nullopt},
      {"the user disconnects", [this](test::Phone&, auto&) { server().disconnect(); }, false,
       Message::bye({kit::ByeReason::userDisconnected})},
      {"revoked", [this](test::Phone&, const kit::PairedDevice& d) { server().revoke(d.id); }, false,
       Message::bye({kit::ByeReason::revoked})},
      {"another phone replaces it", [this](test::Phone&, auto&) { connect(addPhone("Other")); }, true,
       Message::bye({kit::ByeReason::replaced})},
      {"viewing is switched off", [this](test::Phone&, auto&) { model->settings.setAllowScreenViewing(false); }, true,
       Message::sharingSettings({true, false})},
  };
  startListening();
  // What the tray's icon follows: the current session's phone starts or stops viewing.
  int viewingChanges = 0;
  server().onScreenViewingChange = [&] { ++viewingChanges; };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = addPhone("Phone " + std::to_string(++n));
    drain();
    auto phone = connect(device);
    ASSERT_TRUE(server().session());
    phone.channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1920, 30}));
    drain();
    ASSERT_EQ(screenCapture.liveStreams(), 1);
    EXPECT_EQ(viewingChanges, 1);
    viewingChanges = 0;
    auto stops = stopCalls();
    c.end(phone, device);
    drain();
    settle();
    // Stopped, not merely dropped with the session; and not restarted later.
    EXPECT_EQ(stopCalls(), stops + 1);
    EXPECT_EQ(screenCapture.liveStreams(), 0);
    EXPECT_EQ(viewingChanges, 1);
    viewingChanges = 0;
    ASSERT_EQ(static_cast<bool>(server().session()), c.sessionGoesOn);
    if (c.told) EXPECT_EQ(phone.inbox->messages.back(), *c.told);
    if (!c.sessionGoesOn) continue;
    EXPECT_FALSE(server().session()->screen().request());
    server().disconnect();
    drain();
  }
}

}  // namespace
}  // namespace tillerpad::host
