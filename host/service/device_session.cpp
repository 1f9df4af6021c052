#include "host/service/device_session.h"

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <exception>
#include <string>

#include "host/input/input_injector.h"
#include "host/input/system_commands.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/message_channel.h"
#include "kit/wire/message.h"

namespace tillerpad::host {

using kit::Message;
using kit::MessageType;

struct DeviceSession::PendingPaste {
  InputInjector& input;
  std::unique_ptr<kit::Clock::Timer> timer;
  bool pressed = false;

  void press() {
    if (pressed) return;
    pressed = true;
    input.pressKey(kit::Key("v"), kit::Modifiers::command());  // Control+V on Linux
  }
  ~PendingPaste() {
    if (timer) timer->cancel();
    press();
  }
};

DeviceSession::DeviceSession(kit::PairedDevice device, std::chrono::system_clock::time_point connectedAt,
                             std::shared_ptr<kit::MessageChannel> channel, Services services, kit::Logger log)
    : device_(std::move(device)),
      connectedAt_(connectedAt),
      channel_(std::move(channel)),
      services_(std::move(services)),
      log_(std::move(log)) {}

DeviceSession::~DeviceSession() = default;

asio::awaitable<void> DeviceSession::run() {
  if (services_.fastListener) {
    try {
      auto deriving = kit::deriveFastChannelKeys(*channel_);
      fastKeys_ = co_await std::move(deriving);
    } catch (const std::exception& e) {
      log_.debug(std::string("No fast channel for this session: ") + e.what());
    }
    if (fastKeys_ && stopped_) fastKeys_.reset();  // stopped while the keys were derived
    if (fastKeys_) {
      InputInjector& input = services_.input;
      services_.fastListener->registerSession(
          *fastKeys_, [&input, enabled = fastEnabled_](const std::vector<kit::FastEvent>& events) {
            if (enabled->load(std::memory_order_relaxed)) input.applyFastEvents(events);
          });
    }
  }
  sendPermissions(services_.permissions ? services_.permissions() : kit::PermissionStatus{});
  settingsChanged();
  // The server holds the welcome back for these: all leave in one write.
  channel_->releaseWrites();

  for (;;) {
    std::optional<Message> message;
    try {
      auto receiving = channel_->receive(std::chrono::duration_cast<kit::Clock::Duration>(receiveTimeout));
      message = co_await std::move(receiving);
    } catch (const std::exception& e) {
      log_.notice(std::string("Session closed: ") + e.what());
      channel_->cancel();
      teardown();
      co_return;
    }
    if (!message) {
      log_.notice("Connection closed");
      channel_->cancel();
      teardown();
      co_return;
    }
    bool goesOn = false;
    try {
      goesOn = dispatch(*message);
    } catch (const std::exception& e) {
      // A handler that fails ends the session the ordinary way, never silently.
      log_.error("Session closed after a failure handling " + std::string(message->type()) + ": " + e.what());
      channel_->cancel();
    }
    if (!goesOn) {
      teardown();
      co_return;
    }
    if (owesAppList_) {
      owesAppList_ = false;
      auto sending = sendAppList();
      co_await std::move(sending);
    }
  }
}

void DeviceSession::stop() {
  if (stopped_) return;
  stopped_ = true;
  fastEnabled_->store(false, std::memory_order_relaxed);
  releaseInput();
  stopScreen();
  stopClipboardWatch();
}

asio::awaitable<void> DeviceSession::close(kit::ByeReason reason) {
  stop();
  try {
    auto closing = channel_->close(std::move(reason));
    co_await std::move(closing);
  } catch (const std::exception&) {
    channel_->cancel();  // the bye could not go out; the connection ends all the same
  }
}

void DeviceSession::settingsChanged() {
  if (!services_.settings.allowScreenViewing()) stopScreen();
  updateClipboardWatch();
  // What the phone may use: the user's settings, for the services this
  // desktop offers.
  channel_->sendWithoutWaiting(Message::sharingSettings({services_.settings.shareClipboard() && offersClipboard,
                                                         services_.settings.allowScreenViewing() && offersScreen}));
}

void DeviceSession::sendPermissions(const kit::PermissionStatus& status) {
  channel_->sendWithoutWaiting(Message::permissionStatus(status));
}

asio::awaitable<void> DeviceSession::sendAppList() {
  // Resumed once: by the list or by the time limit, whichever comes first.
  auto initiate = [this](auto resumeLoop) {
    struct Wait {
      std::optional<decltype(resumeLoop)> handler;
      std::unique_ptr<kit::Clock::Timer> limit;
    };
    auto wait = std::make_shared<Wait>();
    wait->handler.emplace(std::move(resumeLoop));
    auto resume = [wait, executor = services_.executor] {
      if (!wait->handler) return false;
      asio::post(executor, [h = std::move(*wait->handler)]() mutable { std::move(h)(); });
      wait->handler.reset();
      wait->limit.reset();
      return true;
    };
    wait->limit = services_.clock->schedule(services_.executor, appListLimit, [resume, log = log_]() mutable {
      if (resume()) log.notice("The application list is late; the session goes on without it");
    });
    services_.catalog->apps([weak = weak_from_this(), resume](std::vector<kit::MacApp> apps) mutable {
      if (auto self = weak.lock(); self && !self->stopped_) {
        self->channel_->sendWithoutWaiting(Message::appList({std::move(apps)}));
      }
      resume();
    });
  };
  auto listing = asio::async_initiate<const asio::use_awaitable_t<>&, void()>(std::move(initiate), asio::use_awaitable);
  co_await std::move(listing);
}

bool DeviceSession::dispatch(const Message& message) {
  // A stopped session waits only for its connection to end.
  if (stopped_) return true;
  if (message.isUnknown()) {
    log_.debug("Ignoring unknown message type " + std::string(message.type()));
    return true;
  }
  InputInjector& input = services_.input;
  switch (*message.kind()) {
    case MessageType::ping:
      channel_->sendWithoutWaiting(Message::pong(message.get<MessageType::ping>()));
      return true;
    case MessageType::pong:
      return true;
    case MessageType::bye:
      log_.notice("iPhone ended the session: " + message.get<MessageType::bye>().reason.rawValue);
      channel_->cancel();
      return false;
    case MessageType::mouseButton:
      input.handleButton(message.get<MessageType::mouseButton>());
      return true;
    case MessageType::keyPress: {
      const auto& press = message.get<MessageType::keyPress>();
      input.pressKey(press.key, press.modifiers);
      return true;
    }
    case MessageType::typeText:
      input.typeText(message.get<MessageType::typeText>().text);
      return true;
    case MessageType::inputSettings:
      input.applySettings(message.get<MessageType::inputSettings>());
      return true;
    case MessageType::clickAt: {
      const auto& click = message.get<MessageType::clickAt>();
      input.clickAt(click.displayID, click.x, click.y, click.button);
      return true;
    }
    case MessageType::media:
    case MessageType::power:
    case MessageType::missionControl:
    case MessageType::appListRequest:
    case MessageType::appIconRequest:
    case MessageType::appOpen:
    case MessageType::screenStart:
    case MessageType::screenStop:
    case MessageType::screenFrameAck:
    case MessageType::clipboard:
    case MessageType::clipboardSubscription:
      dispatchService(message);
      return true;
    case MessageType::hello:
    case MessageType::welcome:
    case MessageType::error:
    case MessageType::pairRequest:
    case MessageType::pairResult:
    case MessageType::permissionStatus:
    case MessageType::appList:
    case MessageType::appIcon:
    case MessageType::screenInfo:
    case MessageType::screenFrame:
    case MessageType::sharingSettings:
      log_.notice("Unexpected message " + std::string(message.type()) + " in session");
      return true;
  }
  return true;
}

void DeviceSession::dispatchService(const Message& message) {
  switch (*message.kind()) {
    case MessageType::media:
      services_.commands.performMedia(message.get<MessageType::media>().action);
      return;
    case MessageType::power:
      services_.commands.performPower(message.get<MessageType::power>().action);
      return;
    case MessageType::missionControl: {
      const auto& action = message.get<MessageType::missionControl>().action;
      if (!services_.commands.performMissionControl(action, services_.input)) {
        channel_->sendWithoutWaiting(Message::error({kit::ErrorCode::shortcutDisabled, action.rawValue}));
      }
      return;
    }
    case MessageType::screenStart:
      if (!services_.settings.allowScreenViewing()) {
        channel_->sendWithoutWaiting(Message::error({kit::ErrorCode::screenViewingDisabled, std::nullopt}));
        return;
      }
      services_.screen->start(message.get<MessageType::screenStart>());
      return;
    case MessageType::screenStop:
      services_.screen->stop();
      return;
    case MessageType::screenFrameAck:
      if (const auto& pump = services_.screen->pump()) pump->ack(message.get<MessageType::screenFrameAck>().frameID);
      return;
    case MessageType::clipboard:
      if (!services_.settings.shareClipboard()) {
        channel_->sendWithoutWaiting(Message::error({kit::ErrorCode::clipboardSharingDisabled, std::nullopt}));
        return;
      }
      receiveClipboard(message.get<MessageType::clipboard>());
      return;
    case MessageType::clipboardSubscription:
      wantsClipboard_ = message.get<MessageType::clipboardSubscription>().enabled;
      updateClipboardWatch();
      return;
    case MessageType::appListRequest:
      wantsAppUpdates_ = true;
      owesAppList_ = true;
      return;
    case MessageType::appIconRequest: {
      const auto& request = message.get<MessageType::appIconRequest>();
      // The size asked for goes back as it came, whatever size was drawn.
      services_.catalog->icon(request.bundleID, request.pixelSize,
                              [weak = weak_from_this(), request](std::optional<kit::Bytes> png) {
                                auto self = weak.lock();
                                if (!png || !self || self->stopped_) return;
                                self->channel_->sendWithoutWaiting(
                                    Message::appIcon({request.bundleID, request.pixelSize, {std::move(*png)}}));
                              });
      return;
    }
    case MessageType::appOpen:
      services_.catalog->open(message.get<MessageType::appOpen>().bundleID);
      return;
    default:
      log_.debug("Ignoring " + std::string(message.type()) + ": service not available");
      return;
  }
}

void DeviceSession::releaseInput() {
  if (fastKeys_ && services_.fastListener) services_.fastListener->unregisterSession(*fastKeys_);
  fastKeys_.reset();
  services_.input.releaseAll();
}

void DeviceSession::stopScreen() {
  // Only when there is something to stop: the session's first settings push
  // must not queue a stop of nothing.
  const auto& screen = *services_.screen;
  if (screen.request() || screen.isStreaming()) services_.screen->stop();
}

void DeviceSession::receiveClipboard(kit::ClipboardContent content) {
  if (!content.isValid()) {
    log_.notice("Ignoring clipboard content that can't be used");
    return;
  }
  const bool paste = content.pasteAfterwards;
  auto written = [weak = weak_from_this(), paste](bool ok) {
    auto self = weak.lock();
    if (!self) return;
    if (!ok) {
      self->log_.notice("Ignoring clipboard content that can't be used");
      return;
    }
    if (!paste) return;
    std::erase_if(self->pastes_, [](const auto& p) { return p->pressed; });
    std::shared_ptr<PendingPaste> pending(new PendingPaste{self->services_.input, nullptr});
    pending->timer = self->services_.clock->schedule(
        self->services_.executor, std::chrono::duration_cast<kit::Clock::Duration>(pasteDelay),
        [weakPaste = std::weak_ptr<PendingPaste>(pending)] {
          if (auto p = weakPaste.lock()) p->press();
        });
    self->pastes_.push_back(std::move(pending));
  };
  services_.clipboard->write(std::move(content), std::move(written));
}

void DeviceSession::updateClipboardWatch() {
  if (wantsClipboard_ && services_.settings.shareClipboard()) {
    services_.clipboard->watch(device_.id, weak_from_this(),
                               [weak = std::weak_ptr<kit::MessageChannel>(channel_)](kit::ClipboardContent content) {
                                 if (auto channel = weak.lock()) channel->sendWithoutWaiting(Message::clipboard(std::move(content)));
                               });
  } else {
    stopClipboardWatch();
  }
}

void DeviceSession::stopClipboardWatch() {
  // Another session may have subscribed since: its watch stays.
  if (services_.clipboard->isOwner(this)) services_.clipboard->stop();
}

void DeviceSession::teardown() {
  fastEnabled_->store(false, std::memory_order_relaxed);
  // A stopped session let go of everything already.
  if (!stopped_) {
    releaseInput();
    stopScreen();
    stopClipboardWatch();
  }
}

}  // namespace tillerpad::host
