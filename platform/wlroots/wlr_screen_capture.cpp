#include "platform/wlroots/wlr_screen_capture.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <thread>

#include <libyuv/convert_argb.h>
#include <libyuv/scale_argb.h>

#include "wlr-screencopy-unstable-v1-client.h"

namespace tillerpad::platform::wlroots {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits are cut into slices so that a stop is seen even if a wake-up were lost.
constexpr auto kLongestWait = 500ms;
// How long a stream's destructor waits for its thread before letting it go.
constexpr auto kEndWait = 2s;
constexpr auto kShortestInterval = 2ms;
// Frames lent at once: the consumer holds at most two in flight and one pending.
constexpr int kPoolSize = 4;
// One failed copy may be a mode change under way; two in a row end the capture.
constexpr int kFailuresInARow = 2;

// Little-endian 32-bit words: XRGB/ARGB8888 are B, G, R, X bytes (what the
// frames carry), XBGR/ABGR8888 are R, G, B, X and get their channels swapped.
bool isBgrx(std::uint32_t format) { return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888; }
bool isRgbx(std::uint32_t format) { return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888; }

std::optional<std::string> checkConfig(const CaptureConfig& config) {
  if (config.width < 1 || config.height < 1 || config.width > 16384 || config.height > 16384) {
    return "Invalid capture size " + std::to_string(config.width) + "×" + std::to_string(config.height);
  }
  if (!(config.minFrameInterval >= 0)) return std::string("Invalid frame interval");
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Frames lent from a few buffers that keep their size between frames.

class FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  int acquire() {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < kPoolSize; ++i) {
      if (!lent_[i]) {
        lent_[i] = true;
        return i;
      }
    }
    return -1;
  }
  CapturedFrame& frame(int slot) { return frames_[slot]; }
  void release(int slot) {
    std::lock_guard lock(mutex_);
    lent_[slot] = false;
  }
  FrameRef lend(int slot) {
    return FrameRef(&frames_[slot], [self = shared_from_this(), slot](const CapturedFrame*) { self->release(slot); });
  }

 private:
  std::mutex mutex_;
  std::array<CapturedFrame, kPoolSize> frames_;
  std::array<bool, kPoolSize> lent_{};
};

// ---------------------------------------------------------------------------
// The protocol side of one capture, on the connection's thread.

struct Box {
  std::int64_t x = 0, y = 0, width = 0, height = 0;
};

struct ShmBuffer {
  void* data = nullptr;
  std::size_t size = 0;
  wl_buffer* buffer = nullptr;
  std::uint32_t format = 0;
  int width = 0, height = 0, stride = 0;

  void release() {
    if (buffer) wl_buffer_destroy(buffer);
    if (data) munmap(data, size);
    *this = {};
  }
};

// What the protocol side tells the capture's thread.
struct Shot {
  enum class Kind { ready, failed } kind = Kind::ready;
  std::uint64_t generation = 0;
  int buffer = 0;
  bool yInvert = false;
  bool withDamage = false;
  std::vector<Box> damage;
  std::string why;
};

struct Mailbox {
  struct Command {
    bool stop = false;
    std::optional<CaptureConfig> config;
    CaptureStream::Done done;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Shot> shots;
  std::deque<Command> commands;
  std::optional<std::string> lost;
  bool outputsChanged = false;
  bool abandoned = false;
  bool finished = false;

  void put(const std::function<void(Mailbox&)>& change) {
    {
      std::lock_guard lock(mutex);
      change(*this);
    }
    changed.notify_all();
  }
};

class Wire {
 public:
  Wire(WaylandConnection* connection, std::shared_ptr<Mailbox> mailbox)
      : connection_(connection), mailbox_(std::move(mailbox)) {
    manager_ = connection_->global<zwlr_screencopy_manager_v1>(&zwlr_screencopy_manager_v1_interface);
    version_ = connection_->globalVersion(&zwlr_screencopy_manager_v1_interface);
    shm_ = connection_->global<wl_shm>(&wl_shm_interface);
  }

  // After a lost connection the proxies went with it; the memory is ours.
  ~Wire() {
    for (auto& b : buffers_) {
      if (b.data) munmap(b.data, b.size);
    }
  }
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;

