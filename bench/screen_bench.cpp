// Screen frames on a 1920×1080 Xvfb of the bench's own, streamed at 1280 px:
//  - the X11 capture (XDamage, MIT-SHM read, cursor, ARGBScale) with the
//    turbojpeg encoder on a consumer thread, as the frame pump uses them;
//  - the floor: one thread doing XShmGetImage + ARGBScale + tjCompress2;
//  - ffmpeg's x11grab + scale + mjpeg on the same server, at the -q:v whose
//    PSNR is nearest to ours at quality 0.7 (skipped when ffmpeg is absent);
//  - a still screen for 10 s at 10 frames per second: frames and CPU.
// A child process keeps changing a corner of the screen so that every tick
// has damage. CPU is this process's (or ffmpeg's) user + system time; the
// X server's share is not counted for any of them. Prints a table.
//   build-rel/bench/tillerpad_bench_screen [frames]
#include <signal.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include <libyuv/scale_argb.h>

#include "host/screen/jpeg_encoder.h"
#include "platform/linux/x11_display.h"
#include "platform/linux/x11_screen_capture.h"
#include "tests/support/child_process.h"

// Last: Xlib's macros clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace tillerpad::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kW = 1920, kH = 1080, kOutW = 1280, kOutH = 720;
constexpr double kQuality = 0.7;

double cpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double psnrBgrx(const unsigned char* a, int strideA, const unsigned char* b, int strideB, int w, int h) {
  double err = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        double d = double(a[std::size_t(y) * strideA + std::size_t(x) * 4 + c]) - double(b[std::size_t(y) * strideB + std::size_t(x) * 4 + c]);
        err += d * d;
      }
    }
  }
  double mse = err / (double(w) * h * 3);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<unsigned char> decodeJpeg(const unsigned char* data, std::size_t size, int& w, int& h) {
  tjhandle t = tjInitDecompress();
  int sub = 0, cs = 0;
  std::vector<unsigned char> out;
  if (tjDecompressHeader3(t, data, static_cast<unsigned long>(size), &w, &h, &sub, &cs) == 0) {
    out.resize(std::size_t(w) * h * 4);
    if (tjDecompress2(t, data, static_cast<unsigned long>(size), out.data(), w, w * 4, h, TJPF_BGRX, 0) != 0) out.clear();
  }
  tjDestroy(t);
  return out;
}

// Something like a desktop: a gradient, flat windows, and rows of "text".
void paintDesktop(Display* d) {
  std::vector<char> pixels(std::size_t(kW) * kH * 4);
  std::mt19937 random(7);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      auto* p = reinterpret_cast<unsigned char*>(&pixels[(std::size_t(y) * kW + x) * 4]);
      p[0] = static_cast<unsigned char>(120 + y / 10);
      p[1] = static_cast<unsigned char>(60 + x / 20);
      p[2] = static_cast<unsigned char>(40);
      bool window = (x > 150 && x < 1100 && y > 100 && y < 800) || (x > 900 && x < 1800 && y > 400 && y < 1000);
      if (window) p[0] = p[1] = p[2] = 245;
      if (window && (y / 18) % 2 == 0 && (y % 18) > 4 && x % 300 < 260 && random() % 3 == 0) p[0] = p[1] = p[2] = 20;
    }
  }
  int screen = XDefaultScreen(d);
  XImage* image = XCreateImage(d, XDefaultVisual(d, screen), static_cast<unsigned>(XDefaultDepth(d, screen)), ZPixmap, 0,
                               pixels.data(), kW, kH, 32, 0);
  GC gc = XCreateGC(d, XDefaultRootWindow(d), 0, nullptr);
  XPutImage(d, XDefaultRootWindow(d), gc, image, 0, 0, 0, 0, kW, kH);
  XWarpPointer(d, None, XDefaultRootWindow(d), 0, 0, 0, 0, 700, 500);
  XSync(d, False);
  image->data = nullptr;
  XDestroyImage(image);
  XFreeGC(d, gc);
}

// A child that changes a small square about every 4 ms until stopped.
pid_t startDrawer(const std::string& name) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  Display* d = XOpenDisplay(name.c_str());
  if (!d) _exit(1);
  GC gc = XCreateGC(d, XDefaultRootWindow(d), 0, nullptr);
  for (unsigned long i = 0;; ++i) {
    XSetForeground(d, gc, (i * 0x10305) & 0xffffff);
    XFillRectangle(d, XDefaultRootWindow(d), gc, 1800, 20, 60, 60);
    XSync(d, False);
    usleep(4000);
  }
}

