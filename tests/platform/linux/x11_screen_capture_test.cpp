// The X11 screen capture against an Xvfb of each test's own: pictures drawn
// by an X client come back through the capture and the JPEG encoder.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "host/screen/jpeg_encoder.h"
#include "platform/linux/x11_display.h"
#include "platform/linux/x11_screen_capture.h"
#include "tests/support/child_process.h"

// Last: Xlib's macros would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace tillerpad::platform::linux_x11 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kScreenW = 640, kScreenH = 480, kBlock = 80;

// Polls `condition` until it holds or `limit` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  for (auto end = Clock::now() + limit; !condition();) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Calls `call` with a completion and waits (bounded) for the values it gets.
template <class T, class Call>
std::optional<T> await(Call call) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  call([promise](auto... values) { promise->set_value(T{std::move(values)...}); });
  if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
  return future.get();
}

// Collects what a capture delivers.
struct Sink {
  struct Seen {
    int frames = 0;
    FrameRef last;
    std::vector<CaptureStop> stops;
  };
  std::mutex mutex;
  Seen state;

  CaptureHandlers handlers() {
    return {[this](FrameRef f) { std::lock_guard lock(mutex); ++state.frames; state.last = std::move(f); },
            [this](CaptureStop stop) { std::lock_guard lock(mutex); state.stops.push_back(std::move(stop)); }};
  }
  Seen seen() { std::lock_guard lock(mutex); return state; }
};

// The test's own X client, which draws on the root window (its resources go
// with its connection).
struct Painter {
  std::unique_ptr<Display, DisplayCloser> d;
  Window root = 0;
  GC gc = nullptr;
  explicit Painter(const std::string& name) : d(openDisplay(name)) {
    if (d) root = XDefaultRootWindow(d.get()), gc = XCreateGC(d.get(), root, 0, nullptr);
  }
  ~Painter() {
    if (gc) XFreeGC(d.get(), gc);
  }
  void fill(unsigned long rgb, int x, int y, int w, int h) {
    XSetForeground(d.get(), gc, rgb);
    XFillRectangle(d.get(), root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XSync(d.get(), False);
  }
  // Keeps changing a square at (x, 100) for `duration` or until `until` holds; returns `until`'s last answer.
  bool scribble(int x, std::chrono::milliseconds duration, const std::function<bool()>& until = [] { return false; }) {
    auto end = Clock::now() + duration;
    for (unsigned long i = 0; Clock::now() < end; ++i) {
      if (until()) return true;
      fill(0x010101 * (i % 200), x, 100, 40, 40);
      std::this_thread::sleep_for(30ms);
    }
    return until();
  }
  std::uint32_t addMonitor(const char* name, int x, int y, int w, int h) {
    Atom atom = XInternAtom(d.get(), name, False);
    XRRMonitorInfo* m = XRRAllocateMonitor(d.get(), 0);
    *m = XRRMonitorInfo{atom, False, False, 0, x, y, w, h, w / 4, h / 4, m->outputs};
    XRRSetMonitor(d.get(), root, m);
    XFree(m);
    XSync(d.get(), False);
    return static_cast<std::uint32_t>(atom);
  }
};

// A block pattern whose channels all differ, so swapped channels, shifted
// rows or a wrong offset show.
std::uint32_t patternColor(int x, int y) {
  int i = x / kBlock, j = y / kBlock;
  return std::uint32_t((i * 53 + j * 29 + 17) % 256) << 16 | std::uint32_t((i * 97 + j * 71 + 101) % 256) << 8 |
         std::uint32_t((i * 13 + j * 151 + 211) % 256);
}

// The PSNR of a JPEG's pixels against `expected` (0xRRGGBB, nothing where a
// pixel is not compared); 0 when it is not `width`×`height` or when fewer
// than half its pixels were compared.
double psnrOf(const std::vector<std::uint8_t>& jpeg, int width, int height,
              const std::function<std::optional<std::uint32_t>(int, int)>& expected) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
  tjhandle h = tjInitDecompress();
  int w = 0, ht = 0, subsampling = 0, colorspace = 0;
  bool decoded = tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &ht, &subsampling, &colorspace) == 0 &&
                 w == width && ht == height &&
                 tjDecompress2(h, jpeg.data(), jpeg.size(), pixels.data(), w, w * 4, ht, TJPF_BGRX, 0) == 0;
  tjDestroy(h);
  double error = 0;
  long samples = 0;
  for (int i = 0; decoded && i < width * height; ++i) {
    auto rgb = expected(i % width, i / width);
    for (int ch = 0; rgb && ch < 3; ++ch, ++samples) {
      double diff = double(pixels[std::size_t(i) * 4 + ch]) - double((*rgb >> (8 * ch)) & 0xff);
      error += diff * diff;
    }
  }
  if (samples < long(width) * height * 3 / 2) return 0;
  return error == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(samples) / error);
}

