#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tillerpad::platform::gnome {

// Runs tasks one at a time on a thread of its own. The last owner may be a
// task on that thread: the thread keeps its queue alive and is let go
// instead of joined then.
class SerialWorker {
 public:
  SerialWorker() : queue_(std::make_shared<Queue>()) {
    thread_ = std::thread([queue = queue_] { queue->run(); });
  }
  ~SerialWorker() {
    {
      std::lock_guard lock(queue_->mutex);
      queue_->ending = true;
    }
    queue_->wake.notify_all();
    if (std::this_thread::get_id() == thread_.get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  void post(std::function<void()> task) {
    {
      std::lock_guard lock(queue_->mutex);
      queue_->tasks.push_back(std::move(task));
    }
    queue_->wake.notify_all();
  }

 private:
  struct Queue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool ending = false;
    void run() {
      for (;;) {
        std::function<void()> task;
        {
          std::unique_lock lock(mutex);
          wake.wait_for(lock, std::chrono::milliseconds(500), [this] { return ending || !tasks.empty(); });
          if (tasks.empty()) {
            if (ending) return;
            continue;
          }
          task = std::move(tasks.front());
          tasks.pop_front();
        }
        task();
      }
    }
  };
  std::shared_ptr<Queue> queue_;
  std::thread thread_;
};

}  // namespace tillerpad::platform::gnome
