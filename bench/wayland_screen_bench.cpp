// Screen frames per frame on a headless sway (1920×1080, pixman) and a
// headless Mutter (1920×1080 virtual monitor, frames over PipeWire) beside the
// same pipeline on a 1920×1080 Xvfb: the platform capture with frames handed
// to a consumer thread that encodes them to JPEG (1280×720, quality 0.7), as
// the frame pump uses them. A child keeps the screen changing all along (a
// full-screen window repainting on the compositors, an X client drawing on
// Xvfb). CPU is this process's user + system time; the compositor's or X
// server's share is not counted. Mutter paints at its monitor's 60 Hz.
//   build/bench/tillerpad_bench_wayland_screen [frames]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "host/screen/jpeg_encoder.h"
#include "platform/gnome/gnome_screen_capture.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/linux/x11_display.h"
#include "platform/linux/x11_screen_capture.h"
#include "platform/wlroots/wlr_screen_capture.h"
#include "tests/support/child_process.h"
#include "tests/support/wayland_pattern_window.h"
#include "tests/support/wayland_session.h"

#include <X11/Xlib.h>

namespace tillerpad::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kOutW = 1280, kOutH = 720;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  double cpuMs = 0, wallMs = 0;
  int frames = 0;
};

Figures measure(platform::ScreenCapture& capture, int frames) {
  auto listed = std::make_shared<std::promise<std::vector<platform::CaptureDisplay>>>();
  auto listedFuture = listed->get_future();
  capture.listDisplays([listed](std::vector<platform::CaptureDisplay> d) { listed->set_value(std::move(d)); });
  if (listedFuture.wait_for(10s) != std::future_status::ready) return {};
  auto displays = listedFuture.get();
  if (displays.empty()) return {};
  std::mutex m;
  std::condition_variable cv;
  std::deque<platform::FrameRef> queue;
  std::unique_ptr<platform::CaptureStream> stream;
  capture.start(platform::CaptureConfig{displays.front().id, kOutW, kOutH, 0.001, true},
                {[&](platform::FrameRef f) {
                   std::lock_guard lock(m);
                   queue.push_back(std::move(f));
                   cv.notify_all();
                 },
                 {}},
                [&](std::unique_ptr<platform::CaptureStream> s, std::optional<std::string>) {
                  std::lock_guard lock(m);
                  stream = std::move(s);
                });
  auto encoder = host::makeTurboJpegEncoder();
  std::vector<std::uint8_t> jpeg;
  Figures figures;
  Clock::time_point t0;
  double c0 = 0;
  for (int i = 0; i < 10 + frames; ++i) {
    if (i == 10) {
      t0 = Clock::now();
      c0 = cpuSeconds();
    }
    platform::FrameRef f;
    {
      std::unique_lock lock(m);
      if (!cv.wait_for(lock, 10s, [&] { return !queue.empty(); })) break;
      f = std::move(queue.front());
      queue.pop_front();
    }
    encoder->encode(*f, 0.7, jpeg);
    if (i >= 10) ++figures.frames;
  }
  if (figures.frames > 0) {
    figures.cpuMs = (cpuSeconds() - c0) * 1e3 / figures.frames;
    figures.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / figures.frames;
  }
  {
    std::lock_guard lock(m);
    queue.clear();
  }
  if (stream) {
    std::promise<void> stopped;
    stream->stop([&](std::optional<std::string>) { stopped.set_value(); });
    stopped.get_future().wait_for(5s);
  }
  return figures;
}

void row(const char* what, const Figures& f) {
  std::printf("%-48s %8d %14.2f %14.2f\n", what, f.frames, f.cpuMs, f.wallMs);
}

int main(int argc, char** argv) {
  int frames = argc > 1 ? std::atoi(argv[1]) : 200;
  std::printf("%-48s %8s %14s %14s\n", "1920x1080 -> 1280x720 JPEG q0.7", "frames", "CPU ms/frame", "wall ms/frame");

  test::PrivateSway sway("output HEADLESS-1 mode 1920x1080 position 0 0");
  if (!sway.running()) {
    std::printf("sway: %s\n", sway.skipReason().c_str());
  } else {
    // Forked before this process has threads; its CPU is not ours.
    pid_t painter = fork();
    if (painter == 0) {
      test::PatternWindow window(sway.socketPath(), 1920, 1080);
      for (unsigned i = 0;; ++i) {
        window.paint(i % 2 == 1);
        usleep(4000);
      }
    }
    std::this_thread::sleep_for(500ms);  // the window's first picture; the bench is not a test
    std::shared_ptr<platform::wlroots::WaylandConnection> connection = platform::wlroots::WaylandConnection::open(sway.socketPath(),
                                                                  platform::wlroots::WlrScreenCapture::wantedGlobals(),
                                                                  kit::Logger());
    if (connection) {
      platform::wlroots::WlrScreenCapture capture(connection, kit::Logger());
      row("sway: screencopy + damage + scale + encode", measure(capture, frames));
      row("sway: again", measure(capture, frames));
    }
    kill(painter, SIGKILL);
    waitpid(painter, nullptr, 0);
  }

  {
    test::PrivateMutter mutter("1920x1080");
    if (!mutter.running()) {
      std::printf("mutter: %s\n", mutter.whyNot().c_str());
    } else {
      pid_t painter = fork();
      if (painter == 0) {
        test::PatternWindow window(mutter.runtimeDir() + "/wayland-0", 1920, 1080);
        for (unsigned i = 0;; ++i) {
          window.paint(i % 2 == 1);
          usleep(4000);
        }
      }
      // PipeWire finds Mutter's through the runtime folder.
      for (const auto& [name, value] : mutter.environment()) ::setenv(name.c_str(), value.c_str(), 1);
      std::this_thread::sleep_for(500ms);
      platform::gnome::MutterRemoteDesktop::Options options;
      options.busAddress = mutter.busAddress();
      if (auto desktop = platform::gnome::MutterRemoteDesktop::open(options, kit::Logger())) {
        platform::gnome::GnomeScreenCapture capture(desktop, kit::Logger());
        row("mutter: screen cast + PipeWire + scale + encode", measure(capture, frames));
        row("mutter: again", measure(capture, frames));
      } else {
        std::printf("mutter: the remote desktop did not start\n");
      }
      kill(painter, SIGKILL);
      waitpid(painter, nullptr, 0);
    }
  }

  platform::linux_x11::prepareXlib();
  test::PrivateXvfb server(-1, "1920x1080x24");
  if (!server.running()) {
    std::printf("Xvfb did not start\n");
    return 0;
  }
  pid_t drawer = fork();
  if (drawer == 0) {
    Display* d = XOpenDisplay(server.name().c_str());
    if (!d) _exit(1);
    GC gc = XCreateGC(d, XDefaultRootWindow(d), 0, nullptr);
    for (unsigned long i = 0;; ++i) {
      XSetForeground(d, gc, (i * 0x10305) & 0xffffff);
      XFillRectangle(d, XDefaultRootWindow(d), gc, static_cast<int>(i * 37 % 1800), 20, 120, 400);
      XSync(d, False);
      usleep(4000);
    }
  }
  {
    platform::linux_x11::X11ScreenCapture capture(server.name(), kit::Logger());
    row("X11: XShm + XDamage + scale + encode", measure(capture, frames));
    row("X11: again", measure(capture, frames));
  }
  kill(drawer, SIGKILL);
  waitpid(drawer, nullptr, 0);
  return 0;
}

}  // namespace
}  // namespace tillerpad::bench

int main(int argc, char** argv) { return tillerpad::bench::main(argc, argv); }
