#include "kit/transport/endpoint_resolver.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_future.hpp>

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;

// Answers with a scripted result after a delay, or never.
class ScriptedLookup : public ServiceLookup {
 public:
  ScriptedLookup(asio::io_context& io, std::optional<std::optional<HostPortEndpoint>> answer,
                 std::chrono::milliseconds delay = 0ms)
      : io_(io), answer_(std::move(answer)), delay_(delay) {}

  void lookup(const ServiceEndpoint& service, Done done) override {
    asked.push_back(service);
    if (!answer_) return;  // never answers
    auto timer = std::make_shared<asio::steady_timer>(io_, delay_);
    timer->async_wait([timer, done, answer = *answer_](std::error_code) { done(answer); });
  }

  std::vector<ServiceEndpoint> asked;

 private:
  asio::io_context& io_;
  std::optional<std::optional<HostPortEndpoint>> answer_;
  std::chrono::milliseconds delay_;
};

struct Outcome {
  std::optional<HostPortEndpoint> endpoint;
  std::optional<ResolveError::Case> error;
  std::optional<std::error_code> networkError;
};

Outcome run(asio::io_context& io, EndpointResolver& resolver, NetworkEndpoint endpoint,
            std::chrono::milliseconds timeout) {
  Outcome outcome;
  asio::co_spawn(io, resolver.resolve(std::move(endpoint), timeout),
                 [&](std::exception_ptr e, HostPortEndpoint found) {
                   if (!e) {
                     outcome.endpoint = found;
                     return;
                   }
                   try {
                     std::rethrow_exception(e);
                   } catch (const ResolveError& error) {
                     outcome.error = error.errorCase();
                     outcome.networkError = error.networkError();
                   }
                 });
  io.run_for(5s);  // bounded; the resolution's own limit is far shorter
  io.restart();
  return outcome;
}

TEST(EndpointResolver, HostAndPortComeBackWithoutALookup) {
  asio::io_context io;
  auto lookup = std::make_shared<ScriptedLookup>(io, std::nullopt);
  EndpointResolver resolver(io.get_executor(), lookup);
  auto outcome = run(io, resolver, HostPortEndpoint{"192.0.2.7", 4000}, 10ms);
  EXPECT_EQ(outcome.endpoint, (HostPortEndpoint{"192.0.2.7", 4000}));
  EXPECT_TRUE(lookup->asked.empty());
}

TEST(EndpointResolver, ServiceIsLookedUpThenProbed) {
  asio::io_context io;
  asio::ip::tcp::acceptor desktop(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::uint16_t port = desktop.local_endpoint().port();
  auto lookup = std::make_shared<ScriptedLookup>(io, std::optional<HostPortEndpoint>(HostPortEndpoint{"127.0.0.1", port}));
  EndpointResolver resolver(io.get_executor(), lookup);
  auto outcome = run(io, resolver, ServiceEndpoint{"Desk"}, 2000ms);
  EXPECT_EQ(outcome.endpoint, (HostPortEndpoint{"127.0.0.1", port}));
  ASSERT_EQ(lookup->asked.size(), 1u);
  EXPECT_EQ(lookup->asked[0].type, "_tillerpad._tcp");
}

TEST(EndpointResolver, FailuresSettleOnceWithTheirOwnCase) {
  asio::io_context io;
  // A port with nothing behind it: bind one, note it, close it.
  std::uint16_t closedPort;
  {
    asio::ip::tcp::acceptor a(io, {asio::ip::make_address("127.0.0.1"), 0});
    closedPort = a.local_endpoint().port();
  }
  struct Case {
    const char* name;
    std::optional<std::optional<HostPortEndpoint>> answer;
    std::chrono::milliseconds delay;
    ResolveError::Case expected;
  };
  const Case cases[] = {
      {"service never answers", std::nullopt, 0ms, ResolveError::Case::timedOut},
      {"answer after the limit", std::optional<HostPortEndpoint>(HostPortEndpoint{"127.0.0.1", closedPort}), 400ms,
       ResolveError::Case::timedOut},
      {"service not found", std::optional<HostPortEndpoint>(), 0ms, ResolveError::Case::unreachable},
      {"nothing listens", std::optional<HostPortEndpoint>(HostPortEndpoint{"127.0.0.1", closedPort}), 0ms,
       ResolveError::Case::unreachable},
      {"not an address", std::optional<HostPortEndpoint>(HostPortEndpoint{"desk.local", 1}), 0ms,
       ResolveError::Case::unreachable},
  };
  for (const auto& c : cases) {
    auto lookup = std::make_shared<ScriptedLookup>(io, c.answer, c.delay);
    EndpointResolver resolver(io.get_executor(), lookup);
    auto outcome = run(io, resolver, ServiceEndpoint{"Desk"}, 150ms);
    EXPECT_FALSE(outcome.endpoint) << c.name;
    EXPECT_EQ(outcome.error, c.expected) << c.name;
  }
  // The refused probe carries the network's own error.
  auto lookup = std::make_shared<ScriptedLookup>(io, std::optional<HostPortEndpoint>(HostPortEndpoint{"127.0.0.1", closedPort}));
  EndpointResolver resolver(io.get_executor(), lookup);
  auto refused = run(io, resolver, ServiceEndpoint{"Desk"}, 1000ms);
  EXPECT_EQ(refused.networkError, std::error_code(asio::error::connection_refused));
}

}  // namespace
}  // namespace tillerpad::kit
