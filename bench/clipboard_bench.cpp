// The X11 clipboard adapter on an Xvfb of the bench's own, against xclip:
//  - text copied with xclip: from starting xclip until the adapter's change
//    count moves, and from there until the text is read (median and worst of
//    `runs`); the host's 0.5 s poll comes on top of the first;
//  - a 16 MiB image read from xclip (chunked), and one written by the adapter
//    and read by `xclip -o` (its process start included).
//   build-rel/bench/tillerpad_bench_clipboard [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/x11_pasteboard.h"
#include "tests/support/child_process.h"

using namespace tillerpad;
using Clock = std::chrono::steady_clock;
using Bytes = platform::Pasteboard::Bytes;
using platform::linux_x11::X11Pasteboard;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

template <typename T, typename Call>
T await(Call call) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  call([promise](T value) { promise->set_value(std::move(value)); });
  if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    std::fprintf(stderr, "no answer within 30 s\n");
    std::exit(1);
  }
  return future.get();
}

void waitForChange(X11Pasteboard& board, std::int64_t from) {
  for (auto deadline = Clock::now() + std::chrono::seconds(15); board.changeCount() == from;) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "the change count did not move within 15 s\n");
      std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void summary(const char* what, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("%-34s median %8.2f ms   worst %8.2f ms\n", what, values[values.size() / 2], values.back());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  test::PrivateXvfb server;
  if (!server.running()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  X11Pasteboard board({server.name(), std::chrono::milliseconds(5000)}, kit::Logger());
  std::string display = "DISPLAY=" + server.name() + " ";
  auto dir = std::filesystem::temp_directory_path() / ("clipboard-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);

  std::vector<double> seen, read;
  for (int i = 0; i < runs; ++i) {
    std::string text = "copied text number " + std::to_string(i);
    std::ofstream(dir / "text") << text;
    auto before = board.changeCount();
    auto start = Clock::now();
    test::runShell(display + "xclip -selection clipboard -i " + (dir / "text").string() + " > /dev/null 2>&1");
    waitForChange(board, before);
    auto changed = Clock::now();
    auto got = await<platform::Pasteboard::Data>([&](auto done) { board.data(platform::Pasteboard::plainTextType, 1 << 20, done); });
    auto done = Clock::now();
    if (!got.ok() || std::string(got.bytes.begin(), got.bytes.end()) != text) {
      std::fprintf(stderr, "run %d: the text read differs\n", i);
      return 1;
    }
    seen.push_back(ms(changed - start));
    read.push_back(ms(done - changed));
  }
  std::printf("text, %d copies with xclip\n", runs);
  summary("  xclip start -> change seen", seen);
  summary("  change seen -> text read", read);

  Bytes image(16 << 20);
  std::mt19937 random(3);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  std::ofstream(dir / "image", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
  auto before = board.changeCount();
  test::runShell(display + "xclip -selection clipboard -t image/png -i " + (dir / "image").string() + " > /dev/null 2>&1");
  waitForChange(board, before);
  auto start = Clock::now();
  auto got = await<platform::Pasteboard::Data>([&](auto done) { board.data(platform::Pasteboard::pngType, 16 << 20, done); });
  double readMs = ms(Clock::now() - start);
  if (got.bytes != image) {
    std::fprintf(stderr, "the image read differs\n");
    return 1;
  }
  auto written = await<std::optional<std::int64_t>>([&](auto done) {
    board.write({{platform::Pasteboard::pngType, image}}, done);
  });
  if (!written) {
    std::fprintf(stderr, "the write was refused\n");
    return 1;
  }
  start = Clock::now();
  test::runShell(display + "xclip -selection clipboard -o -t image/png > " + (dir / "out").string(), std::chrono::seconds(60));
  double writeMs = ms(Clock::now() - start);
  std::ifstream in(dir / "out", std::ios::binary);
  if (Bytes(std::istreambuf_iterator<char>(in), {}) != image) {
    std::fprintf(stderr, "xclip read a different image\n");
    return 1;
  }
  std::printf("16 MiB image\n");
  std::printf("  read from xclip        %8.1f ms  %7.1f MiB/s\n", readMs, 16 / (readMs / 1000));
  std::printf("  written, xclip -o      %8.1f ms  %7.1f MiB/s\n", writeMs, 16 / (writeMs / 1000));
  std::filesystem::remove_all(dir);
  return 0;
}