  // Asks for one copy of output `id` into buffer `target`. Connection thread.
  void arm(std::uint32_t id, bool cursor, int target, bool withDamage, std::uint64_t generation) {
    dropFrame();
    generation_ = generation;
    target_ = target;
    withDamage_ = withDamage && version_ >= 2;
    offered_.reset();
    yInvert_ = false;
    damage_.clear();
    wl_output* output = nullptr;
    for (const OutputInfo& o : connection_->outputs()) {
      if (o.id == id) output = o.output;
    }
    if (!manager_ || !shm_ || !output) return fail("The output is gone");
    frame_ = zwlr_screencopy_manager_v1_capture_output(manager_, cursor ? 1 : 0, output);
    zwlr_screencopy_frame_v1_add_listener(frame_, &listener, this);
  }

  // Ends what is under way and frees the buffers. Connection thread.
  void close() {
    dropFrame();
    for (auto& b : buffers_) b.release();
  }

  // Read by the capture's thread between a ready shot and its next arm.
  const ShmBuffer& buffer(int i) const { return buffers_[i]; }

 private:
  void dropFrame() {
    if (frame_) zwlr_screencopy_frame_v1_destroy(frame_);
    frame_ = nullptr;
  }

  void fail(std::string why) {
    dropFrame();
    Shot shot{Shot::Kind::failed, generation_, target_, false, false, {}, std::move(why)};
    mailbox_->put([&](Mailbox& m) { m.shots.push_back(std::move(shot)); });
  }

  // The buffer to copy into, as the compositor described it.
  bool prepare(ShmBuffer& b) {
    const auto& o = *offered_;
    if (b.buffer && b.format == o.format && b.width == o.width && b.height == o.height && b.stride == o.stride) return true;
    b.release();
    std::size_t size = static_cast<std::size_t>(o.stride) * static_cast<std::size_t>(o.height);
    int fd = memfd_create("tillerpad-screen", MFD_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    void* data = ok ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (data == MAP_FAILED) {
      ::close(fd);
      return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, static_cast<std::int32_t>(size));
    b.buffer = wl_shm_pool_create_buffer(pool, 0, o.width, o.height, o.stride, o.format);
    wl_shm_pool_destroy(pool);  // the buffer keeps the memory
    ::close(fd);
    b.data = data;
    b.size = size;
    b.format = o.format;
    b.width = o.width;
    b.height = o.height;
    b.stride = o.stride;
    return true;
  }

  void copy() {
    if (!offered_) return fail("The compositor offers no shared-memory format we read");
    ShmBuffer& b = buffers_[target_];
    if (!prepare(b)) return fail("No memory for a screen buffer");
    if (withDamage_) {
      zwlr_screencopy_frame_v1_copy_with_damage(frame_, b.buffer);
    } else {
      zwlr_screencopy_frame_v1_copy(frame_, b.buffer);
    }
  }

  static void onBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride) {
    auto* w = static_cast<Wire*>(data);
    bool usable = (isBgrx(format) || isRgbx(format)) && width > 0 && height > 0 && stride >= width * 4 &&
                  width <= 16384 && height <= 16384;
    if (usable && !w->offered_) {
      w->offered_ = Offered{format, static_cast<int>(width), static_cast<int>(height), static_cast<int>(stride)};
    }
    // Before version 3 there is no buffer_done: the one buffer event is all.
    if (w->version_ < 3) w->copy();
  }
  static void onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
    static_cast<Wire*>(data)->yInvert_ = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
  }
  static void onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
    auto* w = static_cast<Wire*>(data);
    w->dropFrame();
    Shot shot{Shot::Kind::ready, w->generation_, w->target_, w->yInvert_, w->withDamage_, std::move(w->damage_), {}};
    w->damage_.clear();
    w->mailbox_->put([&](Mailbox& m) { m.shots.push_back(std::move(shot)); });
  }
  static void onFailed(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<Wire*>(data)->fail("The compositor could not copy the output");
  }
  static void onDamage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                       std::uint32_t height) {
    auto* w = static_cast<Wire*>(data);
    if (w->damage_.size() < 256) w->damage_.push_back({x, y, width, height});
    // Past that many pieces the whole picture is compared.
    else w->damage_.front() = {0, 0, INT32_MAX, INT32_MAX};
  }
  static void onDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}
  static void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<Wire*>(data)->copy(); }
  static constexpr zwlr_screencopy_frame_v1_listener listener{&onBuffer, &onFlags,  &onReady,     &onFailed,
                                                              &onDamage, &onDmabuf, &onBufferDone};

  struct Offered {
    std::uint32_t format;
    int width, height, stride;
  };
  WaylandConnection* connection_;
  std::shared_ptr<Mailbox> mailbox_;
  zwlr_screencopy_manager_v1* manager_ = nullptr;
  wl_shm* shm_ = nullptr;
  std::uint32_t version_ = 0;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  std::array<ShmBuffer, 2> buffers_;
  std::uint64_t generation_ = 0;
  int target_ = 0;
  bool withDamage_ = false;
  std::optional<Offered> offered_;
  bool yInvert_ = false;
  std::vector<Box> damage_;
};

