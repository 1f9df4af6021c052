#pragma once

#include <asio/any_io_executor.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kit/common/log.h"

namespace tillerpad::host {

// Where `tillerpad --attach` finds the headless service of this user:
// $XDG_RUNTIME_DIR/tillerpad/control. Nothing without an absolute
// $XDG_RUNTIME_DIR.
std::optional<std::filesystem::path> controlSocketPath();

// Creates the socket's folder (0700) if needed, and checks that it is a real
// folder of this user that nobody else may enter: the error text if not.
std::optional<std::string> checkControlFolder(const std::filesystem::path& folder);

// The headless service's end of `tillerpad --attach`: a Unix stream socket
// (0600) that takes one terminal at a time, from this user only (the peer's
// credentials are checked), and passes its lines on. Service thread only.
class ControlSocket {
 public:
  // Another service answers on the socket.
  struct AlreadyRunning : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  struct Handlers {
    std::function<void()> onAttach;
    std::function<void(std::string_view line)> onLine;  // without its newline; at most maxLine bytes
    std::function<void()> onDetach;                     // once per attach
  };

  static constexpr std::size_t maxLine = 4096;
  // A terminal that stops reading is detached once this much waits for it.
  static constexpr std::size_t maxUnsent = 256 * 1024;

  // Binds the socket, replacing a stale one that nothing answers on. Throws
  // AlreadyRunning, or std::exception when the socket cannot be made.
  static std::unique_ptr<ControlSocket> open(asio::any_io_executor executor, std::filesystem::path path,
                                             kit::Logger log);
  ~ControlSocket();  // closes, and removes the socket file if it is still this one
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  void start(Handlers handlers);
  // One line to the attached terminal, if any.
  void send(std::string_view line);
  // Ends the attached terminal's connection after what was sent to it.
  void detach();
  // Writes what is still unsent without waiting, and closes everything.
  void stop();
  bool isAttached() const;
  const std::filesystem::path& path() const;

  struct Impl;

 private:
  explicit ControlSocket(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

}  // namespace tillerpad::host
