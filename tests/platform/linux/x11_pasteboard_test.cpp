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
// place or missing shows.
Bytes noise(std::size_t size) {
  Bytes b(size);
  std::mt19937 random(7);
  for (auto& x : b) x = static_cast<std::uint8_t>(random());
  return b;
}

std::string tempFile(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))).string();
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

long peakResidentKiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Waits, bounded, for the completion of one call.
template <typename T>
std::optional<T> await(const std::function<void(std::function<void(T)>)>& call) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  call([promise](T value) { promise->set_value(std::move(value)); });
  if (future.wait_for(kAnswerWait) != std::future_status::ready) return std::nullopt;
  return future.get();
}

class X11PasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.running()); }

  std::unique_ptr<X11Pasteboard> open(std::chrono::milliseconds transferLimit = 3000ms) {
    return std::make_unique<X11Pasteboard>(X11Pasteboard::Options{server.name(), transferLimit},
                                           kit::Logger(log, "app.tillerpad.Tillerpad", "clipboard"));
  }
  // xclip stays in the background owning the selection; the call returns once
  // it does.
  void xclipCopy(const std::string& file, const std::string& target = "UTF8_STRING") {
    test::runShell("DISPLAY=" + server.name() + " xclip -selection clipboard -t " + target + " -i " + file + " > /dev/null 2>&1");
  }
  std::unique_ptr<ChildProcess> client(const std::vector<std::string>& arguments) {
    auto c = std::make_unique<ChildProcess>(TILLERPAD_CLIPBOARD_TEST_CLIENT, arguments,
                                            std::map<std::string, std::string>{{"DISPLAY", server.name()}});
    EXPECT_EQ(c->nextLine(), "ready");
    return c;
  }
  // Polls `done` until it holds, for at most kAnswerWait.
  static bool eventually(const std::function<bool()>& done) {
    for (auto deadline = std::chrono::steady_clock::now() + kAnswerWait; std::chrono::steady_clock::now() < deadline;) {
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  static bool countReaches(X11Pasteboard& board, std::int64_t count) {
    return eventually([&] { return board.changeCount() >= count; });
  }
  std::vector<std::string> types(X11Pasteboard& board) {
    return await<std::vector<std::string>>([&](auto done) { board.types(std::move(done)); })
        .value_or(std::vector<std::string>{"<none>"});
  }
  Data data(X11Pasteboard& board, const std::string& type, std::size_t limit = 16 << 20) {
    return await<Data>([&](auto done) { board.data(type, limit, std::move(done)); }).value_or(Data{});
  }
  std::optional<std::int64_t> write(X11Pasteboard& board, std::vector<std::pair<std::string, Bytes>> items) {
    return await<std::optional<std::int64_t>>([&](auto done) { board.write(std::move(items), std::move(done)); })
        .value_or(std::nullopt);
  }

  PrivateXvfb server;
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
};

TEST(ClipboardTargetsTest, TargetsMapToHostTypes) {
  struct Case {
    std::vector<std::string> targets;
    std::vector<std::string> types;
  } cases[] = {
      {{"TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS", "UTF8_STRING", "TEXT", "STRING", "text/plain;charset=utf-8"},
       {kPlain}},
      {{"image/png", "image/jpeg", "image/tiff", "image/bmp"},
       {Pasteboard::pngType, Pasteboard::jpegType, Pasteboard::tiffType, "com.microsoft.bmp"}},
      {{"x-special/gnome-copied-files", "text/uri-list", "UTF8_STRING"}, {Pasteboard::fileURLType, kPlain}},
      {{"x-kde-passwordManagerHint", "text/html", "UTF8_STRING"}, {"x-kde-passwordManagerHint", "text/html", kPlain}},
  };
  for (const auto& c : cases) EXPECT_EQ(hostTypesForTargets(c.targets), c.types) << c.targets.front();
}

TEST(ClipboardTargetsTest, StringIsLatin1) {
  struct Case {
    std::string utf8;
    std::optional<std::string> latin1;
  } cases[] = {
      {"plain", "plain"},         {"caf\xC3\xA9 \xC3\xBF", "caf\xE9 \xFF"}, {"\xE2\x9C\x93", std::nullopt},
      {"\xC3", std::nullopt},      // cut short
      {"\xC0\xAF", std::nullopt},  // overlong
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8ToLatin1(bytes(c.utf8)), c.latin1 ? std::optional(bytes(*c.latin1)) : std::nullopt) << c.utf8;
  }
}

// What other clients copy arrives with its types mapped, and every copy
// moves the change count, the same text twice too.
TEST_F(X11PasteboardTest, ReadsWhatOtherClientsCopy) {
  auto board = open();
  std::string file = tempFile("clip-text");
  std::ofstream(file) << "hello clipboard";
  struct Case {
    std::vector<std::string> client;  // empty: xclip copies `file`
    std::vector<std::string> types;
    std::string type;
    std::string text;
  } cases[] = {
      {{}, {kPlain}, kPlain, "hello clipboard"},
      {{}, {kPlain}, kPlain, "hello clipboard"},
      {{"own", "UTF8_STRING=secret", "x-kde-passwordManagerHint=secret"},
       {kPlain, "x-kde-passwordManagerHint"},
       kPlain,
       "secret"},
      {{"own", "text/uri-list=file:///tmp/a"}, {Pasteboard::fileURLType}, Pasteboard::fileURLType, "file:///tmp/a"},
      {{"own", "STRING=caf\xE9"}, {kPlain}, kPlain, "caf\xC3\xA9"},
  };
  std::int64_t count = board->changeCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::unique_ptr<ChildProcess> owner;
    if (c.client.empty()) {
      xclipCopy(file);
    } else {
      owner = client(c.client);
    }
    ASSERT_TRUE(countReaches(*board, ++count));
    EXPECT_EQ(types(*board), c.types);
    EXPECT_EQ(data(*board, c.type), Data::of(bytes(c.text)));
  }
  std::filesystem::remove(file);
}

