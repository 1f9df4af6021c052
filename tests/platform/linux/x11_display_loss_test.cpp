// The X server goes away under a running service and comes back: the
// process stays, the permission flags follow.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/linux/x11_input.h"
#include "platform/linux/x11_permission_probe.h"
#include "platform/linux/xkb_keyboard_layout.h"

namespace tillerpad::platform::linux_x11 {
namespace {

using namespace std::chrono_literals;

// An Xvfb of this test's own, which it can kill.
class PrivateXvfb {
 public:
  // Display number: -1 lets the server choose one.
  explicit PrivateXvfb(int number = -1) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      std::string display = ":" + std::to_string(number);
      if (number < 0) {
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0", "640x480x24",
                 static_cast<char*>(nullptr));
      } else {
        ::execlp("Xvfb", "Xvfb", display.c_str(), "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
                 "640x480x24", static_cast<char*>(nullptr));
      }
      ::_exit(127);
    }
    ::close(fds[1]);
    // Xvfb writes the number once it accepts connections; bounded wait.
    pollfd p{fds[0], POLLIN, 0};
    char buffer[16] = {};
    if (::poll(&p, 1, 20'000) == 1 && ::read(fds[0], buffer, sizeof buffer - 1) > 0) number_ = std::atoi(buffer);
    readEnd_ = fds[0];  // open while the server runs: it may write again
  }
  ~PrivateXvfb() { stop(); }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    ::close(readEnd_);
  }
  bool running() const { return number_ >= 0; }
  int number() const { return number_; }
  std::string name() const { return ":" + std::to_string(number_); }

 private:
  pid_t pid_ = -1;
  int number_ = -1;
  int readEnd_ = -1;
};

TEST(X11DisplayLossTest, ServiceSurvivesTheServerGoingAndFollowsItsReturn) {
  auto log = std::make_shared<kit::RecordingLogSink>();
  kit::Logger logger(log, "app.tillerpad.Tillerpad", "x11");
  auto first = std::make_unique<PrivateXvfb>();
  ASSERT_TRUE(first->running());
  int number = first->number();
  std::string name = first->name();

  X11PermissionProbe probe(name, logger);
  auto input = X11Input::open(name, logger);
  XkbKeyboardLayoutSource layouts(name, logger);
  layouts.setOnChange([] {});
  ASSERT_TRUE(input);
  EXPECT_TRUE(probe.canSynthesizeInput());
  EXPECT_TRUE(probe.canCaptureScreen());

  auto openFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
  };
  auto filesBefore = openFiles();
  first->stop();
  // Xlib would end the process here on its first failed write or read.
  EXPECT_FALSE(probe.canSynthesizeInput());
  EXPECT_FALSE(probe.canCaptureScreen());
  input->postMouse(MouseEvent{MouseEventType::moved, 0, Point{10, 10}});
  EXPECT_FALSE(input->cursorLocation());
  EXPECT_GE(log->count("Lost the X display"), 1u);
  // The broken connections' sockets are closed: losing servers leaks no files.
  EXPECT_LE(openFiles(), filesBefore);

  PrivateXvfb second(number);
  ASSERT_TRUE(second.running());
  // The probe opens the display again on its next read.
  EXPECT_TRUE(probe.canSynthesizeInput());
  EXPECT_TRUE(probe.canCaptureScreen());
}

}  // namespace
}  // namespace tillerpad::platform::linux_x11