struct X11ScreenCaptureTest : ::testing::Test {
  test::PrivateXvfb server;
  Painter painter{server.name()};
  X11ScreenCapture capture{server.name(), kit::Logger(std::make_shared<kit::RecordingLogSink>(), "app", "screen")};

  void SetUp() override {
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(painter.d);
  }
  // The stream, null when it did not start; a started one has delivered its first frame.
  std::unique_ptr<CaptureStream> start(const CaptureConfig& config, Sink& sink) {
    using Started = std::pair<std::unique_ptr<CaptureStream>, std::optional<std::string>>;
    auto started = await<Started>([&](auto done) { capture.start(config, sink.handlers(), done); });
    EXPECT_TRUE(!started || !started->first || eventually([&] { return sink.seen().frames >= 1; })) << "no first frame";
    return started ? std::move(started->first) : nullptr;
  }
  std::optional<std::vector<CaptureDisplay>> displays() {
    return await<std::vector<CaptureDisplay>>([&](auto done) { capture.listDisplays(done); });
  }
  static bool stop(CaptureStream& stream) {
    return await<std::optional<std::string>>([&](auto done) { stream.stop(done); }).has_value();
  }
};

TEST_F(X11ScreenCaptureTest, DrawnPatternComesBackThroughCaptureAndJpeg) {
  for (int y = 0; y < kScreenH; y += kBlock) {
    for (int x = 0; x < kScreenW; x += kBlock) painter.fill(patternColor(x, y), x, y, kBlock, kBlock);
  }
  auto listed = displays();
  ASSERT_TRUE(listed && listed->size() == 1u);
  std::uint32_t screen = listed->front().id, right = painter.addMonitor("TEST-RIGHT", 320, 80, 320, 400);
  struct Case {
    std::uint32_t id;
    int left, top, sourceW, sourceH, width, height;
  };
  const Case cases[] = {
      {screen, 0, 0, 640, 480, 640, 480},
      {screen, 0, 0, 640, 480, 320, 240},
      {screen, 0, 0, 640, 480, 480, 360},
      {right, 320, 80, 320, 400, 160, 200},  // a monitor at an offset
  };
  auto encoder = host::makeTurboJpegEncoder();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.left << "," << c.top << " at " << c.width << "×" << c.height);
    Sink sink;
    auto stream = start(CaptureConfig{c.id, c.width, c.height, 0.05, false}, sink);
    ASSERT_TRUE(stream);
    std::vector<std::uint8_t> jpeg, rough;
    ASSERT_EQ(encoder->encode(*sink.seen().last, 0.7, jpeg), std::nullopt);
    // Pixels whose source area straddles two blocks are a blend: left out.
    double scaleX = double(c.sourceW) / c.width, scaleY = double(c.sourceH) / c.height;
    EXPECT_GE(psnrOf(jpeg, c.width, c.height, [&](int u, int v) -> std::optional<std::uint32_t> {
                int x0 = c.left + int(u * scaleX), x1 = c.left + int(std::ceil((u + 1) * scaleX)) - 1;
                int y0 = c.top + int(v * scaleY), y1 = c.top + int(std::ceil((v + 1) * scaleY)) - 1;
                if (x0 / kBlock != x1 / kBlock || y0 / kBlock != y1 / kBlock) return std::nullopt;
                return patternColor(x0, y0);
              }),
              30.0);
    ASSERT_EQ(encoder->encode(*sink.seen().last, 0.1, rough), std::nullopt);
    EXPECT_LT(rough.size(), jpeg.size()) << "a lower quality, fewer bytes";
    EXPECT_TRUE(stop(*stream));
  }
}

TEST_F(X11ScreenCaptureTest, OnlyChangesOnTheCapturedMonitorMakeFrames) {
  painter.fill(0x203040, 0, 0, kScreenW, kScreenH);
  // Only the left half is captured: drawing on the right half changes nothing.
  std::uint32_t left = painter.addMonitor("TEST-LEFT", 0, 0, 320, 480);
  Sink sink;
  auto stream = start(CaptureConfig{left, 160, 240, 0.02, true}, sink);
  ASSERT_TRUE(stream);
  painter.scribble(400, 2s);
  EXPECT_EQ(sink.seen().frames, 1) << "a still monitor delivers its first frame only";
  EXPECT_TRUE(painter.scribble(100, 5s, [&] { return sink.seen().frames >= 5; })) << "drawing makes frames flow";

  // A new size gives a frame at once, even on a still screen.
  EXPECT_EQ(await<std::optional<std::string>>(
                [&](auto done) { stream->update(CaptureConfig{left, 80, 120, 0.02, true}, done); }),
            std::make_optional(std::optional<std::string>()));
  EXPECT_TRUE(eventually([&] {
    auto f = sink.seen().last;
    return f && f->width == 80 && f->height == 120;
  }));
  EXPECT_TRUE(stop(*stream));
}