// A 10 MiB image comes in chunks. Below its size nothing comes, and reading
// stops before it costs the image's size in memory, also when the owner
// announces less than it sends.
TEST_F(X11PasteboardTest, ReadsLargeImagesInChunksWithinTheLimit) {
  auto board = open();
  Bytes image = noise(10 << 20);
  std::string file = tempFile("clip-image");
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
  for (bool honest : {true, false}) {
    SCOPED_TRACE(honest ? "xclip" : "an owner announcing 1 byte");
    std::unique_ptr<ChildProcess> liar;
    if (honest) {
      xclipCopy(file, "image/png");
    } else {
      liar = client({"lie", "image/png=40"});  // 10 MiB
    }
    ASSERT_TRUE(countReaches(*board, honest ? 1 : 2));
    EXPECT_EQ(types(*board), std::vector<std::string>{Pasteboard::pngType});
    long before = peakResidentKiB();
    EXPECT_EQ(data(*board, Pasteboard::pngType, 1 << 20), Data::overLimit());
    if (kResidentMemoryTells) {
      EXPECT_LT(peakResidentKiB() - before, (image.size() >> 10) * 3 / 4);
    }
    // xclip serves one requestor at a time: the cut-off read must not leave it stuck.
    if (honest) {
      EXPECT_EQ(data(*board, Pasteboard::pngType), Data::of(image));
    }
  }
  std::filesystem::remove(file);
}

// What we write other clients read, text under every text target, a large
// image in chunks: to two readers at once while a third stalls mid-transfer.
TEST_F(X11PasteboardTest, OtherClientsReadWhatWeWrite) {
  auto board = open(1000ms);
  std::string text = "caf\xC3\xA9 \xE2\x9C\x93";
  auto count = write(*board, {{kPlain, bytes(text)}});
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, board->changeCount());
  std::string out = tempFile("clip-out");
  auto xclip = [&](const std::string& target, const std::string& file) {
    return "DISPLAY=" + server.name() + " xclip -selection clipboard -o -t " + target + " > " + file;
  };
  test::runShell(xclip("UTF8_STRING", out + "1") + "; " + xclip("text/plain\\;charset=utf-8", out + "2") + "; " +
                 xclip("TARGETS", out + "3"));
  EXPECT_EQ(readFile(out + "1"), bytes(text));
  EXPECT_EQ(readFile(out + "2"), bytes(text));
  // The check mark has no Latin-1 form: no STRING at all.
  EXPECT_EQ(readFile(out + "3"), bytes("TARGETS\nTIMESTAMP\nUTF8_STRING\ntext/plain;charset=utf-8\nTEXT\n"));
  EXPECT_EQ(client({"stall", "MULTIPLE"})->nextLine(), "refused");
  EXPECT_EQ(client({"stall", "TIMESTAMP"})->nextLine(), "whole");
  // Reading back our own content needs no round trip.
  EXPECT_EQ(data(*board, kPlain), Data::of(bytes(text)));

  Bytes image = noise(10 << 20);
  auto second = write(*board, {{Pasteboard::pngType, image}});
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, *count + 1);
  auto staller = client({"stall", "image/png"});
  EXPECT_EQ(staller->nextLine(), "incr");
  test::runShell(xclip("image/png", out + "1") + " & " + xclip("image/png", out + "2") + "; wait", 30s);
  EXPECT_TRUE(readFile(out + "1") == image);
  EXPECT_TRUE(readFile(out + "2") == image);
  for (const char* n : {"1", "2", "3"}) std::filesystem::remove(out + n);
  EXPECT_TRUE(eventually([&] { return log->count("Dropped a clipboard requestor that stopped reading") > 0; }));
  EXPECT_EQ(types(*board), std::vector<std::string>{Pasteboard::pngType});
}

// An owner that never answers costs one transfer limit; questions behind it
// do not wait again, and the next owner is read as usual.
TEST_F(X11PasteboardTest, OwnerThatNeverAnswersCostsOneTransferLimit) {
  auto board = open(1000ms);
  auto hung = client({"hang", "UTF8_STRING=never"});
  ASSERT_TRUE(countReaches(*board, 1));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(data(*board, kPlain), Data::none());
  auto first = std::chrono::steady_clock::now() - start;
  EXPECT_GE(first, 900ms);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(types(*board), std::vector<std::string>{});
  EXPECT_LT(std::chrono::steady_clock::now() - start, first / 2);

  auto good = client({"own", "UTF8_STRING=later"});
  ASSERT_TRUE(countReaches(*board, 2));
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
