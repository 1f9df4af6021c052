#pragma once

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tillerpad::kit {

// The time source of the channel's time-outs. The service uses SteadyClock
// (asio timers on the monotonic clock); tests use ManualClock and move time
// forward themselves, so time-outs are tested without sleeping.
class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  // A scheduled call; destroying or cancelling it before it fires stops it.
  class Timer {
   public:
    virtual ~Timer() = default;
    virtual void cancel() = 0;
  };

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // Calls `fire` once, posted to `executor`, after `delay`.
  virtual std::unique_ptr<Timer> schedule(asio::any_io_executor executor, Duration delay,
                                          std::function<void()> fire) = 0;
};

class SteadyClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  std::unique_ptr<Timer> schedule(asio::any_io_executor executor, Duration delay,
                                  std::function<void()> fire) override;
};

// Time stands still until advance() moves it; timers that come due are posted
// to their executors in deadline order, and the test then runs the io_context.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(TimePoint start = TimePoint{} + std::chrono::hours(1)) : now_(start) {}

  TimePoint now() const override;
  std::unique_ptr<Timer> schedule(asio::any_io_executor executor, Duration delay,
                                  std::function<void()> fire) override;
  void advance(Duration by);
  // Timers scheduled and neither fired nor cancelled.
  std::size_t pendingTimers() const;

 private:
  struct Entry {
    std::uint64_t id;
    TimePoint deadline;
    asio::any_io_executor executor;
    std::function<void()> fire;
  };
  class ManualTimer;

  void cancel(std::uint64_t id);

  mutable std::mutex mutex_;
  TimePoint now_;
  std::uint64_t nextID_ = 1;
  std::vector<Entry> entries_;
  std::shared_ptr<ManualClock*> self_ = std::make_shared<ManualClock*>(this);
};

}  // namespace tillerpad::kit