TEST_F(X11ScreenCaptureTest, CursorIsDrawnAtThePointer) {
  Display* d = painter.d.get();
  painter.fill(0x000000, 0, 0, kScreenW, kScreenH);
  // A solid green 16×16 cursor, hot spot at its top left corner (the X
  // server, and with it the cursor, goes with the test).
  Pixmap bits = XCreateBitmapFromData(d, painter.root, std::string(32, '\xff').data(), 16, 16);
  XColor green{0, 0, 0xffff, 0, DoRed | DoGreen | DoBlue, 0}, black{0, 0, 0, 0, DoRed | DoGreen | DoBlue, 0};
  Cursor cursor = XCreatePixmapCursor(d, bits, bits, &green, &black, 0, 0);
  XDefineCursor(d, painter.root, cursor);
  XSync(d, False);

  auto isGreen = [](const CapturedFrame& f, int x, int y) {
    const std::uint8_t* p = &f.pixels[static_cast<std::size_t>(y) * f.stride + static_cast<std::size_t>(x) * 4];
    return p[1] > 200 && p[0] < 60 && p[2] < 60;
  };
  auto listed = displays();
  ASSERT_TRUE(listed && !listed->empty());
  Sink sink;
  auto stream = start(CaptureConfig{listed->front().id, 320, 240, 0.02, true}, sink);  // halved
  ASSERT_TRUE(stream);
  for (auto [x, y] : {std::pair{100, 100}, {400, 300}, {620, 20}, {40, 400}}) {
    SCOPED_TRACE(::testing::Message() << "pointer at " << x << "," << y);
    XWarpPointer(d, None, painter.root, 0, 0, 0, 0, x, y);
    XSync(d, False);
    int cx = (x + 8) / 2, cy = (y + 8) / 2;
    EXPECT_TRUE(eventually([&] {
      auto f = sink.seen().last;
      return f && isGreen(*f, cx, cy);
    }));
    // Up and left of the hot spot, and far away, the screen stays black.
    auto f = sink.seen().last;
    EXPECT_FALSE(!f || isGreen(*f, (x - 6) / 2, (y - 6) / 2) || isGreen(*f, (cx + 160) % 320, (cy + 120) % 240));
  }
}

TEST_F(X11ScreenCaptureTest, MonitorsComeAndGoAndALostDisplayEndsTheCapture) {
  std::atomic<int> changes{0};
  capture.setDisplaysChangedHandler([&changes] { ++changes; });
  auto listed = displays();
  ASSERT_TRUE(listed && listed->size() == 1u);
  const CaptureDisplay screen = listed->front();
  EXPECT_EQ(screen, (CaptureDisplay{screen.id, screen.name, kScreenW, kScreenH, kScreenW, true, 0}));
  EXPECT_FALSE(screen.name.empty());

  std::uint32_t side = painter.addMonitor("TEST-SIDE", 200, 40, 400, 300);
  ASSERT_TRUE(eventually([&] { return changes.load() >= 1; }));
  // The same monitor keeps its id and description.
  listed = displays();
  ASSERT_TRUE(listed);
  std::sort(listed->begin(), listed->end(), [](auto& a, auto& b) { return a.isMain > b.isMain; });
  EXPECT_EQ(*listed, (std::vector<CaptureDisplay>{screen, {side, "TEST-SIDE", 400, 300, 400, false, 200}}));

  // Capturing the added monitor ends when it goes away; then it cannot be captured.
  Sink sink;
  auto stream = start(CaptureConfig{side, 200, 150, 0.05, true}, sink);
  ASSERT_TRUE(stream);
  int changesBefore = changes.load();
  XRRDeleteMonitor(painter.d.get(), painter.root, side);
  XSync(painter.d.get(), False);
  ASSERT_TRUE(eventually([&] { return !sink.seen().stops.empty(); }));
  EXPECT_FALSE(sink.seen().stops.front().byUser);
  EXPECT_TRUE(eventually([&] { return changes.load() > changesBefore; }));
  EXPECT_EQ(displays(), std::vector<CaptureDisplay>{screen});
  EXPECT_TRUE(stop(*stream));
  EXPECT_EQ(start(CaptureConfig{side, 200, 150, 0.05, true}, sink), nullptr);

  // The X server goes: the capture ends through `stopped`, once, and the process lives on.
  Sink lost;
  stream = start(CaptureConfig{screen.id, 320, 240, 0.05, true}, lost);
  ASSERT_TRUE(stream);
  server.stop();
  ASSERT_TRUE(eventually([&] { return !lost.seen().stops.empty(); }));
  EXPECT_EQ(lost.seen().stops.size(), 1u);
  EXPECT_FALSE(lost.seen().stops.front().byUser);
  EXPECT_TRUE(stop(*stream));
  EXPECT_EQ(displays(), std::vector<CaptureDisplay>{});
}

}  // namespace
}  // namespace tillerpad::platform::linux_x11
