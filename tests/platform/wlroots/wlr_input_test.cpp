// The wlroots input adapter against a headless sway of the test's own, with
// foot windows as the oracle: SGR mouse reports name the cell of every
// click and wheel turn, and in raw mode the terminal writes typed bytes as
// they are.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/wlroots/wayland_connection.h"
#include "platform/wlroots/wlr_input.h"
#include "platform/wlroots/wlroots_backend.h"
#include "tests/platform/linux/temp_dir.h"
#include "tests/support/wayland_session.h"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"

namespace tillerpad {
namespace {

using namespace std::chrono_literals;
using platform::DisplayInfo;
using platform::KeyEvent;
using platform::MouseEvent;
using platform::MouseEventType;
using platform::Point;
using platform::Rect;
using platform::ScrollEvent;
using platform::TextEvent;
using platform::wlroots::OutputInfo;
using platform::wlroots::WaylandConnection;
using platform::wlroots::WlrInput;
using Clock = std::chrono::steady_clock;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Polls `path` until `enough` holds for its contents or `limit` passes.
std::string waitForFile(const std::filesystem::path& path, const std::function<bool(const std::string&)>& enough,
                        std::chrono::milliseconds limit = 10s) {
  std::string text;
  for (auto end = Clock::now() + limit; Clock::now() < end; poll(nullptr, 0, 20)) {
    text = readFile(path);
    if (enough(text)) break;
  }
  return text;
}

struct Report {
  int button;
  int column;
  int row;
  bool press;
  friend bool operator==(const Report&, const Report&) = default;
};

// The SGR mouse reports in a recording, motion reports left out.
std::vector<Report> reports(const std::string& text) {
  static const std::regex sgr("\x1b\\[<(\\d+);(\\d+);(\\d+)([Mm])");
  std::vector<Report> out;
  for (std::sregex_iterator it(text.begin(), text.end(), sgr), end; it != end; ++it) {
    int button = std::stoi((*it)[1]);
    bool press = (*it)[4] == "M";
    if (button & 32) continue;               // motion
    if (button >= 64 && !press) continue;  // a wheel turn is its press; foot ends some with a release
    out.push_back({button, std::stoi((*it)[2]), std::stoi((*it)[3]), press});
  }
  return out;
}

std::u16string utf16(const std::u32string& text) {
  std::u16string out;
  for (char32_t c : text) {
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
  }
  return out;
}

class WlrInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sway = std::make_unique<test::PrivateSway>();
    if (!sway->running()) GTEST_SKIP() << sway->skipReason();
    connection = WaylandConnection::open(sway->socketPath(),
                                         {{&zwlr_virtual_pointer_manager_v1_interface, 2},
                                          {&zwp_virtual_keyboard_manager_v1_interface, 1}},
                                         logger);
    ASSERT_TRUE(connection);
    input = WlrInput::open(connection, logger);
    ASSERT_TRUE(input);
  }

  // A foot window (full screen: it is the only one, without borders, and
  // starts at that size so that no resize races the first events)
  // running `command` with its output in `recording`; true once sway shows
  // it focused. Its cell size comes from foot's log.
  bool startFoot(const std::string& command) {
    std::string log = (dir.path() / "foot.log").string();
    auto env = sway->clientEnvironment();
    foot = std::make_unique<test::ChildProcess>(
        "sh", std::vector<std::string>{"-c", "exec foot --app-id=tillerpad-rec --window-size-pixels=1280x800 -o pad=0x0 -o scrollback.multiplier=1 sh -c \"" + command + "\" 2>'" + log + "'"},
        env);
    foot->endInput();
    std::string text = waitForFile(log, [](const std::string& t) { return t.find("cell width=") != std::string::npos; });
    std::smatch m;
    if (!std::regex_search(text, m, std::regex("cell width=(\\d+), height=(\\d+)"))) return false;
    cell = {std::stod(m[1]), std::stod(m[2])};
    for (auto end = Clock::now() + 10s; Clock::now() < end; poll(nullptr, 0, 20)) {
      std::string tree = sway->swaymsg("-t get_tree");
      auto at = tree.find("\"app_id\": \"tillerpad-rec\"");
      if (at != std::string::npos && std::filesystem::exists(recording)) return true;
    }
    return false;
  }