// Whether `a` and `b` show the same picture inside `damage` (everywhere
// when there is none): outside it the compositor says nothing changed.
bool samePicture(const ShmBuffer& a, const ShmBuffer& b, const std::vector<Box>& damage, bool yInvert) {
  if (!a.data || !b.data || a.format != b.format || a.width != b.width || a.height != b.height || a.stride != b.stride) {
    return false;
  }
  std::vector<Box> boxes = damage;
  if (boxes.empty()) boxes.push_back({0, 0, a.width, a.height});
  for (Box box : boxes) {
    std::int64_t x0 = std::clamp<std::int64_t>(box.x, 0, a.width), x1 = std::clamp<std::int64_t>(box.x + box.width, 0, a.width);
    std::int64_t y0 = std::clamp<std::int64_t>(box.y, 0, a.height), y1 = std::clamp<std::int64_t>(box.y + box.height, 0, a.height);
    if (yInvert) {
      // Damage is in the output's rows; the buffer holds them bottom up.
      std::tie(y0, y1) = std::pair(a.height - y1, a.height - y0);
    }
    for (std::int64_t y = y0; y < y1; ++y) {
      std::size_t offset = static_cast<std::size_t>(y) * static_cast<std::size_t>(a.stride) + static_cast<std::size_t>(x0) * 4;
      if (std::memcmp(static_cast<const char*>(a.data) + offset, static_cast<const char*>(b.data) + offset,
                      static_cast<std::size_t>(x1 - x0) * 4) != 0) {
        return false;
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// One capture's thread.

class Worker : public std::enable_shared_from_this<Worker> {
 public:
  Worker(std::shared_ptr<WaylandConnection> connection, CaptureConfig config, CaptureHandlers handlers, kit::Logger log)
      : connection_(std::move(connection)),
        config_(config),
        handlers_(std::move(handlers)),
        log_(std::move(log)),
        mailbox_(std::make_shared<Mailbox>()),
        wire_(std::make_shared<Wire>(connection_.get(), mailbox_)) {}

  void run(ScreenCapture::StartDone done);

  void post(bool stop, std::optional<CaptureConfig> config, CaptureStream::Done done) {
    mailbox_->put([&](Mailbox& m) { m.commands.push_back({stop, config, std::move(done)}); });
  }
  void abandon() {
    std::unique_lock lock(mailbox_->mutex);
    mailbox_->abandoned = true;
    mailbox_->changed.notify_all();
    if (std::this_thread::get_id() == threadID_) return;
    mailbox_->changed.wait_for(lock, kEndWait, [this] { return mailbox_->finished; });
  }

 private:
  bool outputExists(std::uint32_t id) const {
    auto outputs = connection_->outputs();
    return std::any_of(outputs.begin(), outputs.end(), [id](const OutputInfo& o) { return o.id == id; });
  }
  void loop();
  bool handleCommands(std::deque<Mailbox::Command>& commands, CaptureStream::Done& stopDone);
  void arm(Clock::time_point now, Clock::duration interval);
  void handle(Shot shot, Clock::time_point now);
  void deliver(const ShmBuffer& source, bool yInvert);
  void endByPlatform(std::string why);
  void closeWire();

  std::shared_ptr<WaylandConnection> connection_;
  CaptureConfig config_;
  CaptureHandlers handlers_;
  kit::Logger log_;
  std::shared_ptr<Mailbox> mailbox_;
  std::shared_ptr<Wire> wire_;
  std::thread::id threadID_;
  int lostToken_ = 0, outputsToken_ = 0;

  // The thread's own.
  std::shared_ptr<FramePool> pool_ = std::make_shared<FramePool>();
  std::vector<std::uint8_t> swapped_;  // RGBX pictures with their channels in frame order
  std::uint64_t generation_ = 0;       // of the copy under way; older shots are stale
  bool armed_ = false;
  bool fresh_ = true;    // the next picture is delivered whatever it shows
  int reference_ = -1;   // the buffer with the last delivered picture
  int slot_ = -1;        // reserved for the copy under way
  int failures_ = 0;
  bool ended_ = false;
  Clock::time_point lastReady_{}, retryAt_{};
};

void Worker::run(ScreenCapture::StartDone done) {
  {
    std::lock_guard lock(mailbox_->mutex);
    threadID_ = std::this_thread::get_id();
  }
  auto error = checkConfig(config_);
  if (!error && !connection_->global(&zwlr_screencopy_manager_v1_interface)) {
    error = "The compositor does not offer screen copies (wlr-screencopy)";
  }
  if (!error && !connection_->global(&wl_shm_interface)) error = "The compositor offers no shared memory";
  if (!error && !outputExists(config_.displayID)) error = "No display with id " + std::to_string(config_.displayID);
  if (!error) {
    auto box = mailbox_;
    lostToken_ = connection_->subscribeLost([box](const std::string& why) { box->put([&](Mailbox& m) { m.lost = why; }); });
    outputsToken_ = connection_->subscribeOutputsChanged([box] { box->put([](Mailbox& m) { m.outputsChanged = true; }); });
    if (connection_->lost()) error = "Lost the Wayland compositor";
  }
  if (error) {
    if (lostToken_) connection_->unsubscribe(lostToken_);
    if (outputsToken_) connection_->unsubscribe(outputsToken_);
    done(nullptr, error);
  } else {
    class Stream : public CaptureStream {
     public:
      explicit Stream(std::shared_ptr<Worker> worker) : worker_(std::move(worker)) {}
      ~Stream() override { worker_->abandon(); }
      void update(const CaptureConfig& config, Done done) override { worker_->post(false, config, std::move(done)); }
      void stop(Done done) override { worker_->post(true, std::nullopt, std::move(done)); }

     private:
      std::shared_ptr<Worker> worker_;
    };
    done(std::make_unique<Stream>(shared_from_this()), std::nullopt);
    loop();
    connection_->unsubscribe(lostToken_);
    connection_->unsubscribe(outputsToken_);
  }
  std::lock_guard lock(mailbox_->mutex);
  mailbox_->finished = true;
  mailbox_->changed.notify_all();
}

void Worker::closeWire() {
  if (slot_ >= 0) pool_->release(slot_);
  slot_ = -1;
  armed_ = false;
  ++generation_;
  // The buffers go on the connection's thread, or here once a lost
  // connection's thread has ended.
  auto wire = wire_;
  connection_->finalCall([wire] { wire->close(); });
}

void Worker::endByPlatform(std::string why) {
  ended_ = true;
  log_.notice("Screen capture ended: " + why);
  closeWire();
  if (handlers_.stopped) handlers_.stopped(CaptureStop{std::move(why), false});
}

void Worker::arm(Clock::time_point now, Clock::duration interval) {
  slot_ = pool_->acquire();
  if (slot_ < 0) {
    retryAt_ = now + interval;  // the consumer is behind: this tick is skipped
    return;
  }
  // Into the buffer that is not the reference, so the two can be compared.
  int target = reference_ == 0 ? 1 : 0;
  bool withDamage = !fresh_;
  std::uint64_t generation = ++generation_;
  auto wire = wire_;
  std::uint32_t id = config_.displayID;
  bool cursor = config_.showCursor;
  if (!connection_->post([=] { wire->arm(id, cursor, target, withDamage, generation); })) {
    pool_->release(slot_);
    slot_ = -1;
    return;  // the loss notice is on its way
  }
  armed_ = true;
}

void Worker::deliver(const ShmBuffer& source, bool yInvert) {
  const auto* pixels = static_cast<const std::uint8_t*>(source.data);
  int stride = source.stride;
  if (isRgbx(source.format)) {
    swapped_.resize(static_cast<std::size_t>(source.width) * 4 * static_cast<std::size_t>(source.height));
    libyuv::ABGRToARGB(pixels, stride, swapped_.data(), source.width * 4, source.width, source.height);
    pixels = swapped_.data();
    stride = source.width * 4;
  }
  if (yInvert) {
    pixels += static_cast<std::ptrdiff_t>(source.height - 1) * stride;
    stride = -stride;
  }
  CapturedFrame& frame = pool_->frame(slot_);
  if (frame.width != config_.width || frame.height != config_.height) {
    frame.width = config_.width;
    frame.height = config_.height;
    frame.stride = config_.width * 4;
    frame.pixels.resize(static_cast<std::size_t>(frame.stride) * static_cast<std::size_t>(frame.height));
  }
  libyuv::ARGBScale(pixels, stride, source.width, source.height, frame.pixels.data(), frame.stride, frame.width,
                    frame.height, libyuv::kFilterBox);
  int slot = slot_;
  slot_ = -1;
  if (handlers_.frame) {
    handlers_.frame(pool_->lend(slot));
  } else {
    pool_->release(slot);
  }
}

void Worker::handle(Shot shot, Clock::time_point now) {
  if (shot.generation != generation_ || !armed_) return;  // from a copy given up
  armed_ = false;
  if (shot.kind == Shot::Kind::failed) {
    pool_->release(slot_);
    slot_ = -1;
    fresh_ = true;
    if (++failures_ >= kFailuresInARow) endByPlatform(shot.why);
    return;
  }
  failures_ = 0;
  lastReady_ = now;
  const ShmBuffer& got = wire_->buffer(shot.buffer);
  bool still = !fresh_ && reference_ >= 0 && samePicture(got, wire_->buffer(reference_), shot.damage, shot.yInvert);
  if (still) {
    pool_->release(slot_);
    slot_ = -1;
    return;
  }
  fresh_ = false;
  deliver(got, shot.yInvert);
  reference_ = shot.buffer;
}

bool Worker::handleCommands(std::deque<Mailbox::Command>& commands, CaptureStream::Done& stopDone) {
  for (std::size_t i = 0; i < commands.size(); ++i) {
    Mailbox::Command& c = commands[i];
    if (c.stop) {
      stopDone = std::move(c.done);
      for (std::size_t j = i + 1; j < commands.size(); ++j) {
        if (commands[j].done) commands[j].done(std::string("The capture has stopped"));
      }
      return false;
    }
    std::optional<std::string> error = checkConfig(*c.config);
    if (!error && ended_) error = "The capture has ended";
    if (!error && c.config->displayID != config_.displayID && !outputExists(c.config->displayID)) {
      error = "No display with id " + std::to_string(c.config->displayID);
    }
    if (!error) {
      bool newPicture = c.config->width != config_.width || c.config->height != config_.height ||
                        c.config->showCursor != config_.showCursor || c.config->displayID != config_.displayID;
      if (c.config->displayID != config_.displayID) reference_ = -1;
      config_ = *c.config;
      if (newPicture) {
        // A copy waiting for damage may wait long on a still screen: the
        // consumer wants a picture at its new size now.
        fresh_ = true;
        if (armed_) {
          armed_ = false;
          ++generation_;
          pool_->release(slot_);
          slot_ = -1;
        }
      }
    }
    if (c.done) c.done(error);
  }
  return true;
}

void Worker::loop() {
  CaptureStream::Done stopDone;
  for (;;) {
    std::deque<Mailbox::Command> commands;
    std::deque<Shot> shots;
    std::optional<std::string> lost;
    bool outputsChanged = false;
    {
      std::lock_guard lock(mailbox_->mutex);
      if (mailbox_->abandoned) break;
      commands.swap(mailbox_->commands);
      shots.swap(mailbox_->shots);
      lost = mailbox_->lost;
      outputsChanged = std::exchange(mailbox_->outputsChanged, false);
    }
    if (!handleCommands(commands, stopDone)) break;
    auto now = Clock::now();
    if (!ended_ && lost) {
      ended_ = true;
      log_.notice("Screen capture ended: " + *lost);
      closeWire();  // the lost connection's proxies still hold memory
      if (handlers_.stopped) handlers_.stopped(CaptureStop{"Lost the Wayland compositor: " + *lost, false});
    }
    if (!ended_ && outputsChanged && !outputExists(config_.displayID)) endByPlatform("The display went away");
    for (Shot& shot : shots) {
      if (!ended_) handle(std::move(shot), now);
    }
    auto interval = std::max<Clock::duration>(
        kShortestInterval, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.minFrameInterval)));
    Clock::time_point next = now + kLongestWait;
    if (!ended_ && !armed_) {
      Clock::time_point due = std::max(lastReady_ + interval, retryAt_);
      if (now >= due) {
        arm(now, interval);
      } else {
        next = std::min(next, due);
      }
      if (!armed_) next = std::min(next, retryAt_ > now ? retryAt_ : now + interval);
    }
    std::unique_lock lock(mailbox_->mutex);
    mailbox_->changed.wait_until(lock, next, [this] {
      return mailbox_->abandoned || !mailbox_->commands.empty() || !mailbox_->shots.empty() || mailbox_->outputsChanged ||
             (mailbox_->lost && !ended_);
    });
  }
  if (!ended_) closeWire();
  if (stopDone) stopDone(std::nullopt);
}

}  // namespace

std::vector<CaptureDisplay> captureDisplaysFromOutputs(const std::vector<OutputInfo>& outputs) {
  std::vector<CaptureDisplay> result;
  for (const DisplayInfo& d : displaysFromOutputs(outputs)) {
    auto o = std::find_if(outputs.begin(), outputs.end(), [&](const OutputInfo& i) { return i.id == d.id; });
    CaptureDisplay c;
    c.id = d.id;
    c.name = d.name;
    c.pointWidth = std::max<std::int64_t>(1, static_cast<std::int64_t>(d.bounds.width));
    c.pointHeight = std::max<std::int64_t>(1, static_cast<std::int64_t>(d.bounds.height));
    // The width as shown: a quarter turn shows the mode's height across.
    c.pixelWidth = o == outputs.end() ? 0 : (o->transform % 2 == 1 ? o->pixelHeight : o->pixelWidth);
    c.isMain = d.isMain;
    c.left = static_cast<std::int64_t>(d.bounds.x);
    result.push_back(std::move(c));
  }
  return result;
}

std::vector<WantedGlobal> WlrScreenCapture::wantedGlobals() {
  return {{&zwlr_screencopy_manager_v1_interface, 3}, {&wl_shm_interface, 1}};
}

WlrScreenCapture::WlrScreenCapture(std::shared_ptr<WaylandConnection> connection, kit::Logger log)
    : connection_(std::move(connection)), log_(std::move(log)) {
  outputsToken_ = connection_->subscribeOutputsChanged([this] {
    std::function<void()> changed;
    {
      std::lock_guard lock(mutex_);
      changed = changed_;
      permitted_.reset();  // a new output arrangement: ask again when asked
    }
    if (changed) changed();
  });
}

WlrScreenCapture::~WlrScreenCapture() { connection_->unsubscribe(outputsToken_); }

void WlrScreenCapture::listDisplays(DisplaysDone done) {
  auto shared = std::make_shared<DisplaysDone>(std::move(done));
  auto* connection = connection_.get();
  // Completions run away from the caller's thread, as on every platform.
  if (!connection_->post([shared, connection] { (*shared)(captureDisplaysFromOutputs(connection->outputs())); })) {
    std::thread([shared] { (*shared)({}); }).detach();
  }
}

void WlrScreenCapture::start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) {
  auto worker = std::make_shared<Worker>(connection_, config, std::move(handlers), log_);
  std::thread([worker, done = std::move(done)]() mutable { worker->run(std::move(done)); }).detach();
}

