#pragma once

// What the tray application shows, as one snapshot the service thread makes
// on every change, and what it may ask of the service. Free of asio and of
// the toolkit: the UI thread includes only this.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/common/uuid.h"
#include "platform/login_item_service.h"

namespace tillerpad::host {

struct UiState {
  struct Device {
    kit::Uuid id;
    std::string name;  // as the phone gave it, control characters removed
    std::chrono::system_clock::time_point pairedAt;
    bool isConnected = false;
    friend bool operator==(const Device&, const Device&) = default;
  };

  enum class PairingPhase { idle, showingCode, awaitingApproval, paired, failed };
  enum class PairingFailure { expired, denied, interrupted };
  struct Pairing {
    PairingPhase phase = PairingPhase::idle;
    // showingCode: the code text (QR and "Copy Code") and its expiry on the
    // wall clock; `codeNumber` grows with every new code.
    std::string code;
    std::chrono::system_clock::time_point expiresAt;
    std::uint64_t codeNumber = 0;
    // awaitingApproval: the asking phone; paired: its name.
    std::string deviceName, deviceModel, systemVersion;
    PairingFailure failure = PairingFailure::expired;  // failed only
    friend bool operator==(const Pairing&, const Pairing&) = default;
  };

  bool accessibility = false;    // input may be synthesised
  bool screenRecording = false;  // the screen may be captured
  std::optional<std::string> connectedName;  // the session's phone
  bool isViewingScreen = false;              // that phone streams the screen now
  bool listenerFailed = false;               // "Not reachable: network error"
  std::vector<Device> devices;               // registry order
  bool shareClipboard = true;
  bool allowScreenViewing = true;
  platform::LoginItemService::Status loginItem = platform::LoginItemService::Status::notRegistered;
  std::string version;
  Pairing pairing;

  friend bool operator==(const UiState&, const UiState&) = default;
};

// A confirmation the service asks the user for (revoking a phone).
struct UiAlert {
  std::string messageText;
  std::string informativeText;
  std::string confirmButton;
  std::string cancelButton;
};

// What the UI asks of the service. Every call returns at once; the work is
// posted to the service thread, whose answer is the next snapshot.
class UiActions {
 public:
  enum class Permission { accessibility, screenRecording };

  virtual ~UiActions() = default;
  virtual void disconnect() = 0;
  // Asks for confirmation through the front's alert first.
  virtual void revoke(const kit::Uuid& device) = 0;
  virtual void startPairing() = 0;  // a fresh code, also "New Code"
  virtual void stopPairing() = 0;   // the window closed: an open question is denied
  virtual void resolveApproval(bool allow) = 0;
  virtual void setShareClipboard(bool on) = 0;
  virtual void setAllowScreenViewing(bool on) = 0;
  virtual void setOpenAtLogin(bool on) = 0;
  virtual void requestPermission(Permission permission) = 0;
};

// The UI thread's side: how snapshots and alerts reach it. Both are called
// on the service thread and must only post to the UI thread.
struct UiFront {
  std::function<void(UiState)> show;
  std::function<void(UiAlert, std::function<void(bool)> answer)> confirm;  // answer: any thread
};

}  // namespace tillerpad::host
