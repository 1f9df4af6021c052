#include "host/app/ui_bridge.h"

#include <asio/post.hpp>

#include "kit/common/text.h"

namespace tillerpad::host {
namespace {

class PostedActions final : public UiActions {
 public:
  PostedActions(asio::any_io_executor executor, std::weak_ptr<UiBridge> bridge)
      : executor_(std::move(executor)), bridge_(std::move(bridge)) {}

  void disconnect() override {
    post([](UiBridge&, AppModel& m) { m.server->disconnect(); });
  }
  void revoke(const kit::Uuid& device) override {
    post([device](UiBridge& b, AppModel&) { b.revoke(device); });
  }
  void startPairing() override {
    post([](UiBridge& b, AppModel&) { b.startPairing(); });
  }
  void stopPairing() override {
    post([](UiBridge& b, AppModel&) { b.stopPairing(); });
  }
  void resolveApproval(bool allow) override {
    post([allow](UiBridge&, AppModel& m) { m.pairing->resolve(allow); });
  }
  void setShareClipboard(bool on) override {
    post([on](UiBridge&, AppModel& m) { m.settings.setShareClipboard(on); });
  }
  void setAllowScreenViewing(bool on) override {
    post([on](UiBridge&, AppModel& m) { m.settings.setAllowScreenViewing(on); });
  }
  void setOpenAtLogin(bool on) override {
    post([on](UiBridge& b, AppModel&) { b.setOpenAtLogin(on); });
  }
  void requestPermission(Permission permission) override {
    post([permission](UiBridge& b, AppModel&) { b.requestPermission(permission); });
  }

