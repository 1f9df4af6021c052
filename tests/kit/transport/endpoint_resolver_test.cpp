#include "kit/transport/endpoint_resolver.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;

// Answers at once with a scripted result, or keeps the answer back until the
// test gives it (`late`).
class ScriptedLookup : public ServiceLookup {
 public:
  explicit ScriptedLookup(std::optional<std::optional<Endpoint>> answer) : answer_(std::move(answer)) {}
  void lookup(const ServiceEndpoint& service, Done done) override {
    asked.push_back(service);
    if (answer_) return done(*answer_);
    late = std::move(done);
  }
  std::vector<ServiceEndpoint> asked;
  Done late;

 private:
  std::optional<std::optional<Endpoint>> answer_;
};

struct Outcome {
  bool settled = false;
  std::optional<Endpoint> endpoint;
  std::optional<ResolveError::Case> error;
  std::optional<std::error_code> networkError;
};

std::shared_ptr<Outcome> start(asio::io_context& io, EndpointResolver& resolver, NetworkEndpoint endpoint,
                               std::chrono::milliseconds timeout) {
  auto outcome = std::make_shared<Outcome>();
  asio::co_spawn(io, resolver.resolve(std::move(endpoint), timeout), [outcome](std::exception_ptr e, Endpoint found) {
    outcome->settled = true;
    if (!e) {
      outcome->endpoint = found;
      return;
    }
    try {
      std::rethrow_exception(e);
    } catch (const ResolveError& error) {
      outcome->error = error.errorCase();
      outcome->networkError = error.networkError();
    }
  });
  return outcome;
}

// Runs until the resolution settles or nothing is left to do, bounded.
void settle(asio::io_context& io) {
  io.restart();
  io.run_for(10s);
}

std::uint16_t closedPort(asio::io_context& io) {
  asio::ip::tcp::acceptor a(io, {asio::ip::make_address("127.0.0.1"), 0});
  return a.local_endpoint().port();  // closed when `a` goes
}

TEST(EndpointResolver, HostAndPortComeBackWithoutALookup) {
  asio::io_context io;
  auto lookup = std::make_shared<ScriptedLookup>(std::nullopt);
  EndpointResolver resolver(io.get_executor(), lookup);
  auto outcome = start(io, resolver, Endpoint::hostPort("192.0.2.7", 4000), 10ms);
  settle(io);
  EXPECT_EQ(outcome->endpoint, (Endpoint::hostPort("192.0.2.7", 4000)));
  EXPECT_TRUE(lookup->asked.empty());
}

TEST(EndpointResolver, ServiceIsLookedUpThenProbed) {
  asio::io_context io;
  asio::ip::tcp::acceptor desktop(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::uint16_t port = desktop.local_endpoint().port();
  auto lookup = std::make_shared<ScriptedLookup>(std::optional<Endpoint>(Endpoint::hostPort("127.0.0.1", port)));
  EndpointResolver resolver(io.get_executor(), lookup);
  auto outcome = start(io, resolver, ServiceEndpoint{"Desk"}, 5000ms);
  settle(io);
  EXPECT_EQ(outcome->endpoint, (Endpoint::hostPort("127.0.0.1", port)));
  ASSERT_EQ(lookup->asked.size(), 1u);
  EXPECT_EQ(lookup->asked[0].type, "_tillerpad._tcp");
}

// The unreachable cases settle at once on loopback; their limit is long, so a
// busy machine cannot turn them into time-outs.
TEST(EndpointResolver, UnreachableServicesSettleWithTheirOwnCase) {
  asio::io_context io;
  const std::uint16_t closed = closedPort(io);
  struct Case {
    const char* name;
    std::optional<Endpoint> answer;
    std::optional<std::error_code> networkError;
  };
  const Case cases[] = {
      {"service not found", std::nullopt, std::nullopt},
      {"nothing listens", Endpoint::hostPort("127.0.0.1", closed), asio::error::connection_refused},
      {"not an address", Endpoint::hostPort("desk.local", 1), std::nullopt},
  };
  for (const auto& c : cases) {
    EndpointResolver resolver(io.get_executor(), std::make_shared<ScriptedLookup>(c.answer));
    auto outcome = start(io, resolver, ServiceEndpoint{"Desk"}, 5000ms);
    settle(io);
    EXPECT_EQ(outcome->error, ResolveError::Case::unreachable) << c.name;
    if (c.networkError) EXPECT_EQ(outcome->networkError, c.networkError) << c.name;
  }
}

// A lookup that answers after the limit: the time-out settles the
// resolution, and the late answer changes nothing.
TEST(EndpointResolver, ALateAnswerIsIgnored) {
  asio::io_context io;
  asio::ip::tcp::acceptor desktop(io, {asio::ip::make_address("127.0.0.1"), 0});
  auto lookup = std::make_shared<ScriptedLookup>(std::nullopt);
  EndpointResolver resolver(io.get_executor(), lookup);
  auto outcome = start(io, resolver, ServiceEndpoint{"Desk"}, 20ms);
  settle(io);
  EXPECT_EQ(outcome->error, ResolveError::Case::timedOut);
  ASSERT_TRUE(lookup->late);
  lookup->late(Endpoint::hostPort("127.0.0.1", desktop.local_endpoint().port()));
  settle(io);
  EXPECT_EQ(outcome->error, ResolveError::Case::timedOut);
  EXPECT_FALSE(outcome->endpoint);
}

}  // namespace
}  // namespace tillerpad::kit
