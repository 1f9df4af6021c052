// The X11 screen capture against an Xvfb of each test's own: pictures drawn
// by an X client come back through the capture and the JPEG encoder.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
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

constexpr int kScreenW = 640, kScreenH = 480, kBlock = 80;

// Polls `condition` until it holds or `limit` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Collects what a capture delivers.
struct Sink {
  std::mutex mutex;
  std::vector<FrameRef> held;  // kept only while `hold` is set
  FrameRef last;
  int frames = 0;
  bool hold = false;
  std::vector<CaptureStop> stops;

  CaptureHandlers handlers() {
    return CaptureHandlers{[this](FrameRef f) {
                             std::lock_guard lock(mutex);
                             ++frames;
                             if (hold) held.push_back(f);
                             last = std::move(f);
                             if (hold) last.reset();
                           },
                           [this](CaptureStop stop) {
                             std::lock_guard lock(mutex);
                             stops.push_back(std::move(stop));
                           }};
  }
  int count() {
    std::lock_guard lock(mutex);
    return frames;
  }
  FrameRef latest() {
    std::lock_guard lock(mutex);
    return last;
  }
};

std::unique_ptr<CaptureStream> startCapture(ScreenCapture& capture, const CaptureConfig& config, Sink& sink,
                                            std::string* error = nullptr) {
  auto result = std::make_shared<std::promise<std::pair<std::unique_ptr<CaptureStream>, std::optional<std::string>>>>();
  auto future = result->get_future();
  capture.start(config, sink.handlers(), [result](std::unique_ptr<CaptureStream> s, std::optional<std::string> e) {
    result->set_value({std::move(s), std::move(e)});
  });
  if (future.wait_for(10s) != std::future_status::ready) return nullptr;
  auto [stream, e] = future.get();
  if (error && e) *error = *e;
  return std::move(stream);
}

std::optional<std::vector<CaptureDisplay>> listNow(ScreenCapture& capture) {
  auto result = std::make_shared<std::promise<std::vector<CaptureDisplay>>>();
  auto future = result->get_future();
  capture.listDisplays([result](std::vector<CaptureDisplay> d) { result->set_value(std::move(d)); });
  if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
  return future.get();
}

bool stopNow(CaptureStream& stream) {
  auto result = std::make_shared<std::promise<void>>();
  auto future = result->get_future();
  stream.stop([result](std::optional<std::string>) { result->set_value(); });
  return future.wait_for(10s) == std::future_status::ready;
}

// The test's own X client, which draws on the root window.
struct Painter {
  std::unique_ptr<Display, DisplayCloser> d;
  Window root = 0;
  GC gc = nullptr;
  explicit Painter(const std::string& name) : d(openDisplay(name)) {
    if (!d) return;
    root = XDefaultRootWindow(d.get());
    gc = XCreateGC(d.get(), root, 0, nullptr);
  }
  ~Painter() {
    if (gc && d && !isDisplayLost(d.get())) XFreeGC(d.get(), gc);
  }
  void fill(unsigned long rgb, int x, int y, int w, int h) {
    XSetForeground(d.get(), gc, rgb);
    XFillRectangle(d.get(), root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XSync(d.get(), False);
  }
  Atom addMonitor(const char* name, int x, int y, int w, int h) {
    Atom atom = XInternAtom(d.get(), name, False);
    XRRMonitorInfo* m = XRRAllocateMonitor(d.get(), 0);
    m->name = atom;
    m->x = x;
    m->y = y;
    m->width = w;
    m->height = h;
    m->mwidth = w / 4;
    m->mheight = h / 4;
    XRRSetMonitor(d.get(), root, m);
    XFree(m);
    XSync(d.get(), False);
    return atom;
  }
  void deleteMonitor(Atom atom) {
    XRRDeleteMonitor(d.get(), root, atom);
    XSync(d.get(), False);
  }
};

// A block pattern whose channels all differ, so swapped channels, shifted
// rows or a wrong offset show.
unsigned long patternColor(int x, int y) {
  int i = x / kBlock, j = y / kBlock;
  unsigned long r = static_cast<unsigned long>((i * 53 + j * 29 + 17) % 256);
  unsigned long g = static_cast<unsigned long>((i * 97 + j * 71 + 101) % 256);
  unsigned long b = static_cast<unsigned long>((i * 13 + j * 151 + 211) % 256);
  return r << 16 | g << 8 | b;
}

double psnr(double squaredError, long samples) {
  if (samples == 0) return 0;
  double mse = squaredError / static_cast<double>(samples);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<unsigned char> decode(const std::vector<std::uint8_t>& jpeg, int& width, int& height) {
  tjhandle h = tjInitDecompress();
  int subsampling = 0, colorspace = 0;
  std::vector<unsigned char> out;
  if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colorspace) == 0) {
    out.resize(static_cast<std::size_t>(width) * height * 4);
    if (tjDecompress2(h, jpeg.data(), jpeg.size(), out.data(), width, width * 4, height, TJPF_BGRX, 0) != 0) out.clear();
  }
  tjDestroy(h);
  return out;
}

