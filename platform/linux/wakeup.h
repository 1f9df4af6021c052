#pragma once

#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

namespace tillerpad::platform::linux_x11 {

// An eventfd that wakes a thread's poll.
class Wakeup {
 public:
  Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Wakeup() {
    if (fd_ >= 0) ::close(fd_);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  void signal() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
  }
  void drain() {
    std::uint64_t value = 0;
    [[maybe_unused]] auto n = ::read(fd_, &value, sizeof value);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace tillerpad::platform::linux_x11
