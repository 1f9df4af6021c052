#include <gtest/gtest.h>

#include "host/service/server.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message;
using kit::MessageType;

class ScreenSessionTest : public ::testing::Test, public test::Desktop {
 protected:
  test::Phone streamingPhone(const std::string& name) {
    auto phone = connect(addPhone(name));
    if (!server().session()) throw std::runtime_error("no session");
    phone.channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1920, 30}));
    drain();
    return phone;
  }
  std::size_t stopCalls() {
    auto calls = screenCapture.calls();
    return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [](const auto& c) {
      return c.kind == platform::fake::FakeScreenCapture::Kind::stop;
    }));
  }
};

TEST_F(ScreenSessionTest, SwitchingViewingOffStopsTheStreamAndRefusesTheNext) {
  startListening();
  auto phone = streamingPhone("Ada");
  ASSERT_EQ(screenCapture.liveStreams(), 1);

  model->settings.setAllowScreenViewing(false);
  drain();
  EXPECT_EQ(screenCapture.liveStreams(), 0);
  EXPECT_FALSE(server().session()->screen().request());
  EXPECT_EQ(phone.inbox->messages.back(), Message::sharingSettings({false, false}));

  auto calls = screenCapture.calls().size();
  phone.channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1920, 30}));
  drain();
  EXPECT_EQ(phone.inbox->messages.back(), Message::error({kit::ErrorCode::screenViewingDisabled, std::nullopt}));
  EXPECT_EQ(screenCapture.calls().size(), calls);
  ASSERT_TRUE(server().session());

  // Switched on again, a new request streams.
  model->settings.setAllowScreenViewing(true);
  phone.channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1920, 30}));
  drain();
  EXPECT_EQ(screenCapture.liveStreams(), 1);
}

TEST_F(ScreenSessionTest, EveryWayASessionEndsStopsItsStream) {
  struct Case {
    const char* name;
    std::function<void(test::Phone&, const kit::PairedDevice&)> end;
    bool sessionGoesOn;
  };
  const Case cases[] = {
      {"the phone's screenStop", [](test::Phone& p, const kit::PairedDevice&) {
         p.channel->sendWithoutWaiting(Message::screenStop({}));
       }, true},
      {"the phone's bye", [](test::Phone& p, const kit::PairedDevice&) {
         p.channel->sendWithoutWaiting(Message::bye({kit::ByeReason::backgrounded}));
       }, false},
      {"the connection drops", [](test::Phone& p, const kit::PairedDevice&) { p.channel->cancel(); }, false},
      {"the user disconnects", [this](test::Phone&, const kit::PairedDevice&) { server().disconnect(); }, false},
      {"revoked", [this](test::Phone&, const kit::PairedDevice& d) { server().revoke(d.id); }, false},
      {"another phone replaces it", [this](test::Phone&, const kit::PairedDevice&) { connect(addPhone("Other")); },
       true},
  };
  startListening();
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
    auto stops = stopCalls();
    c.end(phone, device);
    drain();
    settle();
    // Stopped, not merely dropped with the session.
    EXPECT_EQ(stopCalls(), stops + 1);
    EXPECT_EQ(screenCapture.liveStreams(), 0);
    EXPECT_EQ(static_cast<bool>(server().session()), c.sessionGoesOn);
    if (server().session()) {
      server().disconnect();
      drain();
    }
  }
}

}  // namespace
}  // namespace tillerpad::host
