// Screen capture and the clipboard of the wlroots backend on a headless sway
// of each test's own: a full-screen window of the test's own shows a known
// pattern; wl-copy and wl-paste copy and paste beside us.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "platform/wlroots/wlr_pasteboard.h"
#include "platform/wlroots/wlr_screen_capture.h"
#include "tests/support/wayland_pattern_window.h"
#include "tests/support/wayland_session.h"
#include "wlr-data-control-unstable-v1-client.h"

namespace tillerpad::platform::wlroots {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = Pasteboard::Bytes;
using Data = Pasteboard::Data;

using test::kBlock;
using test::patternColor;
using test::PatternWindow;
constexpr int kOutW = 1280, kOutH = 800;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  for (auto end = Clock::now() + limit; !condition();) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

template <class T, class Call>
std::optional<T> await(Call call, std::chrono::milliseconds limit = 10s) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  call([promise](auto... values) { promise->set_value(T{std::move(values)...}); });
  if (future.wait_for(limit) != std::future_status::ready) return std::nullopt;
  return future.get();
}

// PSNR of a frame against the pattern scaled to its size; pixels whose
// source area straddles two blocks are a blend and left out.
double psnrAgainstPattern(const CapturedFrame& f, bool changed = false) {
  double sx = double(kOutW) / f.width, sy = double(kOutH) / f.height, error = 0;
  long samples = 0;
  for (int v = 0; v < f.height; ++v) {
    for (int u = 0; u < f.width; ++u) {
      int x0 = int(u * sx), x1 = int(std::ceil((u + 1) * sx)) - 1, y0 = int(v * sy), y1 = int(std::ceil((v + 1) * sy)) - 1;
      if (x0 / kBlock != x1 / kBlock || y0 / kBlock != y1 / kBlock) continue;
      std::uint32_t rgb = patternColor(x0, y0, changed);
      const std::uint8_t* p = &f.pixels[std::size_t(v) * f.stride + std::size_t(u) * 4];
      for (int c = 0; c < 3; ++c, ++samples) {
        double d = double(p[c]) - double((rgb >> (8 * c)) & 0xff);
        error += d * d;
      }
    }
  }
  if (samples < long(f.width) * f.height * 3 / 2) return 0;
  return error == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(samples) / error);
}

struct Sink {
  std::mutex mutex;
  int frames = 0;
  FrameRef last;
  std::vector<CaptureStop> stops;
  CaptureHandlers handlers() {
    return {[this](FrameRef f) {
              std::lock_guard lock(mutex);
              ++frames;
              last = std::move(f);
            },
            [this](CaptureStop s) {
              std::lock_guard lock(mutex);
              stops.push_back(std::move(s));
            }};
  }
  int count() {
    std::lock_guard lock(mutex);
    return frames;
  }
  FrameRef frame() {
    std::lock_guard lock(mutex);
    return last;
  }
  std::size_t stopCount() {
    std::lock_guard lock(mutex);
    return stops.size();
  }
};

struct WlrTest : ::testing::Test {
  std::unique_ptr<test::PrivateSway> sway;
  std::shared_ptr<WaylandConnection> connection;
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();

  void SetUp() override {
    sway = std::make_unique<test::PrivateSway>();
    if (!sway->running()) GTEST_SKIP() << sway->skipReason();
    auto wanted = WlrScreenCapture::wantedGlobals();
    for (auto& g : WlrPasteboard::wantedGlobals()) wanted.push_back(g);
    connection = WaylandConnection::open(sway->socketPath(), wanted, logger());
    ASSERT_TRUE(connection);
  }
  kit::Logger logger() { return kit::Logger(log, "app", "wayland"); }
  // A shell command as a client of the session; its output.
  std::string shell(const std::string& command) {
    std::string env;
    for (const auto& [k, v] : sway->clientEnvironment()) env += "export " + k + "='" + v + "'; ";
    return test::runShell(env + command);
  }
};

// ---------------------------------------------------------------------------
// Screen

struct WlrScreenTest : WlrTest {
  std::unique_ptr<WlrScreenCapture> capture;
  void SetUp() override {
    WlrTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    capture = std::make_unique<WlrScreenCapture>(connection, logger());
  }
  std::vector<CaptureDisplay> displays() {
    return await<std::vector<CaptureDisplay>>([&](auto done) { capture->listDisplays(done); }).value_or(std::vector<CaptureDisplay>{});
  }
  std::unique_ptr<CaptureStream> start(const CaptureConfig& config, Sink& sink) {
    using Started = std::pair<std::unique_ptr<CaptureStream>, std::optional<std::string>>;
    auto started = await<Started>([&](auto done) { capture->start(config, sink.handlers(), done); });
    return started ? std::move(started->first) : nullptr;
  }
  static bool stop(CaptureStream& stream) {
    return await<std::optional<std::string>>([&](auto done) { stream.stop(done); }).has_value();
  }
};

