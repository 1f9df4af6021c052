#include "platform/gnome/gnome_screen_capture.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

#include <libyuv/scale_argb.h>

#include "platform/gnome/display_config.h"
#include "platform/linux/frame_pool.h"
#include "platform/gnome/serial_worker.h"

namespace tillerpad::platform::gnome {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kSessionInterface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
// Mutter names the PipeWire node shortly after the session starts.
constexpr auto kNodeWait = 3s;
// A full pool is looked at again this soon.
constexpr auto kPoolRetry = 10ms;
constexpr std::uint32_t kCursorHidden = 0, kCursorEmbedded = 1;

std::optional<std::string> checkConfig(const CaptureConfig& config) {
  if (config.width < 1 || config.height < 1 || config.width > 16384 || config.height > 16384) {
    return "Invalid capture size " + std::to_string(config.width) + "×" + std::to_string(config.height);
  }
  if (!(config.minFrameInterval >= 0)) return std::string("Invalid frame interval");
  return std::nullopt;
}

std::vector<MutterMonitor> currentMonitors(MutterRemoteDesktop& desktop) {
  auto state = desktop.call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                            "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr, nullptr);
  auto parsed = parseCurrentState(state.get());
  return parsed ? *parsed : std::vector<MutterMonitor>{};
}

}  // namespace

class GnomeScreenCapture::Worker : public SerialWorker {};

namespace {

// One capture: its screen-cast session, its PipeWire stream and the frames.
class Capture : public std::enable_shared_from_this<Capture> {
 public:
  Capture(std::shared_ptr<MutterRemoteDesktop> desktop, std::shared_ptr<GnomeScreenCapture::Worker> worker,
          CaptureConfig config, CaptureHandlers handlers, kit::Logger log)
      : desktop_(std::move(desktop)), worker_(std::move(worker)), config_(config), handlers_(std::move(handlers)),
        log_(std::move(log)) {}
  ~Capture() { close(); }

  // On the worker.
  std::optional<std::string> open();
  void close();
  std::optional<std::string> update(const CaptureConfig& config);
  // The owner is done: no frame and no stop notice after this returns.
  void finish() {
    withLoopLock([this] { finished_ = true; });
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  // From any thread: the platform ended the capture.
  void platformEnded(std::string why) {
    auto self = shared_from_this();
    worker_->post([self, why = std::move(why)] {
      {
        std::lock_guard lock(self->mutex_);
        if (self->finished_) return;
      }
      self->finish();
      self->log_.notice("Screen capture ended: " + why);
      self->close();
      if (self->handlers_.stopped) self->handlers_.stopped(CaptureStop{why, false});
    });
  }

  std::shared_ptr<GnomeScreenCapture::Worker> worker() const { return worker_; }

 private:
  template <class F>
  void withLoopLock(F&& f) {
    if (loop_) pw_thread_loop_lock(loop_);
    f();
    if (loop_) pw_thread_loop_unlock(loop_);
  }
  std::optional<std::string> openPipeWire(std::uint32_t node);
  void onParamChanged(std::uint32_t id, const spa_pod* param);
  void onProcess();
  void onStateChanged(pw_stream_state state, const char* error);
  void handleBuffer(spa_buffer* buffer);
  void rescale();
  void tryDeliver();
  void armTimer(Clock::duration after);

  std::shared_ptr<MutterRemoteDesktop> desktop_;
  std::shared_ptr<GnomeScreenCapture::Worker> worker_;
  CaptureConfig config_;  // under the loop lock once the loop runs
  CaptureHandlers handlers_;
  kit::Logger log_;
  std::mutex mutex_;
  bool finished_ = false;  // under mutex_ and the loop lock

  // Set up and torn down on the worker.
  std::string connector_;
  std::string sessionPath_;
  unsigned closedSignal_ = 0, addedSignal_ = 0;
  int vanished_ = 0;
  std::atomic<bool> sessionClosed_{false};
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  spa_source* timer_ = nullptr;
  bool closing_ = false;

  // The PipeWire thread's (or the worker's under the loop lock).
  int sourceWidth_ = 0, sourceHeight_ = 0;
  std::vector<std::uint8_t> source_;  // the last picture as it came, for a new size
  std::vector<std::uint8_t> scaled_, delivered_;
  bool haveSource_ = false, pending_ = false, force_ = true;
  Clock::time_point lastDelivered_{};
  std::shared_ptr<FramePool> pool_ = std::make_shared<FramePool>();

  static const pw_stream_events kEvents;
};

const pw_stream_events Capture::kEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
    static_cast<Capture*>(data)->onStateChanged(state, error);
  };
  events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
    static_cast<Capture*>(data)->onParamChanged(id, param);
  };
  events.process = [](void* data) { static_cast<Capture*>(data)->onProcess(); };
  return events;
}();

