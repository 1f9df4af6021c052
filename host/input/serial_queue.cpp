#include "host/input/serial_queue.h"

#include <pthread.h>

#include <exception>

namespace tillerpad::host {

SerialQueue::SerialQueue(std::string label, std::size_t capacity, kit::Logger log)
    : label_(std::move(label)), capacity_(capacity), log_(std::move(log)) {
  worker_ = std::thread([this] { run(); });
  // Thread names are limited to 15 characters: keep the role at the end.
  std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

bool SerialQueue::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    if (tasks_.size() >= capacity_) {
      if (!overflowing_) log_.error(label_ + " is full; dropping work");
      overflowing_ = true;
      return false;
    }
    overflowing_ = false;
    tasks_.push_back({std::move(task), droppable});
  }
  wake_.notify_one();
  return true;
}

bool SerialQueue::postEssential(int key, std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    if (key >= 0 && tasks_.size() >= capacity_) {
      // Only the essential work queued after the last droppable task counts:
      // nothing after it can undo what a task with the same key does. (A
      // position past the capacity would not do: the worker pops meanwhile.)
      for (auto it = tasks_.rbegin(); it != tasks_.rend() && it->key != droppable; ++it) {
        if (it->key == key) return false;
      }
    }
    tasks_.push_back({std::move(task), key});
  }
  wake_.notify_one();
  return true;
}

std::size_t SerialQueue::size() {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

bool SerialQueue::waitIdle(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, limit, [this] { return tasks_.empty() && !busy_; });
}

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping and drained
    auto task = std::move(tasks_.front().run);
    tasks_.pop_front();
    busy_ = true;
    lock.unlock();
    try {
      task();
    } catch (const std::exception& e) {
      log_.error(label_ + ": task failed: " + e.what());
    } catch (...) {
      log_.error(label_ + ": task failed");
    }
    lock.lock();
    busy_ = false;
    if (tasks_.empty()) idle_.notify_all();
  }
}

}  // namespace tillerpad::host