struct XvfbFixture : ::testing::Test {
  test::PrivateXvfb server;
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  void SetUp() override { ASSERT_TRUE(server.running()); }
  kit::Logger logger() { return kit::Logger(log, "app.tillerpad.Tillerpad", "screen"); }
};

using X11ScreenCaptureTest = XvfbFixture;

TEST_F(X11ScreenCaptureTest, DrawnPatternComesBackThroughCaptureAndJpeg) {
  Painter painter(server.name());
  ASSERT_TRUE(painter.d);
  for (int y = 0; y < kScreenH; y += kBlock) {
    for (int x = 0; x < kScreenW; x += kBlock) painter.fill(patternColor(x, y), x, y, kBlock, kBlock);
  }
  X11ScreenCapture capture(server.name(), logger());
  auto displays = listNow(capture);
  ASSERT_TRUE(displays && displays->size() == 1u);
  std::uint32_t screenID = displays->front().id;
  Atom right = painter.addMonitor("TEST-RIGHT", 320, 80, 320, 400);

  struct Case {
    const char* name;
    std::uint32_t id;
    int left, top, sourceW, sourceH;
    int width, height;
  };
  const Case cases[] = {
      {"whole screen, same size", screenID, 0, 0, 640, 480, 640, 480},
      {"whole screen, halved", screenID, 0, 0, 640, 480, 320, 240},
      {"whole screen, three quarters", screenID, 0, 0, 640, 480, 480, 360},
      {"monitor at an offset, halved", static_cast<std::uint32_t>(right), 320, 80, 320, 400, 160, 200},
  };
  auto encoder = host::makeTurboJpegEncoder();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sink sink;
    auto stream = startCapture(capture, CaptureConfig{c.id, c.width, c.height, 0.05, false}, sink);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(eventually([&] { return sink.count() >= 1; }));
    FrameRef frame = sink.latest();
    ASSERT_EQ(frame->width, c.width);
    ASSERT_EQ(frame->height, c.height);
    std::vector<std::uint8_t> jpeg;
    ASSERT_EQ(encoder->encode(*frame, 0.7, jpeg), std::nullopt);
    int w = 0, h = 0;
    auto pixels = decode(jpeg, w, h);
    ASSERT_EQ(w, c.width);
    ASSERT_EQ(h, c.height);
    ASSERT_FALSE(pixels.empty());
    // Pixels whose source area straddles two blocks are a blend: left out.
    double scaleX = double(c.sourceW) / c.width, scaleY = double(c.sourceH) / c.height;
    double error = 0;
    long samples = 0;
    for (int v = 0; v < h; ++v) {
      int y0 = c.top + int(v * scaleY), y1 = c.top + int(std::ceil((v + 1) * scaleY)) - 1;
      if (y0 / kBlock != y1 / kBlock) continue;
      for (int u = 0; u < w; ++u) {
        int x0 = c.left + int(u * scaleX), x1 = c.left + int(std::ceil((u + 1) * scaleX)) - 1;
        if (x0 / kBlock != x1 / kBlock) continue;
        unsigned long expected = patternColor(x0, y0);
        const unsigned char* p = &pixels[(static_cast<std::size_t>(v) * w + u) * 4];
        for (int ch = 0; ch < 3; ++ch) {
          double diff = double(p[ch]) - double((expected >> (8 * ch)) & 0xff);
          error += diff * diff;
          ++samples;
        }
      }
    }
    EXPECT_GT(samples, long(w) * h * 3 / 2);
    EXPECT_GE(psnr(error, samples), 30.0);
    EXPECT_TRUE(stopNow(*stream));
  }
}

