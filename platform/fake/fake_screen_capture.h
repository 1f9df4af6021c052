#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/screen_capture.h"

namespace tillerpad::platform::fake {

// A screen capture that records every call in order. Completions run at once
// on the caller's thread, or wait (hold) until the test releases them, so
// that the order of overlapping requests can be observed. Frames and stop
// notices are delivered when the test says so, on the test's thread.
class FakeScreenCapture final : public ScreenCapture {
 public:
  enum class Kind { list, start, update, stop };
  struct Call {
    Kind kind;
    int stream = 0;  // the stream's number (start: the new one; 0 when a start failed)
    CaptureConfig config;
    friend bool operator==(const Call&, const Call&) = default;
  };

  FakeScreenCapture();
  ~FakeScreenCapture() override;

  void listDisplays(DisplaysDone done) override;
  void start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) override;
  void setDisplaysChangedHandler(std::function<void()> changed) override;

  void setDisplays(std::vector<CaptureDisplay> displays);
  // The next start or update fails with `error`.
  void failNextStart(std::string error);
  void failNextUpdate(std::string error);

  void hold(bool holding);
  // Runs the oldest held completion; false when none waits.
  bool releaseOne();
  std::size_t held() const;
  // The most completions that waited at the same time.
  std::size_t mostHeldAtOnce() const;

  std::vector<Call> calls() const;
  // Streams started and neither stopped nor destroyed.
  int liveStreams() const;
  // Frames delivered whose last reference is still held by someone.
  int framesHeld() const { return *framesHeld_; }
  bool hasDisplaysChangedHandler() const;

  // To the newest live stream: a frame (false when there is none), or the
  // platform's end of the capture (the stream is then no longer live).
  bool deliverFrame(int width, int height, std::uint8_t shade = 0x80);
  bool stopByPlatform(CaptureStop stop);
  // The display arrangement changed (calls the handler, if any).
  void changeDisplays();

 private:
  class Stream;
  struct Live {
    int number;
    CaptureHandlers handlers;
  };
  void complete(std::function<void()> completion);
  void ended(int number, std::optional<Kind> how, const CaptureConfig& config);
  void record(Call call);

  mutable std::mutex mutex_;
  std::vector<CaptureDisplay> displays_;
  std::optional<std::string> startFailure_, updateFailure_;
  bool holding_ = false;
  std::deque<std::function<void()>> held_;
  std::size_t mostHeld_ = 0;
  std::vector<Call> calls_;
  std::vector<Live> live_;
  int nextStream_ = 1;
  std::function<void()> changed_;
  std::shared_ptr<std::atomic<int>> framesHeld_ = std::make_shared<std::atomic<int>>(0);
  // Streams outlive the capture in some tests: they reach it only while it lives.
  std::shared_ptr<FakeScreenCapture*> self_ = std::make_shared<FakeScreenCapture*>(this);
};

}  // namespace tillerpad::platform::fake
