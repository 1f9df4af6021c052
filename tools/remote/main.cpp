// tillerpad-remote: a command-line phone for trying a desktop by hand and for
// end-to-end tests.
#include <csignal>
#include <string>
#include <vector>

#include <sys/utsname.h>
#include <unistd.h>

#include "platform/linux/avahi_service_browser.h"
#include "platform/linux/avahi_service_lookup.h"
#include "platform/linux/file_credential_store.h"
#include "tools/remote/options.h"
#include "tools/remote/output.h"
#include "tools/remote/remote_session.h"

using namespace tillerpad;

namespace {

constexpr const char* recordService = "app.tillerpad.remote.macs";

kit::DeviceInfo deviceInfo(const remote::Options& options) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  utsname system{};
  std::string version = uname(&system) == 0 ? std::string(system.sysname) + " " + system.release : "Linux";
  return {options.name.value_or(std::string("tillerpad-remote on ") + (host[0] ? host : "localhost")),
          "tillerpad-remote", version, TILLERPAD_VERSION};
}

}  // namespace

int main(int argc, char** argv) {
  // A desktop that vanishes must end a write with an error, not the process.
  std::signal(SIGPIPE, SIG_IGN);
  remote::Output output;
  remote::Options options;
  try {
    options = remote::parseArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const remote::UsageError& e) {
    output.failure(std::string(e.what()) + " (see --help)");
    return static_cast<int>(remote::Exit::usage);
  }
  if (options.mode == remote::Options::Mode::help) {
    std::fputs(remote::helpText().c_str(), stdout);
    return 0;
  }
  if (options.mode == remote::Options::Mode::version) {
    output.line(std::string("tillerpad-remote ") + TILLERPAD_VERSION);
    return 0;
  }
  auto dataHome = platform::FileCredentialStore::defaultDataHome();
  if (!dataHome) {
    output.failure("neither XDG_DATA_HOME nor HOME is set; nowhere to keep pairing records");
    return static_cast<int>(remote::Exit::failed);
  }
  remote::Setup setup;
  setup.store = std::make_shared<platform::FileCredentialStore>(*dataHome, recordService);
  setup.device = deviceInfo(options);
  if (!options.host) {
    setup.browser = platform::makeAvahiServiceBrowser();
    setup.lookup = platform::makeAvahiServiceLookup(kit::Logger());
  }
  return static_cast<int>(remote::run(options, setup, output));
}