  void stopFoot() {
    if (foot) foot->stop(SIGTERM);
    foot.reset();
  }
  void TearDown() override {
    stopFoot();
    input.reset();
    connection.reset();
  }

  // The cell (1-based, as SGR reports count) under a layout position.
  std::pair<int, int> cellAt(Point p) const {
    return {static_cast<int>(p.x / cell.x) + 1, static_cast<int>(p.y / cell.y) + 1};
  }

  std::unique_ptr<test::PrivateSway> sway;
  std::shared_ptr<kit::RecordingLogSink> logs = std::make_shared<kit::RecordingLogSink>();
  kit::Logger logger{logs, "Tillerpad", "input"};
  platform::test::TempDir dir;
  std::filesystem::path recording = dir.path() / "recording";
  std::shared_ptr<WaylandConnection> connection;
  std::unique_ptr<WlrInput> input;
  std::unique_ptr<test::ChildProcess> foot;
  Point cell;
};

// The recorder: mouse reporting on, raw mode, everything read to a file.
std::string recorderCommand(const std::filesystem::path& file) {
  return "printf '\\\\033[?1003h\\\\033[?1006h'; stty raw -echo; exec cat > '" + file.string() + "'";
}

TEST_F(WlrInputTest, OutputsAreListedWithTheirLayoutRectangles) {
  auto displays = input->activeDisplays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].bounds, (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(displays[0].name, "HEADLESS-1");
  EXPECT_TRUE(displays[0].isMain);
  // A second output to the right: the change is announced and the list follows.
  std::atomic<int> changes{0};
  connection->setOnOutputsChanged([&] { ++changes; });
  sway->swaymsg("create_output");
  sway->swaymsg("output HEADLESS-2 mode 800x600 position 1280 0");
  for (auto end = Clock::now() + 10s; Clock::now() < end && input->activeDisplays().size() < 2; poll(nullptr, 0, 20)) {
  }
  displays = input->activeDisplays();
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_TRUE(displays[0].isMain);
  EXPECT_EQ(displays[0].name, "HEADLESS-1");
  EXPECT_EQ(displays[1].bounds, (Rect{1280, 0, 800, 600}));
  EXPECT_GT(changes, 0);
  connection->setOnOutputsChanged(nullptr);
}

TEST_F(WlrInputTest, ClicksAndWheelLandAtTheCellsUnderThePointer) {
  ASSERT_TRUE(startFoot(recorderCommand(recording)));
  struct Click {
    Point at;
    int button;  // host: 0 left, 1 right, 2 middle
    int sgr;     // what the terminal reports
  };
  // foot's grid ends short of the right and bottom edges (a partial cell is
  // margin), so the far corner is the last whole cell.
  const std::vector<Click> clicks{
      {{5, 5}, 0, 0}, {{640, 400}, 1, 2}, {{1270, 790}, 0, 0}, {{100, 700}, 2, 1}, {{-40, -50}, 0, 0}};
  std::vector<Report> expected;
  for (const Click& c : clicks) {
    auto type = c.button == 0 ? MouseEventType::leftDown : c.button == 1 ? MouseEventType::rightDown : MouseEventType::otherDown;
    auto up = c.button == 0 ? MouseEventType::leftUp : c.button == 1 ? MouseEventType::rightUp : MouseEventType::otherUp;
    ASSERT_TRUE(input->postMouse({MouseEventType::moved, 0, c.at}));
    ASSERT_TRUE(input->postMouse({type, c.button, c.at}));
    ASSERT_TRUE(input->postMouse({up, c.button, c.at}));
    // Off the layout: the pointer stops at its last pixel.
    Point landed{std::clamp(c.at.x, 0.0, 1279.0), std::clamp(c.at.y, 0.0, 799.0)};
    EXPECT_EQ(input->cursorLocation(), landed);
    auto [column, row] = cellAt(landed);
    expected.push_back({c.sgr, column, row, true});
    expected.push_back({c.sgr, column, row, false});
  }
  // Far past the bottom-right corner: the pointer stops at the last pixel.
  ASSERT_TRUE(input->postMouse({MouseEventType::moved, 0, {5000, 5000}}));
  EXPECT_EQ(input->cursorLocation(), (Point{1279, 799}));
  // The wheel: host pixels up (+) and down (-), one click per 30 px; less
  // than a click waits for more, a change of direction starts afresh.
  ASSERT_TRUE(input->postMouse({MouseEventType::moved, 0, {700, 300}}));
  auto [wc, wr] = cellAt({700, 300});
  struct Turn {
    ScrollEvent scroll;
    std::vector<int> buttons;  // 64 up, 65 down, 66 left, 67 right
  };
  const std::vector<Turn> turns{{{30, 0}, {64}},     {{20, 0}, {}},      {{20, 0}, {64}},  {{-10, 0}, {}},
                                {{-50, 0}, {65, 65}}, {{0, 30}, {66}},   {{0, -30}, {67}}, {{95, 0}, {64, 64, 64}}};
  for (const Turn& t : turns) {
    ASSERT_TRUE(input->postScroll(t.scroll));
    for (int b : t.buttons) expected.push_back({b, wc, wr, true});
  }
  auto seen = waitForFile(recording, [&](const std::string& t) { return reports(t).size() >= expected.size(); });
  EXPECT_EQ(reports(seen), expected);
}

