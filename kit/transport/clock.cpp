#include "kit/transport/clock.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>

namespace tillerpad::kit {

namespace {

class AsioTimer final : public Clock::Timer {
 public:
  AsioTimer(asio::any_io_executor executor, Clock::Duration delay, std::function<void()> fire)
      : timer_(std::make_shared<asio::steady_timer>(executor, delay)) {
    // The timer object stays alive until its wait completes, even when this
    // handle is dropped first. A wait that already completed is queued with
    // success: the flag stops it, since `fire` may capture what is now gone.
    timer_->async_wait([timer = timer_, cancelled = cancelled_, fire = std::move(fire)](const std::error_code& error) {
      if (!error && !*cancelled) fire();
    });
  }
  ~AsioTimer() override { cancel(); }
  void cancel() override {
    *cancelled_ = true;
    timer_->cancel();
  }

 private:
  std::shared_ptr<asio::steady_timer> timer_;
  std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

std::unique_ptr<Clock::Timer> SteadyClock::schedule(asio::any_io_executor executor, Duration delay,
                                                    std::function<void()> fire) {
  return std::make_unique<AsioTimer>(std::move(executor), delay, std::move(fire));
}

class ManualClock::ManualTimer final : public Clock::Timer {
 public:
  ManualTimer(std::weak_ptr<ManualClock*> clock, std::uint64_t id, std::shared_ptr<std::atomic<bool>> cancelled)
      : clock_(std::move(clock)), id_(id), cancelled_(std::move(cancelled)) {}
  ~ManualTimer() override { cancel(); }
  void cancel() override {
    *cancelled_ = true;
    if (auto clock = clock_.lock()) (*clock)->cancel(id_);
  }

 private:
  std::weak_ptr<ManualClock*> clock_;
  std::uint64_t id_;
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

Clock::TimePoint ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::unique_ptr<Clock::Timer> ManualClock::schedule(asio::any_io_executor executor, Duration delay,
                                                    std::function<void()> fire) {
  std::lock_guard lock(mutex_);
  auto id = nextID_++;
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  // Checked when the posted call runs: a timer cancelled after it came due
  // but before the executor ran it must not fire.
  auto guarded = [cancelled, fire = std::move(fire)] {
    if (!*cancelled) fire();
  };
  entries_.push_back(Entry{id, now_ + delay, std::move(executor), std::move(guarded)});
  return std::make_unique<ManualTimer>(self_, id, std::move(cancelled));
}

void ManualClock::advance(Duration by) {
  std::vector<Entry> due;
  {
    std::lock_guard lock(mutex_);
    now_ += by;
    auto split = std::stable_partition(entries_.begin(), entries_.end(),
                                       [&](const Entry& e) { return e.deadline > now_; });
    due.assign(std::make_move_iterator(split), std::make_move_iterator(entries_.end()));
    entries_.erase(split, entries_.end());
  }
  std::stable_sort(due.begin(), due.end(), [](const Entry& a, const Entry& b) { return a.deadline < b.deadline; });
  for (auto& entry : due) asio::post(entry.executor, std::move(entry.fire));
}

std::size_t ManualClock::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void ManualClock::cancel(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [id](const Entry& e) { return e.id == id; });
}

}  // namespace tillerpad::kit
