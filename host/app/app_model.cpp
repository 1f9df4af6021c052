#include "host/app/app_model.h"

#include <asio/ip/udp.hpp>
#include <asio/post.hpp>

#include "host/app/app_id.h"
#include "host/input/layout_follower.h"
#include "kit/transport/fast_channel.h"
#include "platform/keyboard_layout_source.h"

namespace tillerpad::host {

kit::Logger AppModel::logger(std::string category) const {
  return kit::Logger(platform_.logSink, appID, std::move(category));
}

AppModel::AppModel(AppPlatform platform)
    : platform_(std::move(platform)),
      settings(platform_.defaults),
      loginItem(platform_.loginItems, logger("login-item")),
      identity(MacIdentity::load(platform_.defaults, platform_.system)),
      registry(platform_.io.get_executor(),
               kit::RecordStore<kit::PairedDevice>(platform_.credentialStore(std::string(appID) + ".devices")),
               logger("registry")),
      pairing(PairingController::create(platform_.io.get_executor(), platform_.clock, platform_.wallClock, identity,
                                        registry, logger("pairing"))),
      permissions(platform_.permissions, platform_.io.get_executor(), platform_.clock),
      input(platform_.inputEvents, platform_.displays, platform_.doubleClickInterval, logger("input")),
      commands(platform_.commandRunner, platform_.shortcuts, logger("commands")),
      fastListener(kit::FastChannelListener::create(
          platform_.io,
          // Asked on the fast listener's strand only.
          [policy = std::make_shared<kit::CachedLocalNetworkPolicy>(platform_.interfaces, platform_.clock)](
              const asio::ip::udp::endpoint& from) {
            auto address = from.address();
            if (address.is_v6() && address.to_v6().is_v4_mapped()) {
              address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
            }
            return policy->allows(kit::Endpoint::hostPort(address.to_string(), from.port()));
          },
          logger("fast-channel"), platform_.fastPort)),
      displayChanges(DisplayChanges::create(platform_.screenCapture, platform_.io.get_executor())),
      clipboard(ClipboardSync::create(
          {platform_.io.get_executor(), platform_.clock, platform_.pasteboard, logger("clipboard")})),
      catalog(AppCatalog::create({platform_.io.get_executor(), platform_.clock, platform_.appWorkspace, logger("apps"), ""})),
      server(Server::create(Server::Dependencies{
          platform_.io.get_executor(), platform_.clock, platform_.wallClock, identity, registry, pairing,
          [this] { return permissions.status(); }, input, commands, fastListener, settings, platform_.advertiser,
          platform_.makeListener,
          // Asked on the service thread only.
          [policy = std::make_shared<kit::CachedLocalNetworkPolicy>(platform_.interfaces, platform_.clock)](
              const kit::Endpoint& e) { return policy->allows(e); },
          logger("server"), logger("session"),
          ScreenStreamer::Environment{platform_.io.get_executor(), platform_.clock, platform_.screenCapture,
                                      platform_.makeJpegEncoder, displayChanges, logger("screen")},
          clipboard, catalog})) {
  std::weak_ptr<Server> weak = server;
  settings.onChange = [weak] {
    if (auto s = weak.lock()) s->settingsChanged();
  };
  registry.onChange = [weak] {
    if (auto s = weak.lock()) s->keysChanged();
  };
  pairing->onKeysChanged = [weak] {
    if (auto s = weak.lock()) s->keysChanged();
  };
  permissions.onChange = [weak](const kit::PermissionStatus& status) {
    if (auto s = weak.lock()) s->permissionsChanged(status);
  };
  catalog->onChange = [weak] {
    if (auto s = weak.lock()) s->appsChanged();
  };
  // The map of the selected layout now, and again after every switch.
  if (platform_.keyboardLayouts) followKeyboardLayout(*platform_.keyboardLayouts, input);
  asio::post(platform_.io, [weak] {
    if (auto s = weak.lock()) s->start();
  });
}

AppModel::~AppModel() {
  // Nothing may call into the model while its members go.
  if (platform_.keyboardLayouts) platform_.keyboardLayouts->setOnChange({});
  settings.onChange = [] {};
  registry.onChange = [] {};
  pairing->onKeysChanged = [] {};
  permissions.onChange = [](const kit::PermissionStatus&) {};
  catalog->onChange = [] {};
  if (fastListener) fastListener->stop();
  clipboard->stop();
}

void AppModel::revoke(const kit::PairedDevice& device) {
  Alert alert{"Revoke “" + device.name + "”?",
              "This iPhone will be disconnected and can no longer control this Mac until you pair it again.",
              "Revoke", "Cancel"};
  std::weak_ptr<Server> weak = server;
  confirm(alert, [weak, id = device.id](bool confirmed) {
    if (!confirmed) return;
    if (auto s = weak.lock()) s->revoke(id);
  });
}

}  // namespace tillerpad::host