// More characters the layout lacks than there are spare keys: codes are
// taken back, least recently used first, and every character still arrives.
TEST_F(WlrInputTest, MoreMissingCharactersThanSpareKeysStillArrive) {
  ASSERT_TRUE(startFoot("stty raw -echo; exec cat > '" + recording.string() + "'"));
  std::size_t spares = input->spareKeyCount();
  ASSERT_GT(spares, 0u);
  std::u32string text;
  for (std::size_t i = 0; i < spares + 5; ++i) text.push_back(static_cast<char32_t>(0x4E00 + i));  // CJK ideographs
  text += text.substr(0, 3);  // typed again after their codes were reused
  ASSERT_TRUE(input->postText({true, utf16(text)}));
  std::string expected;
  for (char32_t c : text) {
    expected += static_cast<char>(0xE0 | (c >> 12));
    expected += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    expected += static_cast<char>(0x80 | (c & 0x3F));
  }
  EXPECT_EQ(waitForFile(recording, [&](const std::string& t) { return t.size() >= expected.size(); }), expected);
}

TEST_F(WlrInputTest, KeysWithModifiersArriveAsTheLayoutTypesThem) {
  ASSERT_TRUE(startFoot("stty raw -echo; exec cat > '" + recording.string() + "'"));
  // Host key codes: 0 A, 8 C, 56 Shift, 59 Control, 58 Option (Alt), 36 Return.
  struct Case {
    std::vector<std::uint16_t> held;
    std::uint16_t key;
    std::string bytes;
  };
  const std::vector<Case> cases{
      {{}, 0, "a"}, {{56}, 0, "A"}, {{59}, 0, "\x01"}, {{59}, 8, "\x03"}, {{58}, 0, "\x1b" "a"}, {{}, 36, "\r"}};
  std::string expected;
  for (const Case& c : cases) {
    for (auto m : c.held) ASSERT_TRUE(input->postKey({m, true}));
    ASSERT_TRUE(input->postKey({c.key, true}));
    ASSERT_TRUE(input->postKey({c.key, false}));
    for (auto m : c.held) ASSERT_TRUE(input->postKey({m, false}));
    expected += c.bytes;
  }
  EXPECT_EQ(waitForFile(recording, [&](const std::string& t) { return t.size() >= expected.size(); }), expected);
}

