#pragma once

// The real desktop (tests/support's harness) on loopback TLS, its service
// thread of its own, for tillerpad-remote to talk to as a child process.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/child_process.h"
#include "kit/pairing/pairing_payload.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::remote::testing {

struct RemoteDesktop : test::Desktop {
  explicit RemoteDesktop(platform::ServiceAdvertiser* advertiser = nullptr)
      : Desktop({.tls = true, .realTime = true, .ownThread = true, .advertiser = advertiser}) {
    std::filesystem::create_directories(dataHome);
    startListening();
  }
  ~RemoteDesktop() { std::filesystem::remove_all(dataHome); }

  // A new code, answered with `allow`, once the listener holds its key.
  std::string startPairing(bool allow) {
    std::string code;
    relisten([&] {
      model->pairing->onApprovalRequested = [this, allow](const kit::DeviceInfo&) { model->pairing->resolve(allow); };
      model->pairing->start();
      code = model->pairing->payload()->code();
    });
    return code;
  }
  // Pairs the remote's phone, then waits for the listener that holds its key.
  void pairPhone() {
    auto pairing = remote(at({"pair", startPairing(true)}));
    if (pairing->wait() != 0 || !runUntil([this] { return listenerReady(); })) throw std::runtime_error(pairing->errorText);
  }
  std::size_t paired() {
    return call([this] { return model->registry.devices().size(); });
  }

  // The remote, its phone's records kept in this desktop's data home.
  std::unique_ptr<test::ChildProcess> remote(const std::vector<std::string>& arguments,
                                             std::map<std::string, std::string> environment = {}) {
    environment["XDG_DATA_HOME"] = dataHome;
    return std::make_unique<test::ChildProcess>(TILLERPAD_REMOTE_BINARY, arguments, environment);
  }
  // The desktop's address, then `command`.
  std::vector<std::string> at(std::vector<std::string> command) {
    std::vector<std::string> arguments{"--host", "127.0.0.1", "--port", std::to_string(port()), "--name", "Test Phone"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return arguments;
  }

  const std::filesystem::path dataHome =
      std::filesystem::temp_directory_path() / ("tillerpad-remote-test-" + kit::Uuid::random().text());
};

}  // namespace tillerpad::remote::testing
