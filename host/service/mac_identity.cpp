#include "host/service/mac_identity.h"

namespace tillerpad::host {

MacIdentity MacIdentity::load(platform::UserDefaults& defaults, const platform::SystemInfo& system) {
  MacIdentity identity;
  std::optional<kit::Uuid> stored;
  if (auto text = defaults.string(idKey)) stored = kit::Uuid::parse(*text);
  if (stored) {
    identity.id = *stored;
  } else {
    identity.id = kit::Uuid::random();
    defaults.setValue(idKey, identity.id.text());
  }
  if (auto pretty = system.prettyHostName()) {
    identity.name = *pretty;
  } else if (auto host = system.hostName()) {
    identity.name = *host;
  } else {
    identity.name = "Mac";
  }
  return identity;
}

const std::string& MacIdentity::shortVersion() {
#ifdef TILLERPAD_VERSION
  static const std::string version = TILLERPAD_VERSION[0] ? TILLERPAD_VERSION : "0";
#else
  static const std::string version = "0";
#endif
  return version;
}

}  // namespace tillerpad::host