TEST_F(WlrScreenTest, PatternComesBackAtEverySize) {
  PatternWindow window(sway->socketPath());
  ASSERT_TRUE(window.shown());
  auto listed = displays();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed.front(), (CaptureDisplay{listed.front().id, "HEADLESS-1", kOutW, kOutH, kOutW, true, 0}));
  EXPECT_TRUE(capture->capturePermitted(true));
  const std::pair<int, int> sizes[] = {{kOutW, kOutH}, {640, 400}, {960, 600}, {320, 200}, {200, 320}};
  for (auto [w, h] : sizes) {
    SCOPED_TRACE(::testing::Message() << w << "×" << h);
    Sink sink;
    auto stream = start(CaptureConfig{listed.front().id, w, h, 0.02, true}, sink);
    ASSERT_TRUE(stream);
    // The window may still be on its way to the screen: its picture comes as a frame.
    EXPECT_TRUE(eventually([&] {
      auto f = sink.frame();
      return f && f->width == w && f->height == h && psnrAgainstPattern(*f) >= 30;
    })) << "PSNR " << (sink.frame() ? psnrAgainstPattern(*sink.frame()) : 0);
    EXPECT_TRUE(stop(*stream));
  }
}

TEST_F(WlrScreenTest, StillScreenGivesOneFrameAndAChangeGivesAnother) {
  PatternWindow window(sway->socketPath());
  ASSERT_TRUE(window.shown());
  auto listed = displays();
  ASSERT_FALSE(listed.empty());
  // Let the window reach the screen before the capture starts.
  std::this_thread::sleep_for(300ms);
  Sink sink;
  auto stream = start(CaptureConfig{listed.front().id, 640, 400, 0.02, true}, sink);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(eventually([&] { return sink.count() >= 1; }));
  EXPECT_FALSE(eventually([&] { return sink.count() > 1; }, 1500ms)) << "a still screen gives no more frames";

  window.paint(true);
  ASSERT_TRUE(eventually([&] { return sink.count() >= 2; }));
  EXPECT_GE(psnrAgainstPattern(*sink.frame(), true), 30);
  EXPECT_LT(psnrAgainstPattern(*sink.frame(), false), 30) << "the frame shows the change";

  // A new size gives a frame at once, still screen or not.
  int before = sink.count();
  EXPECT_EQ(await<std::optional<std::string>>(
                [&](auto done) { stream->update(CaptureConfig{listed.front().id, 320, 200, 0.02, true}, done); }),
            std::make_optional(std::optional<std::string>()));
  EXPECT_TRUE(eventually([&] {
    auto f = sink.frame();
    return sink.count() > before && f->width == 320 && f->height == 200;
  }));
  EXPECT_TRUE(stop(*stream));
}

TEST_F(WlrScreenTest, NewOutputsAreListedAndALostCompositorEndsTheCapture) {
  std::atomic<int> changes{0};
  capture->setDisplaysChangedHandler([&] { ++changes; });
  sway->swaymsg("create_output");
  ASSERT_TRUE(eventually([&] { return displays().size() == 2; }));
  EXPECT_GT(changes.load(), 0);
  auto listed = displays();
  const CaptureDisplay& second = listed.back();
  EXPECT_FALSE(second.isMain);
  EXPECT_EQ(second.name, "HEADLESS-2");
  EXPECT_EQ(second.left, listed.front().pointWidth) << "sway lays outputs out to the right";

  // Each output is captured on its own (headless outputs cannot be removed
  // on this sway: what a vanished one does is left to the loss below).
  Sink sink;
  auto stream = start(CaptureConfig{second.id, 160, 100, 0.05, true}, sink);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(eventually([&] { return sink.count() >= 1; }));
  EXPECT_TRUE(stop(*stream));
  EXPECT_EQ(start(CaptureConfig{second.id + 1000, 160, 100, 0.05, true}, sink), nullptr);

  // The compositor goes: the capture ends through `stopped`, once.
  Sink lost;
  stream = start(CaptureConfig{listed.front().id, 160, 100, 0.05, true}, lost);
  ASSERT_TRUE(stream);
  sway->stop();
  ASSERT_TRUE(eventually([&] { return lost.stopCount() >= 1; }));
  EXPECT_FALSE(eventually([&] { return lost.stopCount() > 1; }, 300ms));
  EXPECT_TRUE(stop(*stream));
}

