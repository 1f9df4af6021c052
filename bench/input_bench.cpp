// The injector's cost per pointer move (fast event in, XTest request
// written) beside a bare XTest motion request in the same run. Needs an X
// display: tests/platform/linux/with_xvfb.sh bench/tillerpad_bench_input
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/input/input_injector.h"
#include "platform/linux/x11_input.h"

// Last: Xlib's macros clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace tillerpad {
namespace {

using namespace std::chrono_literals;

struct DisplayCloser {
  void operator()(Display* d) const { XCloseDisplay(d); }
};

// The floor: one motion request and the flush that writes it.
void BM_BareXTestMotion(benchmark::State& state) {
  std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
  if (!display) {
    state.SkipWithError("no X display");
    return;
  }
  int x = 100;
  for (auto _ : state) {
    x = x == 100 ? 101 : 100;
    XTestFakeMotionEvent(display.get(), -1, x, 300, CurrentTime);
    XFlush(display.get());
  }
  XSync(display.get(), False);
}
BENCHMARK(BM_BareXTestMotion);

// Moves that arrive in batches (a datagram carries several); the queue's
// hand-off is shared by the batch. Range: moves per batch.
void BM_InjectorPointerMove(benchmark::State& state) {
  auto input = platform::linux_x11::X11Input::open("", kit::Logger());
  if (!input) {
    state.SkipWithError("no X display");
    return;
  }
  host::InputInjector injector(*input, *input, 0.4, kit::Logger());
  const auto batch = static_cast<std::size_t>(state.range(0));
  std::vector<kit::FastEvent> moves;
  for (std::size_t i = 0; i < batch; ++i) moves.push_back(kit::FastEvent::pointerMove(i % 2 ? 1.f : -1.f, 0));
  constexpr int kBatchesPerWait = 64;
  for (auto _ : state) {
    for (int i = 0; i < kBatchesPerWait; ++i) injector.applyFastEvents(moves);
    if (!injector.waitIdle(10s)) state.SkipWithError("the injector did not finish");
  }
  state.SetItemsProcessed(state.iterations() * kBatchesPerWait * static_cast<std::int64_t>(batch));
  state.counters["ns_per_move"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kBatchesPerWait * static_cast<std::int64_t>(batch)),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_InjectorPointerMove)->Arg(1)->Arg(4)->UseRealTime();

// One move, then wait for it: the latency a single move sees, hop included.
void BM_InjectorPointerMoveLatency(benchmark::State& state) {
  auto input = platform::linux_x11::X11Input::open("", kit::Logger());
  if (!input) {
    state.SkipWithError("no X display");
    return;
  }
  host::InputInjector injector(*input, *input, 0.4, kit::Logger());
  float dx = 1;
  for (auto _ : state) {
    dx = -dx;
    injector.applyFastEvents({kit::FastEvent::pointerMove(dx, 0)});
    if (!injector.waitIdle(10s)) state.SkipWithError("the injector did not finish");
  }
}
BENCHMARK(BM_InjectorPointerMoveLatency)->UseRealTime();

}  // namespace
}  // namespace tillerpad

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY")) {
    std::puts("input bench: no X display; run it through tests/platform/linux/with_xvfb.sh");
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
