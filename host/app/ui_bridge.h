#pragma once

#include <asio/any_io_executor.hpp>

#include <functional>
#include <memory>

#include "host/app/app_model.h"
#include "host/app/ui_state.h"

namespace tillerpad::host {

// Joins the app model to a graphical front: a snapshot of everything the
// front shows after every change, and the front's requests carried out on the
// service thread. Made, used and destroyed on the service thread; `actions()`
// may be called from any thread.
class UiBridge : public std::enable_shared_from_this<UiBridge> {
 public:
  // Opens whatever the desktop has for granting a permission.
  using OpenPermissionSettings = std::function<void(UiActions::Permission)>;

  static std::shared_ptr<UiBridge> create(AppModel& model, asio::any_io_executor executor, UiFront front,
                                          OpenPermissionSettings openSettings);
  ~UiBridge();
  UiBridge(const UiBridge&) = delete;
  UiBridge& operator=(const UiBridge&) = delete;

  // Subscribes to the model and shows the first snapshot.
  void begin();
  // Stops showing anything and gives the model its callbacks back.
  void end();

  // Counts a code it has not seen before as a new one.
  UiState snapshot();
  AppModel& model() { return model_; }
  // Posts each request to the service thread; safe to keep beyond the bridge.
  std::shared_ptr<UiActions> actions();

  // The service-thread side of each request.
  void revoke(const kit::Uuid& device);
  void setOpenAtLogin(bool on);
  void startPairing();
  void stopPairing();
  void requestPermission(UiActions::Permission permission);

 private:
  UiBridge(AppModel& model, asio::any_io_executor executor, UiFront front, OpenPermissionSettings openSettings);
  void publish();

  AppModel& model_;
  asio::any_io_executor executor_;
  UiFront front_;
  OpenPermissionSettings openSettings_;
  bool isShowing_ = false;
  std::uint64_t codeNumber_ = 0;
  std::optional<kit::PairingPayload> lastPayload_;
  // The model's own wiring, which the bridge extends.
  std::function<void()> forwardSettings_, forwardRegistry_, forwardKeys_, forwardSession_, forwardViewing_;
  std::function<void(const Server::Status&)> forwardStatus_;
  std::function<void(const kit::PermissionStatus&)> forwardPermissions_;
};

}  // namespace tillerpad::host
