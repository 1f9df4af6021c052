#pragma once

// Internal to kit/transport: turns asio completion handlers into copyable
// callbacks that can be stored in the channel's state. Include only from .cpp
// files.

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/use_awaitable.hpp>

#include <exception>
#include <functional>
#include <memory>

namespace tillerpad::kit::detail {

// The callback resumes the handler on its own executor (never inline) and
// keeps that executor's work count up until then, so a run() does not return
// while a receive waits for a message. The handler's cancellation slot is
// cleared right before it resumes.
template <class... Args>
struct Completion {
  template <class Handler>
  static std::function<void(Args...)> wrap(Handler handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    auto executor = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    auto shared = std::make_shared<Handler>(std::move(handler));
    return [shared, slot, executor](Args... args) mutable {
      asio::post(executor, [shared, slot, ... args = std::move(args)]() mutable {
        slot.clear();
        std::move (*shared)(std::move(args)...);
      });
    };
  }
};

// Runs `f` on `executor` and returns its result (or its exception) to the
// awaiting coroutine.
template <class T, class Executor, class F>
asio::awaitable<T> runOn(Executor executor, F f) {
  // Named, not a temporary inside the co_await: GCC 12 destroys such
  // temporaries twice.
  auto initiate = [executor, f = std::move(f)](auto handler) mutable {
    auto complete = Completion<std::exception_ptr, T>::wrap(std::move(handler));
    asio::post(executor, [f = std::move(f), complete]() mutable {
      std::exception_ptr error;
      T result{};
      try {
        result = f();
      } catch (...) {
        error = std::current_exception();
      }
      complete(error, std::move(result));
    });
  };
  auto result = co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, T)>(
      std::move(initiate), asio::use_awaitable);
  co_return result;
}

}  // namespace tillerpad::kit::detail
