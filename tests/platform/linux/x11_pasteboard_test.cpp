// The CLIPBOARD adapter against real X clients on an X server of each test's
// own: xclip, and clipboard_test_client for what xclip cannot do.
#include "platform/linux/x11_pasteboard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>

#include "platform/linux/clipboard_targets.h"
#include "tests/support/child_process.h"

namespace tillerpad::platform::linux_x11 {
namespace {

using namespace std::chrono_literals;
using Bytes = Pasteboard::Bytes;
using Data = Pasteboard::Data;
using test::ChildProcess;
using test::PrivateXvfb;

constexpr const char* kPlain = Pasteboard::plainTextType;
constexpr auto kAnswerWait = 15s;
// ThreadSanitizer's shadow memory multiplies what a read touches.
#ifdef __SANITIZE_THREAD__
constexpr bool kResidentMemoryTells = false;
#else
constexpr bool kResidentMemoryTells = true;
#endif

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Bytes that do not compress and differ at every offset, so a chunk out of
// place or missing shows; kept in a file for xclip.
Bytes noise(std::size_t size, const std::string& file) {
  Bytes b(size);
  std::mt19937 random(7);
  for (auto& x : b) x = static_cast<std::uint8_t>(random());
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
  return b;
}

long peakResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line) && line.rfind("VmHWM:", 0) != 0) {
  }
  return line.empty() ? -1 : std::stol(line.substr(6));
}

// Waits, bounded, for the completion of one call; `none` when it does not come.
template <typename T>
T await(const std::function<void(std::function<void(T)>)>& call, T none) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  call([promise](T value) { promise->set_value(std::move(value)); });
  return future.wait_for(kAnswerWait) == std::future_status::ready ? future.get() : none;
}

class X11PasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.running()); }

  std::unique_ptr<X11Pasteboard> open(std::chrono::milliseconds transferLimit = 3000ms) {
    return std::make_unique<X11Pasteboard>(X11Pasteboard::Options{server.name(), transferLimit},
                                           kit::Logger(log, "app.tillerpad.Tillerpad", "clipboard"));
  }
  // Runs `command` on our display; xclip -i stays in the background owning
  // the selection, the call returns once it does.
  std::string shell(const std::string& command) {
    return test::runShell("export DISPLAY=" + server.name() + "; " + command, 30s);
  }
  std::unique_ptr<ChildProcess> client(const std::vector<std::string>& arguments) {
    auto c = std::make_unique<ChildProcess>(TILLERPAD_CLIPBOARD_TEST_CLIENT, arguments,
                                            std::map<std::string, std::string>{{"DISPLAY", server.name()}});
    EXPECT_EQ(c->nextLine(), "ready");
    return c;
  }
  // Polls `done` until it holds, for at most kAnswerWait.
  static bool eventually(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return done();
  }
  std::vector<std::string> types(X11Pasteboard& board) {
    return await<std::vector<std::string>>([&](auto done) { board.types(std::move(done)); }, {"<none>"});
  }
  Data data(X11Pasteboard& board, const std::string& type, std::size_t limit = 16 << 20) {
    return await<Data>([&](auto done) { board.data(type, limit, std::move(done)); }, {});
  }
  std::optional<std::int64_t> write(X11Pasteboard& board, std::vector<std::pair<std::string, Bytes>> items) {
    return await<std::optional<std::int64_t>>([&](auto done) { board.write(std::move(items), std::move(done)); }, {});
  }

  PrivateXvfb server;
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  std::string file = (std::filesystem::temp_directory_path() / ("clip-" + std::to_string(::getpid()))).string();
  void TearDown() override {
    for (const char* end : {"", "1", "2"}) std::filesystem::remove(file + end);
  }
};

TEST(ClipboardTargetsTest, TargetsMapToHostTypesAndStringIsLatin1) {
  struct Case {
    std::vector<std::string> targets, types;
  } cases[] = {
      {{"TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS", "UTF8_STRING", "TEXT", "STRING", "text/plain;charset=utf-8"},
       {kPlain}},
      {{"image/png", "image/jpeg", "image/tiff", "image/bmp"},
       {Pasteboard::pngType, Pasteboard::jpegType, Pasteboard::tiffType, "com.microsoft.bmp"}},
      {{"x-special/gnome-copied-files", "text/uri-list", "UTF8_STRING"}, {Pasteboard::fileURLType, kPlain}},
      {{"x-kde-passwordManagerHint", "text/html", "UTF8_STRING"}, {"x-kde-passwordManagerHint", "text/html", kPlain}},
  };
  for (const auto& c : cases) EXPECT_EQ(hostTypesForTargets(c.targets), c.types) << c.targets.front();
  // Cut short, overlong, and beyond Latin-1: no STRING form.
  for (const char* utf8 : {"\xC3", "\xC0\xAF", "\xE2\x9C\x93"}) EXPECT_EQ(utf8ToLatin1(bytes(utf8)), std::nullopt);
  EXPECT_EQ(utf8ToLatin1(bytes("caf\xC3\xA9 \xC3\xBF")), bytes("caf\xE9 \xFF"));
}