std::optional<std::string> Capture::open() {
  if (auto error = checkConfig(config_)) return error;
  for (const auto& m : currentMonitors(*desktop_)) {
    if (m.id == config_.displayID) connector_ = m.connector;
  }
  if (connector_.empty()) {
    // DisplayConfig out of reach: the id may name an input stream's monitor.
    if (desktop_->inputStreams().empty() || config_.displayID != monitorID(desktop_->inputStreams().front().path)) {
      return "No display with id " + std::to_string(config_.displayID);
    }
  }
  std::string error;
  GVariantBuilder none;
  g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
  auto session = desktop_->call(MutterRemoteDesktop::kScreenCastName, kScreenCastPath, MutterRemoteDesktop::kScreenCastName,
                                "CreateSession", g_variant_new("(a{sv})", &none), "(o)", &error);
  if (!session) return "Mutter made no screen-cast session: " + error;
  const char* path = nullptr;
  g_variant_get(session.get(), "(&o)", &path);
  sessionPath_ = path;

  std::weak_ptr<Capture> weak = weak_from_this();
  closedSignal_ = desktop_->watchSignal(MutterRemoteDesktop::kScreenCastName, sessionPath_, kSessionInterface, "Closed",
                                        [weak](GVariant*) {
                                          if (auto self = weak.lock()) {
                                            self->sessionClosed_ = true;
                                            self->platformEnded("Mutter closed the screen cast");
                                          }
                                        });
  vanished_ = desktop_->subscribeVanished([weak] {
    if (auto self = weak.lock()) self->platformEnded("Mutter left the session bus");
  });

  GVariantBuilder record;
  g_variant_builder_init(&record, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&record, "{sv}", "cursor-mode", g_variant_new_uint32(config_.showCursor ? kCursorEmbedded : kCursorHidden));
  auto stream = desktop_->call(MutterRemoteDesktop::kScreenCastName, sessionPath_, kSessionInterface, "RecordMonitor",
                               g_variant_new("(sa{sv})", connector_.c_str(), &record), "(o)", &error);
  if (!stream) return "Mutter would not record the monitor: " + error;
  const char* streamPath = nullptr;
  g_variant_get(stream.get(), "(&o)", &streamPath);

  struct Node {
    std::mutex mutex;
    std::condition_variable known;
    std::optional<std::uint32_t> id;
  };
  auto node = std::make_shared<Node>();
  addedSignal_ = desktop_->watchSignal(MutterRemoteDesktop::kScreenCastName, streamPath, kStreamInterface,
                                       "PipeWireStreamAdded", [node](GVariant* parameters) {
                                         std::uint32_t id = 0;
                                         g_variant_get(parameters, "(u)", &id);
                                         std::lock_guard lock(node->mutex);
                                         node->id = id;
                                         node->known.notify_all();
                                       });
  if (!desktop_->call(MutterRemoteDesktop::kScreenCastName, sessionPath_, kSessionInterface, "Start", nullptr, nullptr,
                      &error)) {
    return "Mutter would not start the screen cast: " + error;
  }
  std::optional<std::uint32_t> id;
  {
    std::unique_lock lock(node->mutex);
    node->known.wait_for(lock, kNodeWait, [&] { return node->id.has_value(); });
    id = node->id;
  }
  if (!id) return std::string("Mutter named no PipeWire stream for the screen cast");
  return openPipeWire(*id);
}

