// DNS-SD against a real avahi-daemon (started by tests/support/with-avahi).
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <unistd.h>

#include "platform/linux/avahi_advertiser.h"
#include "platform/linux/avahi_service_lookup.h"
#include "tests/platform/linux/temp_dir.h"
#include "tests/support/child_process.h"

namespace tillerpad::platform {
namespace {

using namespace std::chrono_literals;

// The resolved lines ("=;...") avahi-browse prints for our service type.
std::string browse() { return tillerpad::test::runShell("timeout 5 avahi-browse -rpt _tillerpad._tcp 2>/dev/null | grep '^='", 5s); }

// Polls `browse()` until `predicate` holds, for at most 15 s.
template <class P>
std::string browseUntil(P predicate) {
  std::string seen;
  for (auto deadline = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < deadline;) {
    seen = browse();
    if (predicate(seen)) break;
    std::this_thread::sleep_for(200ms);
  }
  return seen;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class AvahiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* why = std::getenv("TILLERPAD_AVAHI_UNAVAILABLE")) GTEST_SKIP() << why;
    log_ = std::make_shared<kit::RecordingLogSink>();
  }

  kit::Logger logger() { return kit::Logger(log_, "Tillerpad", "server"); }

  const kit::Uuid id_ = *kit::Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  const std::string name_ = "Tillerpad Test " + std::to_string(getpid());
  std::shared_ptr<kit::RecordingLogSink> log_;
};

TEST_F(AvahiTest, PublishesTheTxtRecordWithdrawsAndComesBackAfterARestart) {
  auto advertiser = makeAvahiAdvertiser(logger());
  advertiser->publish(name_, 4242, kit::Bonjour::txtRecord(id_));
  std::string escapedName = "Tillerpad\\032Test\\032" + std::to_string(getpid());
  auto line = browseUntil([&](const std::string& s) { return has(s, escapedName); });
  ASSERT_TRUE(has(line, escapedName)) << line;
  EXPECT_TRUE(has(line, ";4242;")) << line;
  EXPECT_TRUE(has(line, "\"id=6F9619FF-8B86-D011-B42D-00C04FC964FF\"")) << line;
  EXPECT_TRUE(has(line, "\"v=1\"")) << line;

  if (const char* restart = std::getenv("TILLERPAD_AVAHI_RESTART")) {
    ASSERT_EQ(std::system(restart), 0);
    line = browseUntil([&](const std::string& s) { return has(s, escapedName); });
    EXPECT_TRUE(has(line, escapedName)) << "not published again after the daemon restarted";
  }

  advertiser->withdraw();
  line = browseUntil([&](const std::string& s) { return !has(s, escapedName); });
  EXPECT_FALSE(has(line, escapedName)) << line;
}

TEST_F(AvahiTest, ACollidingNameIsReplacedByAnAlternative) {
  auto first = makeAvahiAdvertiser(logger());
  auto second = makeAvahiAdvertiser(logger());
  first->publish(name_, 4243, kit::Bonjour::txtRecord(id_));
  browseUntil([&](const std::string& s) { return has(s, ";4243;"); });
  second->publish(name_, 4244, kit::Bonjour::txtRecord(id_));
  auto lines = browseUntil([&](const std::string& s) { return has(s, ";4243;") && has(s, ";4244;"); });
  EXPECT_TRUE(has(lines, ";4243;") && has(lines, ";4244;")) << lines;
  EXPECT_TRUE(has(lines, "\\032\\0352;")) << lines;  // " #2", as avahi-browse escapes it
  EXPECT_TRUE(log_->contains("is taken on the network"));
}

TEST_F(AvahiTest, ResolvesAPublishedServiceAndProbesIt) {
  asio::io_context io;
  asio::ip::tcp::acceptor desktop(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::uint16_t port = desktop.local_endpoint().port();
  auto advertiser = makeAvahiAdvertiser(logger());
  advertiser->publish(name_, port, kit::Bonjour::txtRecord(id_));
  browseUntil([&](const std::string& s) { return has(s, ";" + std::to_string(port) + ";"); });

  kit::EndpointResolver resolver(io.get_executor(), makeAvahiServiceLookup(logger()));
  std::optional<kit::Endpoint> found;
  asio::co_spawn(io, resolver.resolve(kit::ServiceEndpoint{name_}, 5000ms),
                 [&](std::exception_ptr e, kit::Endpoint endpoint) {
                   if (!e) found = endpoint;
                 });
  io.run_for(10s);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->port, port);

  // A name nobody publishes is not found.
  auto lookup = makeAvahiServiceLookup(logger());
  std::promise<std::optional<kit::Endpoint>> answer;
  lookup->lookup(kit::ServiceEndpoint{"Nobody " + name_}, [&](auto result) { answer.set_value(result); });
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(15s), std::future_status::ready);
  EXPECT_FALSE(future.get());
}

TEST(AvahiWithoutDaemon, DiscoveryIsUnavailableAndEverythingGoesOn) {
  test::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tillerpad-test-bus");
  auto log = std::make_shared<kit::RecordingLogSink>();
  {
    auto advertiser = makeAvahiAdvertiser(kit::Logger(log, "Tillerpad", "server"));
    advertiser->publish("Nowhere", 1, {});
    advertiser->withdraw();
    auto lookup = makeAvahiServiceLookup(kit::Logger(log, "Tillerpad", "server"));
    std::optional<std::optional<kit::Endpoint>> answer;
    lookup->lookup(kit::ServiceEndpoint{"Nowhere"}, [&](auto result) { answer = result; });
    ASSERT_TRUE(answer) << "a lookup without a daemon must answer at once";
    EXPECT_FALSE(*answer);
  }
  EXPECT_TRUE(log->contains("DNS-SD is unavailable"));
}

}  // namespace
}  // namespace tillerpad::platform
