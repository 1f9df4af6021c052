#pragma once

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace tillerpad::kit::testing {

// The outcome of a coroutine spawned by a test.
template <class T>
struct Outcome {
  bool done = false;
  std::optional<T> value;
  std::exception_ptr error;

  // The coroutine's exception as the given type; throws when it failed otherwise, or not at all.
  template <class E>
  E errorAs() const {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const E& e) {
      return e;
    } catch (...) {
    }
    throw std::runtime_error("the coroutine did not fail with the expected error type");
  }
};

struct Unit {};

template <class T>
auto spawn(asio::io_context& io, asio::awaitable<T> operation, asio::cancellation_slot slot = {}) {
  using Value = std::conditional_t<std::is_void_v<T>, Unit, T>;
  auto outcome = std::make_shared<Outcome<Value>>();
  asio::co_spawn(io, std::move(operation), asio::bind_cancellation_slot(slot, [outcome](std::exception_ptr error, auto... value) {
    outcome->done = true;
    outcome->error = error;
    if (!error) outcome->value.emplace(std::move(value)...);  // a Unit for void
  }));
  return outcome;
}

// Runs everything that is ready now, without waiting for anything.
inline void drain(asio::io_context& io) {
  io.restart();
  io.poll();
}

}  // namespace tillerpad::kit::testing