std::optional<std::string> Capture::openPipeWire(std::uint32_t node) {
  loop_ = pw_thread_loop_new("tillerpad-screen", nullptr);
  if (!loop_) return std::string("Cannot make a PipeWire loop");
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (!context_ || pw_thread_loop_start(loop_) < 0) return std::string("Cannot start a PipeWire loop");
  pw_thread_loop_lock(loop_);
  std::optional<std::string> error;
  core_ = pw_context_connect(context_, nullptr, 0);
  if (!core_) {
    error = "Cannot reach PipeWire";
  } else {
    stream_ = pw_stream_new(core_, "tillerpad-screen",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                                              "Screen", nullptr));
    if (!stream_) {
      error = "Cannot make a PipeWire stream";
    } else {
      pw_stream_add_listener(stream_, &listener_, &kEvents, this);
      timer_ = pw_loop_add_timer(
          pw_thread_loop_get_loop(loop_), [](void* data, std::uint64_t) { static_cast<Capture*>(data)->tryDeliver(); }, this);
      // Mutter keeps to the rate asked for, and sends a frame only for damage.
      auto fps = static_cast<std::uint32_t>(std::clamp(config_.minFrameInterval > 0 ? 1.0 / config_.minFrameInterval : 60.0, 1.0, 240.0));
      std::uint8_t buffer[1024];
      spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
      spa_rectangle defaultSize = SPA_RECTANGLE(1920, 1080), minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384);
      spa_fraction noRate = SPA_FRACTION(0, 1), rate = SPA_FRACTION(fps, 1), minRate = SPA_FRACTION(0, 1),
                   maxRate = SPA_FRACTION(fps, 1);
      const spa_pod* params[1];
      params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
          &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
          SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
          SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
          SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
          SPA_POD_Fraction(&noRate), SPA_FORMAT_VIDEO_maxFramerate,
          SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)));
      auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
      if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, node, flags, params, 1) < 0) error = "Cannot connect to Mutter's stream";
    }
  }
  pw_thread_loop_unlock(loop_);
  return error;
}

void Capture::close() {
  if (loop_) {
    pw_thread_loop_lock(loop_);
    closing_ = true;
    if (stream_) {
      pw_stream_disconnect(stream_);
      spa_hook_remove(&listener_);
      pw_stream_destroy(stream_);
      stream_ = nullptr;
    }
    if (timer_) {
      pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
      timer_ = nullptr;
    }
    if (core_) {
      pw_core_disconnect(core_);
      core_ = nullptr;
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_) pw_context_destroy(context_);
    context_ = nullptr;
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
  } else if (context_) {
    pw_context_destroy(context_);
    context_ = nullptr;
  }
  desktop_->unwatchSignal(std::exchange(closedSignal_, 0));
  desktop_->unwatchSignal(std::exchange(addedSignal_, 0));
  if (vanished_) desktop_->unsubscribeVanished(std::exchange(vanished_, 0));
  if (!sessionPath_.empty() && !sessionClosed_) {
    desktop_->call(MutterRemoteDesktop::kScreenCastName, sessionPath_, kSessionInterface, "Stop", nullptr, nullptr);
  }
  sessionPath_.clear();
}

std::optional<std::string> Capture::update(const CaptureConfig& config) {
  if (auto error = checkConfig(config)) return error;
  if (config.displayID != config_.displayID) return std::string("A capture cannot change its display");
  {
    std::lock_guard lock(mutex_);
    if (finished_ || !loop_) return std::string("The capture has ended");
  }
  if (config.showCursor != config_.showCursor) {
    // The cursor mode belongs to the recording: record anew.
    close();
    closing_ = false;
    sessionClosed_ = false;
    haveSource_ = false;
    force_ = true;
    config_ = config;
    return open();
  }
  withLoopLock([&] {
    bool resized = config.width != config_.width || config.height != config_.height;
    config_ = config;
    if (resized && haveSource_) {
      // The consumer waits for a picture at its new size, screen still or not.
      force_ = true;
      rescale();
      tryDeliver();
    }
  });
  return std::nullopt;
}