 private:
  template <class F>
  void post(F f) {
    asio::post(executor_, [weak = bridge_, f = std::move(f)] {
      if (auto bridge = weak.lock()) f(*bridge, bridge->model());
    });
  }
  asio::any_io_executor executor_;
  std::weak_ptr<UiBridge> bridge_;
};

}  // namespace

std::shared_ptr<UiBridge> UiBridge::create(AppModel& model, asio::any_io_executor executor, UiFront front,
                                           OpenPermissionSettings openSettings) {
  return std::shared_ptr<UiBridge>(new UiBridge(model, std::move(executor), std::move(front), std::move(openSettings)));
}

UiBridge::UiBridge(AppModel& model, asio::any_io_executor executor, UiFront front, OpenPermissionSettings openSettings)
    : model_(model), executor_(std::move(executor)), front_(std::move(front)), openSettings_(std::move(openSettings)) {}

UiBridge::~UiBridge() { end(); }

std::shared_ptr<UiActions> UiBridge::actions() {
  return std::make_shared<PostedActions>(executor_, weak_from_this());
}

void UiBridge::begin() {
  if (isShowing_) return;
  isShowing_ = true;
  auto changed = [this] { publish(); };  // what the model does not use itself
  forwardStatus_ = model_.server->onStatusChange;
  model_.server->onStatusChange = [this](const Server::Status& status) { forwardStatus_(status), publish(); };
  forwardSession_ = model_.server->onSessionChange;
  model_.server->onSessionChange = [this] { forwardSession_(), publish(); };
  forwardViewing_ = model_.server->onScreenViewingChange;
  model_.server->onScreenViewingChange = [this] { forwardViewing_(), publish(); };
  model_.pairing->onPhaseChange = [changed](const PairingController::Phase&) { changed(); };
  model_.loginItem.onStatusChange = [changed](LoginItem::Status) { changed(); };
  forwardSettings_ = model_.settings.onChange;
  model_.settings.onChange = [this] { forwardSettings_(), publish(); };
  forwardRegistry_ = model_.registry.onChange;
  model_.registry.onChange = [this] { forwardRegistry_(), publish(); };
  forwardKeys_ = model_.pairing->onKeysChanged;
  model_.pairing->onKeysChanged = [this] { forwardKeys_(), publish(); };
  forwardPermissions_ = model_.permissions.onChange;
  model_.permissions.onChange = [this](const kit::PermissionStatus& status) { forwardPermissions_(status), publish(); };
  model_.confirm = [this](const AppModel::Alert& alert, std::function<void(bool)> answer) {
    // The answer may come on any thread; it is carried out on this one.
    auto onService = [executor = executor_, answer = std::move(answer)](bool yes) {
      asio::post(executor, [answer, yes] { answer(yes); });
    };
    front_.confirm(UiAlert{alert.messageText, alert.informativeText, alert.confirmButton, alert.cancelButton},
                   std::move(onService));
  };
  publish();
}

void UiBridge::end() {
  if (!isShowing_) return;
  isShowing_ = false;
  model_.server->onStatusChange = forwardStatus_;
  model_.server->onSessionChange = forwardSession_;
  model_.server->onScreenViewingChange = forwardViewing_;
  model_.pairing->onPhaseChange = [](const PairingController::Phase&) {};
  model_.loginItem.onStatusChange = [](LoginItem::Status) {};
  model_.settings.onChange = forwardSettings_;
  model_.registry.onChange = forwardRegistry_;
  model_.pairing->onKeysChanged = forwardKeys_;
  model_.permissions.onChange = forwardPermissions_;
  model_.confirm = [](const AppModel::Alert&, std::function<void(bool)> answer) { answer(false); };
}

void UiBridge::revoke(const kit::Uuid& device) {
  const auto& devices = model_.registry.devices();
  auto it = std::find_if(devices.begin(), devices.end(), [&](const kit::PairedDevice& d) { return d.id == device; });
  if (it != devices.end()) model_.revoke(*it);
}

void UiBridge::setOpenAtLogin(bool on) {
  auto before = model_.loginItem.status();
  model_.loginItem.setEnabled(on);
  // A refused change reports no new status, yet the front has already moved
  // its switch: it is shown the real state again.
  if (model_.loginItem.status() == before) publish();
}

void UiBridge::startPairing() { model_.pairing->start(); }
void UiBridge::stopPairing() { model_.pairing->stop(); }

void UiBridge::requestPermission(UiActions::Permission permission) {
  if (openSettings_) openSettings_(permission);
  model_.permissions.refresh();
}

void UiBridge::publish() {
  if (isShowing_ && front_.show) front_.show(snapshot());
}

UiState UiBridge::snapshot() {
  UiState s;
  s.accessibility = model_.permissions.accessibility();
  s.screenRecording = model_.permissions.screenRecording();
  const auto& session = model_.server->session();
  if (session) {
    s.connectedName = kit::withoutControlCharacters(session->device().name);
    s.isViewingScreen = session->screen().isStreaming();
  }
  s.listenerFailed = std::holds_alternative<Server::Failed>(model_.server->status());
  for (const auto& d : model_.registry.devices()) {
    s.devices.push_back({d.id, kit::withoutControlCharacters(d.name),
                         std::chrono::time_point_cast<std::chrono::system_clock::duration>(d.pairedAt),
                         session && session->device().id == d.id});
  }
  s.shareClipboard = model_.settings.shareClipboard();
  s.allowScreenViewing = model_.settings.allowScreenViewing();
  s.loginItem = model_.loginItem.status();
  s.version = MacIdentity::shortVersion();

  auto& p = s.pairing;
  const auto& payload = model_.pairing->payload();
  if (payload && payload != lastPayload_) {
    // Counted here so that a new code is told apart from the one before.
    lastPayload_ = payload;
    ++codeNumber_;
  }
  p.codeNumber = codeNumber_;
  std::visit(
      [&](const auto& phase) {
        using T = std::decay_t<decltype(phase)>;
        if constexpr (std::is_same_v<T, PairingController::ShowingCode>) {
          if (!payload) return;
          p.phase = UiState::PairingPhase::showingCode;
          p.code = payload->code();
          p.expiresAt = payload->expiresAt;
        } else if constexpr (std::is_same_v<T, PairingController::AwaitingApproval>) {
          p.phase = UiState::PairingPhase::awaitingApproval;
          p.deviceName = kit::withoutControlCharacters(phase.device.name);
          p.deviceModel = kit::withoutControlCharacters(phase.device.model);
          p.systemVersion = kit::withoutControlCharacters(phase.device.systemVersion);
        } else if constexpr (std::is_same_v<T, PairingController::Paired>) {
          p.phase = UiState::PairingPhase::paired;
          p.deviceName = kit::withoutControlCharacters(phase.deviceName);
        } else {
          p.phase = UiState::PairingPhase::failed;
          switch (phase.failure) {
            case PairingController::Failure::expired: p.failure = UiState::PairingFailure::expired; break;
            case PairingController::Failure::denied: p.failure = UiState::PairingFailure::denied; break;
            case PairingController::Failure::interrupted: p.failure = UiState::PairingFailure::interrupted; break;
          }
        }
      },
      model_.pairing->phase());
  return s;
}

}  // namespace tillerpad::host
