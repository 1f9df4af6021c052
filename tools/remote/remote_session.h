#pragma once

#include <memory>

#include "kit/pairing/credential_store.h"
#include "kit/transport/endpoint_resolver.h"
#include "kit/wire/session_messages.h"
#include "platform/service_browser.h"
#include "tools/remote/options.h"
#include "tools/remote/output.h"

namespace tillerpad::remote {

// What a run needs from the machine; main builds the real ones.
struct Setup {
  std::shared_ptr<kit::CredentialStore> store;       // the PairedMac records
  std::shared_ptr<platform::ServiceBrowser> browser;  // finds the desktop by its ID
  std::shared_ptr<kit::ServiceLookup> lookup;         // resolves what the browser found
  kit::DeviceInfo device;
  int input = 0;  // session lines come from this descriptor
};

// Keep-alive pings go out this often while connected, well inside the
// desktop's 10 s silence limit.
inline constexpr std::chrono::seconds pingInterval{4};
// A desktop silent this long (no pong either) is gone.
inline constexpr std::chrono::seconds receiveLimit{15};
// How long a ping waits for its pong; how long DNS-SD may take.
inline constexpr std::chrono::seconds pongLimit{5};
inline constexpr std::chrono::seconds browseLimit{5};
// How long `apps` waits for the list (the desktop may walk its folders
// first), and `icon` for the icon (none comes when there is no icon).
inline constexpr std::chrono::seconds appListLimit{15};
inline constexpr std::chrono::seconds iconLimit{5};

// Pairs, or connects and runs one command or a session. Prints through
// `output`; returns the exit status.
Exit run(const Options& options, const Setup& setup, Output& output);

}  // namespace tillerpad::remote