TEST_F(X11ScreenCaptureTest, StillScreenGivesOneFrameDrawingGivesMoreWithinThePool) {
  Painter painter(server.name());
  ASSERT_TRUE(painter.d);
  painter.fill(0x203040, 0, 0, kScreenW, kScreenH);
  X11ScreenCapture capture(server.name(), logger());
  // Only the left half is captured: drawing on the right half changes nothing.
  Atom left = painter.addMonitor("TEST-LEFT", 0, 0, 320, 480);
  Sink sink;
  auto stream = startCapture(capture, CaptureConfig{static_cast<std::uint32_t>(left), 160, 240, 0.02, true}, sink);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(eventually([&] { return sink.count() == 1; }));
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(sink.count(), 1) << "a still screen delivers only its first frame";

  auto drawFor = [&](int x, std::chrono::milliseconds duration, const std::function<bool()>& until) {
    auto end = std::chrono::steady_clock::now() + duration;
    for (unsigned long i = 0; std::chrono::steady_clock::now() < end && !until(); ++i) {
      painter.fill(0x010101 * (i % 200), x, 100, 40, 40);
      std::this_thread::sleep_for(30ms);
    }
  };
  drawFor(400, 1s, [] { return false; });
  EXPECT_EQ(sink.count(), 1) << "damage outside the captured monitor";
  drawFor(100, 5s, [&] { return sink.count() >= 5; });
  EXPECT_GE(sink.count(), 5) << "drawing makes frames flow";

  // A consumer that keeps every frame: the capture stops at its pool.
  {
    std::lock_guard lock(sink.mutex);
    sink.hold = true;
    sink.last.reset();
  }
  int before = sink.count();
  drawFor(100, 1500ms, [] { return false; });
  int whileHeld = sink.count() - before;
  EXPECT_GE(whileHeld, 1);
  EXPECT_LE(whileHeld, 4);
  {
    std::lock_guard lock(sink.mutex);
    sink.hold = false;
    sink.held.clear();
  }
  before = sink.count();
  drawFor(100, 5s, [&] { return sink.count() >= before + 3; });
  EXPECT_GE(sink.count(), before + 3) << "frames flow again once returned";

  // A new size gives a frame at once, even on a still screen.
  auto updated = std::make_shared<std::promise<std::optional<std::string>>>();
  stream->update(CaptureConfig{static_cast<std::uint32_t>(left), 80, 120, 0.02, true},
                 [updated](std::optional<std::string> e) { updated->set_value(e); });
  auto result = updated->get_future();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), std::nullopt);
  EXPECT_TRUE(eventually([&] {
    auto f = sink.latest();
    return f && f->width == 80 && f->height == 120;
  }));

  // After the stop's completion nothing more arrives.
  std::thread drawer([&] { drawFor(100, 1500ms, [] { return false; }); });
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(stopNow(*stream));
  int atStop = sink.count();
  drawer.join();
  EXPECT_EQ(sink.count(), atStop);
  EXPECT_TRUE(sink.stops.empty());
}

