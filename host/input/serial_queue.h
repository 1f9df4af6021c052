#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
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
  // Work that must not be lost (letting go of a button): taken even when the
  // queue is full. While the queue is full, a task with the same `key` (0 or
  // more) as one waiting after the last droppable task is left out: the one
  // waiting does the same, and nothing in between can undo it.
  // A negative key is never left out; its caller bounds such work itself.
  // True when the task was queued.
  bool postEssential(int key, std::function<void()> task);
  std::size_t size();
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
  static constexpr int droppable = std::numeric_limits<int>::min();
  struct Task {
    std::function<void()> run;
    int key = droppable;  // essential work's key
  };
  std::deque<Task> tasks_;
  bool busy_ = false;
  bool stopping_ = false;
  bool overflowing_ = false;
  std::thread worker_;
};

}  // namespace tillerpad::host