void Capture::onStateChanged(pw_stream_state state, const char* error) {
  log_.debug(std::string("PipeWire stream ") + pw_stream_state_as_string(state));
  if (closing_) return;
  if (state == PW_STREAM_STATE_ERROR) platformEnded(std::string("PipeWire: ") + (error ? error : "stream error"));
  if (state == PW_STREAM_STATE_UNCONNECTED) {
    // Unlinked before any format: nobody linked the two streams.
    platformEnded(sourceWidth_ > 0 ? "Mutter's stream went away"
                                   : "PipeWire did not link Mutter's stream to ours (is WirePlumber running?)");
  }
}

void Capture::onParamChanged(std::uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format || !param) return;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0 ||
      (info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA)) {
    platformEnded("Mutter offered no BGRx picture");
    return;
  }
  sourceWidth_ = static_cast<int>(info.size.width);
  sourceHeight_ = static_cast<int>(info.size.height);
  haveSource_ = false;
  force_ = true;
  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[3];
  // Shared memory only: no GPU here to import DMA buffers with.
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                                                     SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                                                     SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region) * 1, sizeof(spa_meta_region) * 16)));
  pw_stream_update_params(stream_, params, 3);
}

void Capture::onProcess() {
  // Only the newest picture matters.
  pw_buffer* newest = nullptr;
  while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
    if (newest) pw_stream_queue_buffer(stream_, newest);
    newest = next;
  }
  if (!newest) return;
  handleBuffer(newest->buffer);
  pw_stream_queue_buffer(stream_, newest);
}

void Capture::handleBuffer(spa_buffer* buffer) {
  if (finished_ || buffer->n_datas < 1) return;
  auto* header = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
  if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return;
  const spa_data& data = buffer->datas[0];
  // An empty buffer tells of a cursor change alone (or of nothing).
  if (!data.data || !data.chunk || data.chunk->size == 0 || sourceWidth_ < 1 || sourceHeight_ < 1) return;
  if (spa_meta* damage = spa_buffer_find_meta(buffer, SPA_META_VideoDamage); damage && !force_ && haveSource_) {
    bool any = false;
    spa_meta_region* region = nullptr;
    spa_meta_for_each(region, damage) {
      if (!spa_meta_region_is_valid(region)) break;
      any = true;
    }
    if (!any) return;
  }
  int stride = data.chunk->stride > 0 ? data.chunk->stride : sourceWidth_ * 4;
  std::size_t needed = static_cast<std::size_t>(stride) * static_cast<std::size_t>(sourceHeight_);
  if (stride < sourceWidth_ * 4 || data.chunk->offset + needed > data.maxsize) return;
  const auto* pixels = static_cast<const std::uint8_t*>(data.data) + data.chunk->offset;
  // Packed rows: what a later size change scales from.
  std::size_t row = static_cast<std::size_t>(sourceWidth_) * 4;
  source_.resize(row * static_cast<std::size_t>(sourceHeight_));
  for (int y = 0; y < sourceHeight_; ++y) {
    std::memcpy(source_.data() + row * static_cast<std::size_t>(y), pixels + static_cast<std::size_t>(stride) * static_cast<std::size_t>(y), row);
  }
  haveSource_ = true;
  rescale();
  tryDeliver();
}

// The last picture at the configured size; pending when it differs from
// what was delivered (or a frame is owed regardless).
void Capture::rescale() {
  int width = config_.width, height = config_.height;
  scaled_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  libyuv::ARGBScale(source_.data(), sourceWidth_ * 4, sourceWidth_, sourceHeight_, scaled_.data(), width * 4, width, height,
                    libyuv::kFilterBox);
  if (force_ || scaled_ != delivered_) pending_ = true;
}