// What other clients copy arrives with its types mapped, and every copy
// moves the change count, the same text twice too.
TEST_F(X11PasteboardTest, ReadsWhatOtherClientsCopy) {
  auto board = open();
  std::unique_ptr<ChildProcess> owner;
  for (int count : {1, 2}) {
    shell("printf 'hello clipboard' | xclip -selection clipboard -i > /dev/null 2>&1");
    ASSERT_TRUE(eventually([&] { return board->changeCount() == count; }));
    EXPECT_EQ(types(*board), std::vector<std::string>{kPlain});
    EXPECT_EQ(data(*board, kPlain), Data::of(bytes("hello clipboard")));
  }
  owner = client({"own", "STRING=caf\xE9"});
  ASSERT_TRUE(eventually([&] { return board->changeCount() == 3; }));
  EXPECT_EQ(data(*board, kPlain), Data::of(bytes("caf\xC3\xA9")));
}

TEST_F(X11PasteboardTest, ReadsLargeImagesInChunksWithinTheLimit) {
  auto board = open();
  Bytes image = noise(10 << 20, file);
  for (bool honest : {true, false}) {
    SCOPED_TRACE(honest ? "xclip" : "an owner announcing 1 byte");
    std::unique_ptr<ChildProcess> liar;
    if (honest) shell("xclip -selection clipboard -t image/png -i " + file + " > /dev/null 2>&1");
    if (!honest) liar = client({"lie", "image/png=40"});  // 10 MiB
    ASSERT_TRUE(eventually([&] { return board->changeCount() == (honest ? 1 : 2); }));
    EXPECT_EQ(types(*board), std::vector<std::string>{Pasteboard::pngType});
    long before = peakResidentKiB();
    EXPECT_EQ(data(*board, Pasteboard::pngType, 1 << 20), Data::overLimit());
    EXPECT_TRUE(!kResidentMemoryTells || peakResidentKiB() - before < long(image.size() >> 10) * 3 / 4);
    // xclip serves one requestor at a time: the cut-off read must not leave it stuck.
    EXPECT_TRUE(!honest || data(*board, Pasteboard::pngType) == Data::of(image));
  }
}

// What we write other clients read, text under every text target, a large
// image in chunks: to two readers at once while a third stalls mid-transfer.
TEST_F(X11PasteboardTest, OtherClientsReadWhatWeWrite) {
  auto board = open(1000ms);
  std::string text = "caf\xC3\xA9 \xE2\x9C\x93";
  auto count = write(*board, {{kPlain, bytes(text)}});
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, board->changeCount());
  const std::string read = "xclip -selection clipboard -o -t ";
  EXPECT_EQ(shell(read + "UTF8_STRING; echo; " + read + "'text/plain;charset=utf-8'; echo"), text + "\n" + text + "\n");
  // The check mark has no Latin-1 form: no STRING at all.
  EXPECT_EQ(shell(read + "TARGETS"), "TARGETS\nTIMESTAMP\nUTF8_STRING\ntext/plain;charset=utf-8\nTEXT\n");
  EXPECT_EQ(client({"stall", "MULTIPLE"})->nextLine(), "refused");
  EXPECT_EQ(client({"stall", "TIMESTAMP"})->nextLine(), "whole");
  // Reading back our own content needs no round trip.
  EXPECT_EQ(data(*board, kPlain), Data::of(bytes(text)));

  Bytes image = noise(10 << 20, file);
  EXPECT_EQ(write(*board, {{Pasteboard::pngType, image}}), *count + 1);
  auto staller = client({"stall", "image/png"});
  EXPECT_EQ(staller->nextLine(), "incr");
  shell(read + "image/png > " + file + "1 & " + read + "image/png > " + file + "2 & wait");
  EXPECT_EQ(shell("cmp " + file + " " + file + "1 && cmp " + file + " " + file + "2 && echo same"), "same\n");
  EXPECT_TRUE(eventually([&] { return log->count("Dropped a clipboard requestor that stopped reading") > 0; }));
  EXPECT_EQ(types(*board), std::vector<std::string>{Pasteboard::pngType});
}

// An owner that never answers costs one transfer limit; questions behind it
// do not wait again, and the next owner is read as usual.
TEST_F(X11PasteboardTest, OwnerThatNeverAnswersCostsOneTransferLimit) {
  auto board = open(1000ms);
  auto hung = client({"hang", "UTF8_STRING=never"});
  ASSERT_TRUE(eventually([&] { return board->changeCount() == 1; }));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(data(*board, kPlain), Data::none());
  auto first = std::chrono::steady_clock::now() - start;
  EXPECT_GE(first, 900ms);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(types(*board), std::vector<std::string>{});
  EXPECT_LT(std::chrono::steady_clock::now() - start, first / 2);

  auto good = client({"own", "UTF8_STRING=later"});
  ASSERT_TRUE(eventually([&] { return board->changeCount() == 2; }));
  EXPECT_EQ(data(*board, kPlain), Data::of(bytes("later")));
}

// When the adapter goes while it owns the clipboard, a clipboard manager
// keeps the content.
TEST_F(X11PasteboardTest, HandsTheContentToAClipboardManager) {
  auto manager = client({"manager"});
  auto board = open();
  ASSERT_TRUE(write(*board, {{kPlain, bytes("kept")}}));
  board.reset();
  EXPECT_EQ(manager->nextLine(), "saved kept");
}

// Without its X server every call completes, with nothing.
TEST_F(X11PasteboardTest, LostDisplayAnswersNothing) {
  auto board = open();
  server.stop();
  EXPECT_EQ(write(*board, {{kPlain, bytes("x")}}), std::nullopt);
  EXPECT_EQ(types(*board), std::vector<std::string>{});
  EXPECT_EQ(data(*board, kPlain), Data::none());
}

}  // namespace
}  // namespace tillerpad::platform::linux_x11
