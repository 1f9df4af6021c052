#include "platform/fake/fake_screen_capture.h"

#include <algorithm>
#include <utility>

namespace tillerpad::platform::fake {

class FakeScreenCapture::Stream final : public CaptureStream {
 public:
  Stream(std::weak_ptr<FakeScreenCapture*> capture, int number, CaptureConfig config)
      : capture_(std::move(capture)), number_(number), config_(config) {}
  ~Stream() override {
    if (auto c = capture_.lock()) (*c)->ended(number_, std::nullopt, config_);
  }
  void update(const CaptureConfig& config, Done done) override {
    auto c = capture_.lock();
    if (!c) return done("the capture is gone");
    std::optional<std::string> failure;
    {
      std::lock_guard lock((*c)->mutex_);
      (*c)->calls_.push_back({Kind::update, number_, config});
      failure = std::exchange((*c)->updateFailure_, std::nullopt);
    }
    if (!failure) config_ = config;
    (*c)->complete([done = std::move(done), failure] { done(failure); });
  }
  void stop(Done done) override {
    auto c = capture_.lock();
    if (!c) return done(std::nullopt);
    (*c)->ended(number_, Kind::stop, config_);
    (*c)->complete([done = std::move(done)] { done(std::nullopt); });
  }

 private:
  std::weak_ptr<FakeScreenCapture*> capture_;
  int number_;
  CaptureConfig config_;
};

FakeScreenCapture::FakeScreenCapture() = default;
FakeScreenCapture::~FakeScreenCapture() { self_.reset(); }

void FakeScreenCapture::record(Call call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

void FakeScreenCapture::complete(std::function<void()> completion) {
  {
    std::lock_guard lock(mutex_);
    if (holding_) {
      held_.push_back(std::move(completion));
      mostHeld_ = std::max(mostHeld_, held_.size());
      return;
    }
  }
  completion();
}

void FakeScreenCapture::ended(int number, std::optional<Kind> how, const CaptureConfig& config) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(live_.begin(), live_.end(), [number](const Live& l) { return l.number == number; });
  if (it == live_.end()) return;
  live_.erase(it);
  if (how) calls_.push_back({*how, number, config});
}

void FakeScreenCapture::listDisplays(DisplaysDone done) {
  std::vector<CaptureDisplay> displays;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({Kind::list, 0, {}});
    displays = displays_;
  }
  complete([done = std::move(done), displays = std::move(displays)] { done(displays); });
}

void FakeScreenCapture::start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) {
  std::optional<std::string> failure;
  int number = 0;
  {
    std::lock_guard lock(mutex_);
    failure = std::exchange(startFailure_, std::nullopt);
    if (!failure) {
      number = nextStream_++;
      live_.push_back({number, std::move(handlers)});
    }
    calls_.push_back({Kind::start, number, config});
  }
  if (failure) {
    complete([done = std::move(done), failure] { done(nullptr, failure); });
    return;
  }
  auto stream = std::make_shared<std::unique_ptr<CaptureStream>>(std::make_unique<Stream>(self_, number, config));
  complete([done = std::move(done), stream] { done(std::move(*stream), std::nullopt); });
}

void FakeScreenCapture::setDisplaysChangedHandler(std::function<void()> changed) {
  std::lock_guard lock(mutex_);
  changed_ = std::move(changed);
}

void FakeScreenCapture::setDisplays(std::vector<CaptureDisplay> displays) {
  std::lock_guard lock(mutex_);
  displays_ = std::move(displays);
}

void FakeScreenCapture::failNextStart(std::string error) {
  std::lock_guard lock(mutex_);
  startFailure_ = std::move(error);
}

void FakeScreenCapture::failNextUpdate(std::string error) {
  std::lock_guard lock(mutex_);
  updateFailure_ = std::move(error);
}

void FakeScreenCapture::hold(bool holding) {
  std::lock_guard lock(mutex_);
  holding_ = holding;
}

bool FakeScreenCapture::releaseOne() {
  std::function<void()> completion;
  {
    std::lock_guard lock(mutex_);
    if (held_.empty()) return false;
    completion = std::move(held_.front());
    held_.pop_front();
  }
  completion();
  return true;
}

std::size_t FakeScreenCapture::held() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

std::size_t FakeScreenCapture::mostHeldAtOnce() const {
  std::lock_guard lock(mutex_);
  return mostHeld_;
}

std::vector<FakeScreenCapture::Call> FakeScreenCapture::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int FakeScreenCapture::liveStreams() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(live_.size());
}

bool FakeScreenCapture::hasDisplaysChangedHandler() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(changed_);
}

bool FakeScreenCapture::deliverFrame(int width, int height, std::uint8_t shade) {
  std::function<void(FrameRef)> handler;
  {
    std::lock_guard lock(mutex_);
    if (live_.empty()) return false;
    handler = live_.back().handlers.frame;
  }
  auto* frame = new CapturedFrame{width, height, width * 4,
                                  std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4, shade)};
  ++*framesHeld_;
  // Like a pool's buffer: counted back when the last holder lets go.
  FrameRef ref(frame, [held = framesHeld_](const CapturedFrame* f) {
    --*held;
    delete f;
  });
  if (handler) handler(std::move(ref));
  return true;
}

bool FakeScreenCapture::stopByPlatform(CaptureStop stop) {
  std::function<void(CaptureStop)> handler;
  {
    std::lock_guard lock(mutex_);
    if (live_.empty()) return false;
    handler = live_.back().handlers.stopped;
    live_.pop_back();
  }
  if (handler) handler(std::move(stop));
  return true;
}

void FakeScreenCapture::changeDisplays() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    handler = changed_;
  }
  if (handler) handler();
}

}  // namespace tillerpad::platform::fake