struct Figures {
  double cpuPerFrame = 0, wallPerFrame = 0;
  int frames = 0;
};

// The capture's displays, waited for (at most 10 s; none after that).
std::vector<platform::CaptureDisplay> displaysOf(platform::ScreenCapture& capture) {
  auto listed = std::make_shared<std::promise<std::vector<platform::CaptureDisplay>>>();
  auto future = listed->get_future();
  capture.listDisplays([listed](std::vector<platform::CaptureDisplay> d) { listed->set_value(std::move(d)); });
  if (future.wait_for(10s) != std::future_status::ready) return {};
  return future.get();
}

// The capture as the pump uses it: frames handed to another thread that encodes.
Figures runCapture(const std::string& name, int frames, double& psnr) {
  platform::linux_x11::X11ScreenCapture capture(name, kit::Logger());
  std::mutex m;
  std::condition_variable cv;
  std::deque<platform::FrameRef> queue;
  auto displays = displaysOf(capture);
  if (displays.empty()) return {};
  std::unique_ptr<platform::CaptureStream> stream;
  bool started = false;
  platform::CaptureHandlers handlers{[&](platform::FrameRef f) {
                                       std::lock_guard lock(m);
                                       queue.push_back(std::move(f));
                                       cv.notify_all();
                                     },
                                     {}};
  capture.start(platform::CaptureConfig{displays.front().id, kOutW, kOutH, 0.001, true}, handlers,
                [&](std::unique_ptr<platform::CaptureStream> s, std::optional<std::string>) {
                  std::lock_guard lock(m);
                  stream = std::move(s);
                  started = true;
                  cv.notify_all();
                });
  auto encoder = host::makeTurboJpegEncoder();
  std::vector<std::uint8_t> jpeg;
  auto next = [&]() -> platform::FrameRef {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, 10s, [&] { return !queue.empty(); })) return nullptr;
    auto f = std::move(queue.front());
    queue.pop_front();
    return f;
  };
  const int warmUp = 10;
  Figures figures;
  Clock::time_point t0;
  double c0 = 0;
  for (int i = 0; i < warmUp + frames; ++i) {
    if (i == warmUp) {
      t0 = Clock::now();
      c0 = cpuSeconds();
    }
    auto f = next();
    if (!f) break;
    encoder->encode(*f, kQuality, jpeg);
    if (i == 0) {
      int w = 0, h = 0;
      auto decoded = decodeJpeg(jpeg.data(), jpeg.size(), w, h);
      psnr = psnrBgrx(decoded.data(), w * 4, f->pixels.data(), f->stride, w, h);
    }
    if (i >= warmUp) ++figures.frames;
  }
  figures.cpuPerFrame = (cpuSeconds() - c0) / figures.frames;
  figures.wallPerFrame = since(t0) / figures.frames;
  {
    std::unique_lock lock(m);
    queue.clear();
  }
  if (stream) {
    std::promise<void> stopped;
    stream->stop([&](std::optional<std::string>) { stopped.set_value(); });
    stopped.get_future().wait_for(5s);
  }
  return figures;
}