void WlrScreenCapture::setDisplaysChangedHandler(std::function<void()> changed) {
  std::lock_guard lock(mutex_);
  changed_ = std::move(changed);
}

bool WlrScreenCapture::capturePermitted(bool refresh, std::chrono::milliseconds limit) {
  {
    std::lock_guard lock(mutex_);
    if (permitted_ && !refresh) return *permitted_;
  }
  bool permitted = false;
  auto displays = captureDisplaysFromOutputs(connection_->outputs());
  if (connection_->global(&zwlr_screencopy_manager_v1_interface) && !displays.empty()) {
    // One small frame of the main output, or a stop, or the time runs out.
    auto result = std::make_shared<std::promise<bool>>();
    auto once = std::make_shared<std::once_flag>();
    auto settle = [result, once](bool value) { std::call_once(*once, [&] { result->set_value(value); }); };
    auto future = result->get_future();
    std::unique_ptr<CaptureStream> stream;
    auto started = std::make_shared<std::promise<std::unique_ptr<CaptureStream>>>();
    auto startedFuture = started->get_future();
    start(CaptureConfig{displays.front().id, 16, 16, 1.0, false},
          CaptureHandlers{[settle](FrameRef) { settle(true); }, [settle](CaptureStop) { settle(false); }},
          [started, settle](std::unique_ptr<CaptureStream> s, std::optional<std::string>) {
            if (!s) settle(false);
            started->set_value(std::move(s));
          });
    auto deadline = Clock::now() + limit;
    if (startedFuture.wait_until(deadline) == std::future_status::ready) stream = startedFuture.get();
    if (future.wait_until(deadline) == std::future_status::ready) permitted = future.get();
    // The stream's destructor ends its thread.
  }
  std::lock_guard lock(mutex_);
  permitted_ = permitted;
  return permitted;
}

}  // namespace tillerpad::platform::wlroots
