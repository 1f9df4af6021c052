// The X server goes away under a running service and comes back: the
// process stays, the permission flags follow.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/linux/x11_display.h"
#include "platform/linux/x11_input.h"
#include "platform/linux/x11_permission_probe.h"
#include "platform/linux/xkb_keyboard_layout.h"
#include "tests/support/child_process.h"

// Last: Xlib's macros would clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tillerpad::platform::linux_x11 {
namespace {

using namespace std::chrono_literals;

using test::PrivateXvfb;

TEST(X11DisplayLossTest, ServiceSurvivesTheServerGoingAndFollowsItsReturn) {
  auto log = std::make_shared<kit::RecordingLogSink>();
  kit::Logger logger(log, "app.tillerpad.Tillerpad", "x11");
  // Away from the lowest free numbers that other servers take, so that no test running
  // beside this one takes the number while its server is away.
  auto first = std::make_unique<PrivateXvfb>(500 + ::getpid() % 400);
  if (!first->running()) first = std::make_unique<PrivateXvfb>();
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

// Xlib's default handler ends the process on the first of these.
TEST(X11ProtocolErrorTest, ErrorsAreLoggedOrTrappedAndTheProcessGoesOn) {
  auto log = std::make_shared<kit::RecordingLogSink>();
  setXErrorLog(kit::Logger(log, "app.tillerpad.Tillerpad", "x11"));
  PrivateXvfb server;
  ASSERT_TRUE(server.running());
  std::unique_ptr<Display, DisplayCloser> d(openDisplay(server.name()));
  std::unique_ptr<Display, DisplayCloser> other(openDisplay(server.name()));
  ASSERT_TRUE(d && other);
  // A window id that names nothing: made by the second connection and destroyed.
  Window gone = XCreateSimpleWindow(other.get(), DefaultRootWindow(other.get()), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(other.get(), gone);
  XSync(other.get(), False);
  Atom property = XInternAtom(d.get(), "TILLERPAD_TEST", False);
  unsigned char byte = 1;
  auto changeProperty = [&](Display* display, Window w) {
    XChangeProperty(display, w, property, XA_CARDINAL, 8, PropModeReplace, &byte, 1);
  };

  auto lines = [&log](std::string_view fragment) {
    auto records = log->records();
    return std::ranges::count_if(records, [&](auto& r) { return r.text.find(fragment) != std::string::npos; });
  };
  // Unexpected: logged, and the connection stays usable.
  changeProperty(d.get(), gone);
  XSync(d.get(), False);
  EXPECT_EQ(lines("X protocol error BadWindow (3) in request 18.0 on resource 0x"), 1);
  EXPECT_NE(XInternAtom(d.get(), "TILLERPAD_TEST", True), 0u);
  EXPECT_FALSE(isDisplayLost(d.get()));

  for (bool fails : {true, false}) {
    SCOPED_TRACE(fails ? "bad window" : "good window");
    XErrorTrap trap(d.get());
    Window w = fails ? gone : DefaultRootWindow(d.get());
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int status = XGetWindowProperty(d.get(), w, property, 0, 1, False, AnyPropertyType, &type, &format, &count,
                                    &after, &data);
    if (data) XFree(data);
    changeProperty(d.get(), w);  // no reply: only the sync in check() sees its error
    EXPECT_EQ(std::pair(trap.check(), status == Success), std::pair(fails ? BadWindow : 0, !fails));
  }
  EXPECT_EQ(lines("X protocol error"), 1) << "trapped errors are not logged";

  // The log takes a line a second at most: let that second pass.
  std::this_thread::sleep_for(1100ms);
  // A trap on one connection leaves another connection's errors to the log.
  {
    XErrorTrap trap(d.get());
    changeProperty(other.get(), gone);
    XSync(other.get(), False);
    EXPECT_EQ(trap.check(), 0);
  }
  EXPECT_EQ(lines("X protocol error"), 2);
  // A flood is counted, not logged line by line...
  for (int i = 0; i < 200; ++i) changeProperty(other.get(), gone);
  XSync(other.get(), False);
  EXPECT_LE(lines("X protocol error"), 3);
  // ...and the count comes with the next line, a second later.
  std::this_thread::sleep_for(1100ms);
  changeProperty(other.get(), gone);
  XSync(other.get(), False);
  EXPECT_GE(lines("more since the last report"), 1);
}

}  // namespace
}  // namespace tillerpad::platform::linux_x11