TEST_F(WlrInputTest, LostCompositorIsReportedOnceAndCallsEndAtOnce) {
  std::atomic<int> calls{0};
  std::string why;
  connection->subscribeLost([&](const std::string& w) {
    why = w;
    ++calls;
  });
  sway->stop();
  for (auto end = Clock::now() + 10s; Clock::now() < end && calls == 0; poll(nullptr, 0, 10)) {
  }
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(connection->lost());
  auto start = Clock::now();
  EXPECT_FALSE(connection->roundtrip(5s));
  EXPECT_FALSE(input->postMouse({MouseEventType::moved, 0, {1, 1}}));
  EXPECT_LT(Clock::now() - start, 1s) << "a lost connection must not wait out the limits";
  int late = 0;
  connection->subscribeLost([&](const std::string&) { ++late; });
  EXPECT_EQ(late, 1) << "a subscriber after the loss hears of it at once";
  EXPECT_EQ(calls, 1);
}

// The factory on a live session, then on one whose compositor went away.
TEST(WlrootsBackend, PermissionsFollowTheDevicesAndTheCompositor) {
  test::PrivateSway sway;
  if (!sway.running()) GTEST_SKIP() << sway.skipReason();
  EXPECT_FALSE(platform::wlroots::openWlrootsBackend({{}, "", sway.runtimeDir() + "/no-such-socket"}));
  auto backend = platform::wlroots::openWlrootsBackend({{}, "", sway.socketPath()});
  ASSERT_TRUE(backend);
  EXPECT_EQ(backend->name(), "wlroots");
  ASSERT_TRUE(backend->input() && backend->displays() && backend->keyboardLayouts() && backend->permissions());
  EXPECT_TRUE(backend->permissions()->canSynthesizeInput());
  EXPECT_TRUE(backend->permissions()->canCaptureScreen());
  auto layout = backend->keyboardLayouts()->currentLayout();
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->translate(0, false), u"a");  // the default layout is us
  EXPECT_EQ(layout->translate(18, true), u"!");
  sway.stop();
  bool lost = false;
  for (auto end = Clock::now() + 10s; Clock::now() < end && !lost; poll(nullptr, 0, 10)) {
    lost = !backend->permissions()->canSynthesizeInput();
  }
  EXPECT_TRUE(lost);
  EXPECT_FALSE(backend->permissions()->canCaptureScreen());
}

// The main display and the layout box, from output rectangles.
TEST(WlrDisplays, MainIsTheOutputAtTheOriginElseTheTopLeftMost) {
  auto out = [](std::uint32_t id, Rect r) {
    OutputInfo o;
    o.id = id;
    o.logical = r;
    o.name = "O" + std::to_string(id);
    return o;
  };
  struct Case {
    std::vector<OutputInfo> outputs;
    std::vector<std::uint32_t> order;  // main first
    Rect box;
  };
  const std::vector<Case> cases{
      {{}, {}, {}},
      {{out(7, {0, 0, 1280, 800})}, {7}, {0, 0, 1280, 800}},
      // Right of the origin output, then one left of it: the origin wins.
      {{out(3, {1280, 0, 800, 600}), out(4, {0, 0, 1280, 800}), out(5, {-1920, 100, 1920, 1080})},
       {4, 5, 3},
       {-1920, 0, 4000, 1180}},
      // Nothing at the origin: the left-most, then the higher.
      {{out(1, {500, 300, 100, 100}), out(2, {100, 900, 100, 100}), out(3, {100, 200, 100, 100})},
       {3, 2, 1},
       {100, 200, 500, 800}},
      // An output not yet sized is no display.
      {{out(1, {0, 0, 0, 0}), out(2, {10, 0, 100, 100})}, {2}, {10, 0, 100, 100}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> order;
    auto displays = platform::wlroots::displaysFromOutputs(c.outputs);
    for (const DisplayInfo& d : displays) order.push_back(d.id);
    EXPECT_EQ(order, c.order);
    EXPECT_EQ(std::count_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.isMain; }),
              displays.empty() ? 0 : 1);
    if (!displays.empty()) {
      EXPECT_TRUE(displays[0].isMain);
    }
    EXPECT_EQ(platform::wlroots::layoutBounds(c.outputs), c.box);
  }
}

}  // namespace
}  // namespace tillerpad