TEST_F(X11ScreenCaptureTest, CursorIsDrawnAtThePointer) {
  Painter painter(server.name());
  ASSERT_TRUE(painter.d);
  Display* d = painter.d.get();
  painter.fill(0x000000, 0, 0, kScreenW, kScreenH);
  // A solid green 16×16 cursor, hot spot at its top left corner.
  Pixmap bits = XCreatePixmap(d, painter.root, 16, 16, 1);
  GC gc1 = XCreateGC(d, bits, 0, nullptr);
  XSetForeground(d, gc1, 1);
  XFillRectangle(d, bits, gc1, 0, 0, 16, 16);
  XColor green{}, black{};
  green.green = 0xffff;
  green.flags = black.flags = DoRed | DoGreen | DoBlue;
  Cursor cursor = XCreatePixmapCursor(d, bits, bits, &green, &black, 0, 0);
  XDefineCursor(d, painter.root, cursor);
  XSync(d, False);

  auto isGreen = [](const CapturedFrame& f, int x, int y) {
    const std::uint8_t* p = &f.pixels[static_cast<std::size_t>(y) * f.stride + static_cast<std::size_t>(x) * 4];
    return p[1] > 200 && p[0] < 60 && p[2] < 60;
  };
  struct Case {
    const char* name;
    int width, height;
    std::vector<std::pair<int, int>> positions;  // moved to in turn while capturing
  };
  const Case cases[] = {
      {"full size", 640, 480, {{100, 100}, {400, 300}, {620, 20}}},
      {"halved", 320, 240, {{200, 160}, {40, 400}}},
  };
  X11ScreenCapture capture(server.name(), logger());
  auto displays = listNow(capture);
  ASSERT_TRUE(displays && !displays->empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sink sink;
    XWarpPointer(d, None, painter.root, 0, 0, 0, 0, c.positions[0].first, c.positions[0].second);
    XSync(d, False);
    auto stream = startCapture(capture, CaptureConfig{displays->front().id, c.width, c.height, 0.02, true}, sink);
    ASSERT_TRUE(stream);
    double scale = double(c.width) / kScreenW;
    for (auto [x, y] : c.positions) {
      SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
      XWarpPointer(d, None, painter.root, 0, 0, 0, 0, x, y);
      XSync(d, False);
      int cx = int((x + 8) * scale), cy = int((y + 8) * scale);
      EXPECT_TRUE(eventually([&] {
        auto f = sink.latest();
        return f && isGreen(*f, cx, cy);
      }));
      auto f = sink.latest();
      ASSERT_TRUE(f);
      // Up and left of the hot spot, and far away, the screen stays black.
      int ox = int((x - 6) * scale), oy = int((y - 6) * scale);
      EXPECT_FALSE(isGreen(*f, ox, oy));
      EXPECT_FALSE(isGreen(*f, (cx + c.width / 2) % c.width, (cy + c.height / 2) % c.height));
    }
    EXPECT_TRUE(stopNow(*stream));
  }
  XFreeCursor(d, cursor);
  XFreeGC(d, gc1);
  XFreePixmap(d, bits);
}

TEST_F(X11ScreenCaptureTest, MonitorsAreListedAndTheirChangesReported) {
  Painter painter(server.name());
  ASSERT_TRUE(painter.d);
  X11ScreenCapture capture(server.name(), logger());
  std::atomic<int> changes{0};
  capture.setDisplaysChangedHandler([&changes] { ++changes; });

  auto before = listNow(capture);
  ASSERT_TRUE(before && before->size() == 1u);
  const CaptureDisplay screen = before->front();
  EXPECT_TRUE(screen.isMain);
  EXPECT_EQ(screen.pointWidth, kScreenW);
  EXPECT_EQ(screen.pointHeight, kScreenH);
  EXPECT_EQ(screen.pixelWidth, kScreenW);
  EXPECT_FALSE(screen.name.empty());

  Atom side = painter.addMonitor("TEST-SIDE", 200, 40, 400, 300);
  ASSERT_TRUE(eventually([&] { return changes.load() >= 1; }));
  auto after = listNow(capture);
  ASSERT_TRUE(after && after->size() == 2u);
  const CaptureDisplay* added = nullptr;
  for (const auto& d : *after) {
    if (d.id == screen.id) {
      EXPECT_EQ(d, screen) << "the same monitor keeps its id and description";
    }
    if (d.id == static_cast<std::uint32_t>(side)) added = &d;
  }
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->name, "TEST-SIDE");
  EXPECT_EQ(added->left, 200);
  EXPECT_EQ(added->pointWidth, 400);
  EXPECT_EQ(added->pointHeight, 300);
  EXPECT_FALSE(added->isMain);

  // Capturing the added monitor ends when it goes away.
  Sink sink;
  auto stream = startCapture(capture, CaptureConfig{static_cast<std::uint32_t>(side), 200, 150, 0.05, true}, sink);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(eventually([&] { return sink.count() >= 1; }));
  int changesBefore = changes.load();
  painter.deleteMonitor(side);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(sink.mutex);
    return !sink.stops.empty();
  }));
  EXPECT_FALSE(sink.stops.front().byUser);
  EXPECT_TRUE(eventually([&] { return changes.load() > changesBefore; }));
  auto last = listNow(capture);
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, std::vector<CaptureDisplay>{screen});
  EXPECT_TRUE(stopNow(*stream));

  // A display that does not exist cannot be captured.
  std::string error;
  EXPECT_EQ(startCapture(capture, CaptureConfig{static_cast<std::uint32_t>(side), 200, 150, 0.05, true}, sink, &error),
            nullptr);
  EXPECT_NE(error.find("No display"), std::string::npos) << error;
}