// ---------------------------------------------------------------------------
// Clipboard

// Bytes that do not compress and differ at every offset.
Bytes noise(std::size_t size, unsigned seed = 7) {
  Bytes b(size);
  std::mt19937 random(seed);
  for (auto& x : b) x = static_cast<std::uint8_t>(random());
  return b;
}

// A clipboard owner on a connection of its own that offers text and never
// writes a byte (the pipes it gets stay open until it goes).
struct SilentOwner {
  std::unique_ptr<WaylandConnection> connection;
  std::vector<int> held;
  zwlr_data_control_source_v1* source = nullptr;
  zwlr_data_control_device_v1* device = nullptr;

  explicit SilentOwner(const std::string& socket) {
    connection = WaylandConnection::open(socket, WlrPasteboard::wantedGlobals(), kit::Logger());
    if (!connection) return;
    connection->call([this] {
      auto* manager = connection->global<zwlr_data_control_manager_v1>(&zwlr_data_control_manager_v1_interface);
      device = zwlr_data_control_manager_v1_get_data_device(manager, connection->seat());
      static constexpr zwlr_data_control_device_v1_listener ignore{
          [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* o) { zwlr_data_control_offer_v1_destroy(o); },
          [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {},
          [](void*, zwlr_data_control_device_v1*) {},
          [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {}};
      zwlr_data_control_device_v1_add_listener(device, &ignore, nullptr);
      source = zwlr_data_control_manager_v1_create_data_source(manager);
      static constexpr zwlr_data_control_source_v1_listener keep{
          [](void* data, zwlr_data_control_source_v1*, const char*, std::int32_t fd) {
            static_cast<SilentOwner*>(data)->held.push_back(fd);
          },
          [](void*, zwlr_data_control_source_v1*) {}};
      zwlr_data_control_source_v1_add_listener(source, &keep, this);
      zwlr_data_control_source_v1_offer(source, "text/plain;charset=utf-8");
      zwlr_data_control_device_v1_set_selection(device, source);
    });
    connection->roundtrip();
  }
  ~SilentOwner() {
    if (!connection) return;
    connection->call([this] {
      for (int fd : held) close(fd);
      if (source) zwlr_data_control_source_v1_destroy(source);
      if (device) zwlr_data_control_device_v1_destroy(device);
    });
    // Offers already on their way are dispatched (and destroyed) before the connection goes.
    connection->roundtrip();
  }
};

struct WlrClipboardTest : WlrTest {
  std::unique_ptr<WlrPasteboard> board;
  std::string file = (std::filesystem::temp_directory_path() / ("wlclip-" + std::to_string(::getpid()))).string();
  void SetUp() override {
    WlrTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    board = std::make_unique<WlrPasteboard>(connection, WlrPasteboard::Options{800ms}, logger());
    ASSERT_TRUE(board->connected());
  }
  void TearDown() override {
    board.reset();
    for (const char* end : {"", "1", "2"}) std::filesystem::remove(file + end);
  }
  void save(const Bytes& b, const std::string& path) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
  }
  std::vector<std::string> types() {
    return await<std::vector<std::string>>([&](auto done) { board->types(done); }).value_or(std::vector<std::string>{"?"});
  }
  Data data(const std::string& type, std::size_t limit = 64 << 20) {
    return await<Data>([&](auto done) { board->data(type, limit, done); }).value_or(Data::overLimit());
  }
  std::optional<std::int64_t> write(std::vector<std::pair<std::string, Bytes>> items) {
    return await<std::optional<std::int64_t>>([&](auto done) { board->write(std::move(items), done); }).value_or(std::nullopt);
  }
};

// What wl-copy copies arrives with the host's types, and each copy counts.
TEST_F(WlrClipboardTest, ReadsWhatWlCopyCopies) {
  std::string text = "w\xC3\xB6rld \xE2\x9C\x93";
  Bytes png = noise(300 << 10);
  save(Bytes(text.begin(), text.end()), file + "1");
  save(png, file + "2");
  struct Case {
    std::string command;
    std::string type;
    Bytes expected;
  } cases[] = {
      {"wl-copy < " + file + "1 >/dev/null 2>&1", Pasteboard::plainTextType, Bytes(text.begin(), text.end())},
      {"wl-copy --type image/png < " + file + "2 >/dev/null 2>&1", Pasteboard::pngType, png},
      {"wl-copy < " + file + "1 >/dev/null 2>&1", Pasteboard::plainTextType, Bytes(text.begin(), text.end())},  // the same again
  };
  std::int64_t count = board->changeCount();
  EXPECT_EQ(count, 0) << "the clipboard found on arrival is no change";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    shell(c.command);
    ASSERT_TRUE(eventually([&] { return board->changeCount() > count; }));
    count = board->changeCount();
    EXPECT_EQ(types(), std::vector<std::string>{c.type});
    EXPECT_EQ(data(c.type), Data::of(c.expected));
    EXPECT_EQ(data(c.type, c.expected.size() - 1), Data::overLimit());
    EXPECT_EQ(data(c.type == Pasteboard::pngType ? Pasteboard::plainTextType : Pasteboard::pngType), Data::none());
  }
}

