// Codec throughput for a large frame and cost of a small message, beside a
// plain memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>

#include "kit/wire/framing.h"
#include "kit/wire/message_codec.h"

namespace tillerpad::kit {
namespace {

constexpr std::size_t kJpegSize = 1 << 20;

Message largeFrame() {
  Bytes jpeg(kJpegSize);
  for (std::size_t i = 0; i < jpeg.size(); ++i) jpeg[i] = static_cast<std::uint8_t>(i * 31);
  return Message::screenFrame({ScreenFrame::makeFrameID(1, 1), 1, 1920, 1080, Blob{std::move(jpeg)}});
}

void BM_Memcpy1MiB(benchmark::State& state) {
  Bytes source(kJpegSize, 0x42), destination(kJpegSize);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), source.size());
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJpegSize));
}
BENCHMARK(BM_Memcpy1MiB);

void BM_EncodeScreenFrame1MiB(benchmark::State& state) {
  Message m = largeFrame();
  for (auto _ : state) {
    Bytes frame = MessageCodec::encodeFrame(m);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJpegSize));
}
BENCHMARK(BM_EncodeScreenFrame1MiB);

void BM_DecodeScreenFrame1MiB(benchmark::State& state) {
  Bytes payload = MessageCodec::encode(largeFrame());
  for (auto _ : state) {
    Message m = MessageCodec::decode(payload);
    benchmark::DoNotOptimize(&m);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJpegSize));
}
BENCHMARK(BM_DecodeScreenFrame1MiB);

// The receiving side's whole path: frame bytes arriving in reads of at most
// 256 KiB into the connection's decoder, message out.
void BM_UnframeAndDecodeScreenFrame1MiB(benchmark::State& state) {
  Bytes frame = MessageCodec::encodeFrame(largeFrame());
  FrameDecoder decoder;
  constexpr std::size_t kRead = 262'144;
  for (auto _ : state) {
    for (std::size_t at = 0; at < frame.size(); at += kRead) {
      decoder.append(ByteView(frame).subspan(at, std::min(kRead, frame.size() - at)));
    }
    Message m = MessageCodec::decode(*decoder.next());
    benchmark::DoNotOptimize(&m);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJpegSize));
}
BENCHMARK(BM_UnframeAndDecodeScreenFrame1MiB);

void BM_EncodeMouseButton(benchmark::State& state) {
  Message m = Message::mouseButton({MouseButton::left, MouseButtonEvent::Action::click});
  for (auto _ : state) {
    Bytes frame = MessageCodec::encodeFrame(m);
    benchmark::DoNotOptimize(frame.data());
  }
}
BENCHMARK(BM_EncodeMouseButton);

void BM_DecodeMouseButton(benchmark::State& state) {
  Bytes payload = MessageCodec::encode(Message::mouseButton({MouseButton::left, MouseButtonEvent::Action::click}));
  for (auto _ : state) {
    Message m = MessageCodec::decode(payload);
    benchmark::DoNotOptimize(&m);
  }
}
BENCHMARK(BM_DecodeMouseButton);

}  // namespace
}  // namespace tillerpad::kit

BENCHMARK_MAIN();