void Capture::armTimer(Clock::duration after) {
  if (!timer_) return;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max<Clock::duration>(after, 1ms)).count();
  timespec value{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  timespec once{0, 0};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &value, &once, false);
}

void Capture::tryDeliver() {
  if (!pending_ || finished_) return;
  auto now = Clock::now();
  auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.minFrameInterval));
  if (now < lastDelivered_ + interval) return armTimer(lastDelivered_ + interval - now);
  int slot = pool_->acquire();
  if (slot < 0) return armTimer(kPoolRetry);  // the consumer is behind
  CapturedFrame& frame = pool_->frame(slot);
  frame.width = config_.width;
  frame.height = config_.height;
  frame.stride = config_.width * 4;
  frame.pixels.assign(scaled_.begin(), scaled_.end());
  delivered_ = scaled_;
  pending_ = false;
  force_ = false;
  lastDelivered_ = now;
  if (handlers_.frame) {
    handlers_.frame(lend(pool_, slot));
  } else {
    pool_->release(slot);
  }
}

class Stream : public CaptureStream {
 public:
  explicit Stream(std::shared_ptr<Capture> capture) : capture_(std::move(capture)) {}
  ~Stream() override {
    capture_->worker()->post([capture = capture_] {
      capture->finish();
      capture->close();
    });
  }
  void update(const CaptureConfig& config, Done done) override {
    capture_->worker()->post([capture = capture_, config, done = std::move(done)] {
      auto error = capture->update(config);
      if (done) done(error);
    });
  }
  void stop(Done done) override {
    capture_->worker()->post([capture = capture_, done = std::move(done)] {
      capture->finish();
      capture->close();
      if (done) done(std::nullopt);
    });
  }

 private:
  std::shared_ptr<Capture> capture_;
};

}  // namespace

GnomeScreenCapture::GnomeScreenCapture(std::shared_ptr<MutterRemoteDesktop> desktop, kit::Logger log)
    : desktop_(std::move(desktop)), log_(std::move(log)), worker_(std::make_shared<Worker>()) {
  pw_init(nullptr, nullptr);
  monitorsSignal_ = desktop_->watchSignal("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                                          "org.gnome.Mutter.DisplayConfig", "MonitorsChanged",
                                          [mutex = changedMutex_, changed = changed_](GVariant*) {
                                            std::function<void()> handler;
                                            {
                                              std::lock_guard lock(*mutex);
                                              handler = *changed;
                                            }
                                            if (handler) handler();
                                          });
}

GnomeScreenCapture::~GnomeScreenCapture() {
  desktop_->unwatchSignal(monitorsSignal_);
  setDisplaysChangedHandler(nullptr);
}

void GnomeScreenCapture::listDisplays(DisplaysDone done) {
  worker_->post([desktop = desktop_, done = std::move(done)] {
    std::vector<CaptureDisplay> displays;
    for (const auto& m : currentMonitors(*desktop)) {
      CaptureDisplay d;
      d.id = m.id;
      d.name = m.name;
      d.pointWidth = std::max<std::int64_t>(1, static_cast<std::int64_t>(m.bounds.width));
      d.pointHeight = std::max<std::int64_t>(1, static_cast<std::int64_t>(m.bounds.height));
      d.pixelWidth = m.pixelWidth;
      d.isMain = m.isMain;
      d.left = static_cast<std::int64_t>(m.bounds.x);
      displays.push_back(std::move(d));
    }
    done(std::move(displays));
  });
}

void GnomeScreenCapture::start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) {
  auto capture = std::make_shared<Capture>(desktop_, worker_, config, std::move(handlers), log_);
  worker_->post([capture, done = std::move(done)] {
    if (auto error = capture->open()) {
      capture->finish();
      capture->close();
      return done(nullptr, error);
    }
    done(std::make_unique<Stream>(capture), std::nullopt);
  });
}

void GnomeScreenCapture::setDisplaysChangedHandler(std::function<void()> changed) {
  std::lock_guard lock(*changedMutex_);
  *changed_ = std::move(changed);
}

}  // namespace tillerpad::platform::gnome