// What we write wl-paste reads: text under each text type, a PNG, and a
// large text streamed to two readers at once.
TEST_F(WlrClipboardTest, WlPasteReadsWhatWeWrite) {
  std::string text = "w\xC3\xB6rld \xE2\x9C\x93";
  auto count = write({{Pasteboard::plainTextType, Bytes(text.begin(), text.end())}});
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, board->changeCount()) << "our own write counts, as on X11";
  EXPECT_EQ(shell("wl-paste --list-types"), "text/plain;charset=utf-8\ntext/plain\nUTF8_STRING\nSTRING\nTEXT\n");
  for (const char* mime : {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"}) {
    EXPECT_EQ(shell(std::string("wl-paste --no-newline --type '") + mime + "'; echo"), text + "\n") << mime;
  }
  EXPECT_EQ(data(Pasteboard::plainTextType), Data::of(Bytes(text.begin(), text.end())));

  Bytes png = noise(200 << 10, 1);
  save(png, file);
  EXPECT_EQ(write({{Pasteboard::pngType, png}, {"x-kde-passwordManagerHint", {'s', 'e', 'c', 'r', 'e', 't'}}}), *count + 1);
  EXPECT_EQ(shell("wl-paste --list-types"), "image/png\nx-kde-passwordManagerHint\n");
  EXPECT_EQ(shell("wl-paste --type image/png | cmp - " + file + " && echo same"), "same\n");
  EXPECT_EQ(types(), (std::vector<std::string>{Pasteboard::pngType, "x-kde-passwordManagerHint"}));

  Bytes large = noise(6 << 20, 2);
  for (auto& b : large) b = static_cast<std::uint8_t>('a' + b % 26);
  save(large, file);
  ASSERT_TRUE(write({{Pasteboard::plainTextType, large}}));
  EXPECT_EQ(shell("wl-paste -n > " + file + "1 & wl-paste -n > " + file + "2 & wait; cmp " + file + " " + file +
                  "1 && cmp " + file + " " + file + "2 && echo same"),
            "same\n");
  // A reader that stops after a little is no harm: the next one is served.
  shell("wl-paste -n | head -c 10 > /dev/null");
  EXPECT_EQ(shell("wl-paste -n | cmp - " + file + " && echo same"), "same\n");
}

// An owner that never answers costs one transfer limit; the questions
// after it none, until the next owner, who is read as usual.
TEST_F(WlrClipboardTest, OwnerThatNeverAnswersIsUnavailableInBoundedTime) {
  SilentOwner silent(sway->socketPath());
  ASSERT_TRUE(silent.connection);
  ASSERT_TRUE(eventually([&] { return board->changeCount() == 1; }));
  auto start = Clock::now();
  EXPECT_EQ(data(Pasteboard::plainTextType), Data::none());
  auto first = Clock::now() - start;
  EXPECT_GE(first, 700ms);
  EXPECT_LT(first, 5s);
  start = Clock::now();
  EXPECT_EQ(data(Pasteboard::plainTextType), Data::none());
  EXPECT_LT(Clock::now() - start, first / 2);

  shell("printf later | wl-copy >/dev/null 2>&1");
  ASSERT_TRUE(eventually([&] { return board->changeCount() == 2; }));
  EXPECT_EQ(data(Pasteboard::plainTextType), Data::of(Bytes{'l', 'a', 't', 'e', 'r'}));
}

}  // namespace
}  // namespace tillerpad::platform::wlroots