// The same work in one bare loop.
Figures runFloor(const std::string& name, int frames) {
  Display* d = XOpenDisplay(name.c_str());
  int screen = XDefaultScreen(d);
  XShmSegmentInfo shm{};
  XImage* image = XShmCreateImage(d, XDefaultVisual(d, screen), static_cast<unsigned>(XDefaultDepth(d, screen)), ZPixmap,
                                  nullptr, &shm, kW, kH);
  shm.shmid = shmget(IPC_PRIVATE, std::size_t(image->bytes_per_line) * kH, IPC_CREAT | 0600);
  shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
  XShmAttach(d, &shm);
  XSync(d, False);
  shmctl(shm.shmid, IPC_RMID, nullptr);
  std::vector<unsigned char> scaled(std::size_t(kOutW) * kOutH * 4);
  tjhandle tj = tjInitCompress();
  unsigned long capacity = tjBufSize(kOutW, kOutH, TJSAMP_420);
  unsigned char* out = tjAlloc(static_cast<int>(capacity));
  Figures figures;
  Clock::time_point t0;
  double c0 = 0;
  for (int i = 0; i < 10 + frames; ++i) {
    if (i == 10) {
      t0 = Clock::now();
      c0 = cpuSeconds();
    }
    XShmGetImage(d, XDefaultRootWindow(d), image, 0, 0, AllPlanes);
    libyuv::ARGBScale(reinterpret_cast<unsigned char*>(image->data), image->bytes_per_line, kW, kH, scaled.data(), kOutW * 4,
                      kOutW, kOutH, libyuv::kFilterBox);
    unsigned long size = capacity;
    tjCompress2(tj, scaled.data(), kOutW, kOutW * 4, kOutH, TJPF_BGRX, &out, &size, TJSAMP_420,
                int(std::lround(kQuality * 100)), TJFLAG_NOREALLOC);
    if (i >= 10) ++figures.frames;
  }
  figures.cpuPerFrame = (cpuSeconds() - c0) / figures.frames;
  figures.wallPerFrame = since(t0) / figures.frames;
  tjFree(out);
  tjDestroy(tj);
  XShmDetach(d, &shm);
  XSync(d, False);
  shmdt(shm.shmaddr);
  image->data = nullptr;
  XDestroyImage(image);
  XCloseDisplay(d);
  return figures;
}