TEST_F(X11ScreenCaptureTest, LostDisplayEndsTheCaptureNotTheProcess) {
  X11ScreenCapture capture(server.name(), logger());
  auto displays = listNow(capture);
  ASSERT_TRUE(displays && displays->size() == 1u);
  Sink sink;
  auto stream = startCapture(capture, CaptureConfig{displays->front().id, 320, 240, 0.05, true}, sink);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(eventually([&] { return sink.count() >= 1; }));
  server.stop();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(sink.mutex);
    return !sink.stops.empty();
  }));
  EXPECT_EQ(sink.stops.size(), 1u);
  EXPECT_FALSE(sink.stops.front().byUser);
  EXPECT_TRUE(stopNow(*stream));
  auto none = listNow(capture);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

// The encoder alone, on frames made in memory.
TEST(TurboJpegEncoderTest, EncodesBgrxFramesAtTheirQuality) {
  auto encoder = host::makeTurboJpegEncoder();
  // A smooth picture in rows padded with noise the encoder must not read.
  CapturedFrame frame{96, 64, 96 * 4 + 32, {}};
  frame.pixels.resize(static_cast<std::size_t>(frame.stride) * frame.height);
  for (int y = 0; y < frame.height; ++y) {
    for (int x = 0; x < frame.stride / 4; ++x) {
      std::uint8_t* p = &frame.pixels[static_cast<std::size_t>(y) * frame.stride + static_cast<std::size_t>(x) * 4];
      bool padding = x >= frame.width;
      p[0] = padding ? std::uint8_t(x * 77) : std::uint8_t(x * 2);
      p[1] = padding ? std::uint8_t(y * 131) : std::uint8_t(y * 3);
      p[2] = padding ? 255 : std::uint8_t(200 - x);
    }
  }
  auto qualityOf = [&](double quality, std::size_t& bytes) {
    std::vector<std::uint8_t> jpeg;
    auto error = encoder->encode(frame, quality, jpeg);
    EXPECT_EQ(error, std::nullopt) << quality;
    bytes = jpeg.size();
    int w = 0, h = 0;
    auto pixels = decode(jpeg, w, h);
    EXPECT_EQ(w, frame.width);
    EXPECT_EQ(h, frame.height);
    double err = 0;
    for (int y = 0; y < h && !pixels.empty(); ++y) {
      for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c) {
          double d = double(pixels[(std::size_t(y) * w + x) * 4 + c]) -
                     double(frame.pixels[std::size_t(y) * frame.stride + std::size_t(x) * 4 + c]);
          err += d * d;
        }
      }
    }
    return psnr(err, long(w) * h * 3);
  };
  std::size_t low = 0, high = 0, zero = 0;
  double psnrLow = qualityOf(0.1, low), psnrHigh = qualityOf(0.95, high), psnrZero = qualityOf(0.0, zero);
  EXPECT_GE(psnrHigh, 38.0);
  EXPECT_LT(psnrLow, psnrHigh);
  EXPECT_LT(low, high);
  EXPECT_LE(zero, low) << "quality 0 is the lowest quality, not an error";
  EXPECT_GT(psnrZero, 15.0);

  std::vector<std::uint8_t> out{1, 2, 3};
  CapturedFrame truncated = frame;
  truncated.pixels.resize(truncated.pixels.size() - 1);
  EXPECT_NE(encoder->encode(truncated, 0.5, out), std::nullopt);
  CapturedFrame narrowStride = frame;
  narrowStride.stride = frame.width * 4 - 4;
  EXPECT_NE(encoder->encode(narrowStride, 0.5, out), std::nullopt);
}

}  // namespace
}  // namespace tillerpad::platform::linux_x11
