#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "kit/common/log.h"

namespace tillerpad::host {

// A labelled serial queue on a thread of its own. Posting never blocks on
// the work: when the queue is full the task is dropped (and logged once per
// overflow), so a flood from a peer cannot stall its caller. A task that
// throws is logged and the queue goes on.
class SerialQueue {
 public:
  SerialQueue(std::string label, std::size_t capacity, kit::Logger log);
  ~SerialQueue();  // runs what is queued, then stops
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  bool post(std::function<void()> task);
  // True once everything posted before the call has run; false after `limit`.
  bool waitIdle(std::chrono::milliseconds limit);
  bool isCurrentThread() const { return std::this_thread::get_id() == worker_.get_id(); }
  const std::string& label() const { return label_; }

 private:
  void run();

  std::string label_;
  std::size_t capacity_;
  kit::Logger log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> tasks_;
  bool busy_ = false;
  bool stopping_ = false;
  bool overflowing_ = false;
  std::thread worker_;
};

}  // namespace tillerpad::host