// Runs a shell command; its CPU time (user + system) and wall time.
bool runTimed(const std::string& command, double& cpu, double& wall) {
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage u{};
  wait4(pid, &status, 0, &u);
  wall = since(t0);
  cpu = double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int main(int argc, char** argv) {
  int frames = argc > 1 ? std::atoi(argv[1]) : 300;
  platform::linux_x11::prepareXlib();
  test::PrivateXvfb server(-1, "1920x1080x24");
  if (!server.running()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  {
    Display* d = XOpenDisplay(server.name().c_str());
    paintDesktop(d);
    XCloseDisplay(d);
  }
  pid_t drawer = startDrawer(server.name());
  std::printf("Xvfb %dx%d, frames %dx%d, JPEG 4:2:0, %d frames each, the screen changing all along\n\n", kW, kH, kOutW, kOutH,
              frames);
  double ourPsnr = 0;
  Figures ours = runCapture(server.name(), frames, ourPsnr);
  Figures floor = runFloor(server.name(), frames);
  Figures ours2 = runCapture(server.name(), frames, ourPsnr);
  Figures floor2 = runFloor(server.name(), frames);
  std::printf("%-52s %12s %12s\n", "", "CPU ms/frame", "wall ms/frame");
  auto row = [](const char* what, const Figures& f) {
    std::printf("%-52s %12.2f %12.2f\n", what, f.cpuPerFrame * 1e3, f.wallPerFrame * 1e3);
  };
  row("capture + cursor + scale + encode (run 1)", ours);
  row("capture + cursor + scale + encode (run 2)", ours2);
  row("floor: XShmGetImage + ARGBScale + tjCompress2 (1)", floor);
  row("floor: XShmGetImage + ARGBScale + tjCompress2 (2)", floor2);
  double oursCpu = std::min(ours.cpuPerFrame, ours2.cpuPerFrame);
  double floorCpu = std::min(floor.cpuPerFrame, floor2.cpuPerFrame);
  std::printf("ours / floor, CPU (best of two): %.2f×\n", oursCpu / floorCpu);
  std::printf("our PSNR at quality %.2f: %.1f dB\n", kQuality, ourPsnr);

  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
    std::printf("ffmpeg: not installed, comparison skipped (apt-get install ffmpeg)\n");
  } else {
    char dir[] = "/tmp/tillerpad-screen-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string tmp = dir;
    auto grab = [&](const std::string& inputOptions) {
      return "ffmpeg -nostdin -loglevel error -y -f x11grab " + inputOptions + " -video_size 1920x1080 -draw_mouse 1 -i " +
             server.name() + " ";
    };
    const std::string input = grab("");
    const std::string scale = "-vf scale=1280:-2 ";
    // The quality to compare at: the -q:v whose PSNR is nearest to ours, on a still screen.
    kill(drawer, SIGSTOP);
    double cpu = 0, wall = 0;
    runTimed(input + scale + "-frames:v 1 -pix_fmt bgr0 -f rawvideo " + tmp + "/raw.bin", cpu, wall);
    std::string raw = readFile(tmp + "/raw.bin");
    int bestQ = 0;
    double bestPsnr = 0;
    for (int q : {2, 3, 4, 5, 6, 8, 10, 13}) {
      std::string jpg = tmp + "/q" + std::to_string(q) + ".jpg";
      runTimed(input + scale + "-frames:v 1 -pix_fmt yuvj420p -c:v mjpeg -q:v " + std::to_string(q) + " " + jpg, cpu, wall);
      std::string bytes = readFile(jpg);
      int w = 0, h = 0;
      auto decoded = decodeJpeg(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), w, h);
      if (decoded.empty() || raw.size() < std::size_t(w) * h * 4) continue;
      double p = psnrBgrx(decoded.data(), w * 4, reinterpret_cast<const unsigned char*>(raw.data()), w * 4, w, h);
      std::printf("ffmpeg mjpeg -q:v %-2d PSNR %.1f dB, %zu bytes\n", q, p, bytes.size());
      if (bestQ == 0 || std::abs(p - ourPsnr) < std::abs(bestPsnr - ourPsnr)) {
        bestQ = q;
        bestPsnr = p;
      }
    }
    kill(drawer, SIGCONT);
    if (bestQ == 0) {
      std::printf("ffmpeg: no usable output, comparison skipped\n");
    } else {
      // Start-up costs cancel out between a short and a long run.
      auto run = [&](int n, double& c, double& t) {
        // Unpaced; frames within one millisecond would share a timestamp, hence setpts.
        return runTimed(grab("-framerate 1000") + "-vf scale=1280:-2,setpts=N -pix_fmt yuvj420p -c:v mjpeg -q:v " + std::to_string(bestQ) + " -frames:v " +
                            std::to_string(n) + " -f null -",
                        c, t);
      };
      double c1 = 0, t1 = 0, c2 = 0, t2 = 0;
      bool ok = run(30, c1, t1) && run(30 + frames, c2, t2);
      Figures ff{(c2 - c1) / frames, (t2 - t1) / frames, frames};
      char what[80];
      std::snprintf(what, sizeof what, "ffmpeg x11grab + scale + mjpeg -q:v %d (%.1f dB)", bestQ, bestPsnr);
      if (ok) {
        row(what, ff);
        std::printf("ours / ffmpeg, CPU: %.2f×\n", oursCpu / ff.cpuPerFrame);
      } else {
        std::printf("ffmpeg failed\n");
      }
    }
    std::system(("rm -rf " + tmp).c_str());
  }

  // A still screen at the default ladder level's 10 frames per second.
  kill(drawer, SIGKILL);
  waitpid(drawer, nullptr, 0);
  {
    platform::linux_x11::X11ScreenCapture capture(server.name(), kit::Logger());
    std::mutex m;
    std::condition_variable cv;
    auto displays = displaysOf(capture);
    int count = 0;
    std::unique_ptr<platform::CaptureStream> stream;
    platform::CaptureHandlers handlers{[&](platform::FrameRef) {
                                         std::lock_guard lock(m);
                                         ++count;
                                         cv.notify_all();
                                       },
                                       {}};
    capture.start(platform::CaptureConfig{displays.empty() ? 0u : displays.front().id, kOutW, kOutH, 0.1, true}, handlers,
                  [&](std::unique_ptr<platform::CaptureStream> s, std::optional<std::string>) {
                    std::lock_guard lock(m);
                    stream = std::move(s);
                  });
    {
      std::unique_lock lock(m);
      cv.wait_for(lock, 10s, [&] { return count >= 1; });
    }
    std::this_thread::sleep_for(500ms);
    double c0 = cpuSeconds();
    auto t0 = Clock::now();
    int before = count;
    std::this_thread::sleep_for(10s);
    double cpu = cpuSeconds() - c0, wall = since(t0);
    std::printf("still screen, 10 fps, %.1f s: %d frames after the first, CPU %.3f %% of a core\n", wall, count - before,
                100 * cpu / wall);
    std::lock_guard lock(m);
    if (stream) stream->stop([](std::optional<std::string>) {});
  }
  return 0;
}

}  // namespace
}  // namespace tillerpad::bench

int main(int argc, char** argv) { return tillerpad::bench::main(argc, argv); }
