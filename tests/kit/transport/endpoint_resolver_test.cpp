#include "kit/transport/endpoint_resolver.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "tests/kit/transport/async_test.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;

// Answers at once with a scripted result, or never (`late` then keeps the callback).
struct ScriptedLookup : ServiceLookup {
  std::optional<std::optional<Endpoint>> answer;
  std::size_t asked = 0;
  Done late;
  void lookup(const ServiceEndpoint&, Done done) override {
    ++asked;
    if (answer) return done(*answer);
    late = std::move(done);
  }
};

// Every resolution here settles without racing the clock: on loopback the probe connects or is
// refused at once, and the time-out case has a limit of zero and a lookup that never answers.
// The other limits only keep a broken resolver from hanging the test (as does run_for).
TEST(EndpointResolver, ResolvesOrSettlesWithItsOwnCase) {
  asio::io_context io;
  const asio::ip::tcp::endpoint anyPort{asio::ip::make_address("127.0.0.1"), 0};
  asio::ip::tcp::acceptor desktop(io, anyPort);
  const auto listening = Endpoint::hostPort("127.0.0.1", desktop.local_endpoint().port());
  const auto closed = Endpoint::hostPort("127.0.0.1", asio::ip::tcp::acceptor(io, anyPort).local_endpoint().port());
  struct Case {
    const char* name;
    NetworkEndpoint endpoint;
    std::optional<std::optional<Endpoint>> answer;  // none: the lookup never answers
    std::chrono::milliseconds limit;
    std::variant<Endpoint, ResolveError::Case> expected;
    std::optional<std::error_code> networkError;
  };
  const ServiceEndpoint desk{"Desk"};
  const auto direct = Endpoint::hostPort("127.0.0.7", 4000);
  const Case cases[] = {
      {"host and port, no lookup", direct, {}, 0ms, direct},
      {"service found and answering", desk, listening, 10min, listening},
      {"service not found", desk, std::optional<Endpoint>(), 10min, ResolveError::Case::unreachable},
      {"nothing listens", desk, closed, 10min, ResolveError::Case::unreachable, asio::error::connection_refused},
      {"not an address", desk, Endpoint::hostPort("desk.local", 1), 10min, ResolveError::Case::unreachable},
      {"no answer in time", desk, std::nullopt, 0ms, ResolveError::Case::timedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto lookup = std::make_shared<ScriptedLookup>();
    lookup->answer = c.answer;
    EndpointResolver resolver(io.get_executor(), lookup);
    auto outcome = testing::spawn(io, resolver.resolve(c.endpoint, c.limit));
    auto settled = [&]() -> std::variant<Endpoint, ResolveError::Case> {
      io.restart();
      io.run_for(10s);
      if (!outcome->done || outcome->value) return outcome->value.value_or(Endpoint::other("unsettled"));
      return outcome->errorAs<ResolveError>().errorCase();
    };
    EXPECT_EQ(settled(), c.expected);
    if (c.networkError) EXPECT_EQ(outcome->errorAs<ResolveError>().networkError(), c.networkError);
    EXPECT_EQ(lookup->asked, std::holds_alternative<ServiceEndpoint>(c.endpoint) ? 1u : 0u);
    if (lookup->late) {  // an answer after the time-out changes nothing
      lookup->late(listening);
      EXPECT_EQ(settled(), c.expected);
    }
  }
}

}  // namespace
}  // namespace tillerpad::kit
