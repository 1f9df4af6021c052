#include "kit/transport/endpoint_resolver.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "kit/pairing/handshake.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "kit/transport/transport_parameters.h"

namespace tillerpad::kit {
namespace {

using namespace asio::experimental::awaitable_operators;
using SteadyTime = std::chrono::steady_clock;

// The lookup's answer, handed over on the resolver's executor; the timer
// doubles as the event the coroutine waits on.
struct LookupState {
  explicit LookupState(const asio::any_io_executor& ex) : timer(ex) {}
  asio::steady_timer timer;
  std::optional<Endpoint> result;
  bool settled = false;
};

std::string describe(ResolveError::Case c, const std::optional<std::error_code>& error) {
  if (c == ResolveError::Case::timedOut) return "Resolving the desktop timed out";
  return error ? fmt::format("The desktop is unreachable: {}", error->message()) : "The desktop is unreachable";
}

}  // namespace

ResolveError::ResolveError(Case c, std::optional<std::error_code> error)
    : std::runtime_error(describe(c, error)), case_(c), error_(error) {}

EndpointResolver::EndpointResolver(asio::any_io_executor executor, std::shared_ptr<ServiceLookup> lookup)
    : executor_(std::move(executor)), lookup_(std::move(lookup)) {}

asio::awaitable<Endpoint> EndpointResolver::resolve(NetworkEndpoint endpoint,
                                                            std::chrono::milliseconds timeout) {
  if (auto* direct = std::get_if<Endpoint>(&endpoint)) {
    if (!direct->isHostPort()) throw ResolveError::unreachable();
    co_return *direct;
  }

  if (!lookup_) throw ResolveError::unreachable();
  const auto deadline = SteadyTime::now() + timeout;
  auto state = std::make_shared<LookupState>(executor_);
  state->timer.expires_at(deadline);
  lookup_->lookup(std::get<ServiceEndpoint>(endpoint), [state, ex = executor_](std::optional<Endpoint> found) {
    asio::post(ex, [state, found = std::move(found)]() mutable {
      if (state->settled) return;  // too late: the resolution has timed out
      state->settled = true;
      state->result = std::move(found);
      state->timer.cancel();
    });
  });
  co_await state->timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
  if (!state->settled) {
    state->settled = true;
    throw ResolveError::timedOut();
  }
  if (!state->result) throw ResolveError::unreachable();

  // Prove the address answers: a plain TCP connection, raced against the time left.
  asio::ip::tcp::socket probe(executor_);
  asio::steady_timer limit(executor_, deadline);
  std::error_code addressError;
  auto address = asio::ip::make_address(state->result->host, addressError);
  if (addressError) throw ResolveError::unreachable(addressError);
  // Named, not temporaries in the co_await expression: GCC 12 destroys those twice.
  asio::ip::tcp::endpoint target(address, state->result->port);
  auto connecting = probe.async_connect(target, asio::experimental::as_tuple(asio::use_awaitable));
  auto waiting = limit.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
  auto racing = std::move(connecting) || std::move(waiting);
  auto outcome = co_await std::move(racing);
  if (outcome.index() == 1) throw ResolveError::timedOut();
  auto [connectError] = std::get<0>(outcome);
  if (connectError) throw ResolveError::unreachable(connectError);
  std::error_code ec;
  auto remote = probe.remote_endpoint(ec);
  if (ec) throw ResolveError::unreachable(ec);
  co_return Endpoint::hostPort(remote.address().to_string(), remote.port());
}

}  // namespace tillerpad::kit

namespace tillerpad::kit {

asio::awaitable<std::shared_ptr<MessageChannel>> EndpointResolver::connect(NetworkEndpoint endpoint, PreSharedKey psk,
                                                                           std::shared_ptr<Clock> clock) {
  auto resolving = resolve(std::move(endpoint), std::chrono::seconds(5));
  Endpoint remote = co_await std::move(resolving);
  TlsContext context(TransportParameters::client(std::move(psk)));
  auto channel = MessageChannel::create(executor_, TlsConnection::connect(executor_, context, remote),
                                        "app.tillerpad.channel", std::move(clock));
  // On failure the channel is dropped here, which cancels its connection.
  auto opening = channel->open(std::chrono::seconds(10), Handshake::keyingMaterial());
  co_await std::move(opening);
  co_return channel;
}

}  // namespace tillerpad::kit
