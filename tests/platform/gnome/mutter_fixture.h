#pragma once

// A headless Mutter shared by the tests of one suite, the test process
// pointed at it, and the GTK window that records what arrives.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kit/common/log.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "tests/support/child_process.h"
#include "tests/support/wayland_session.h"

namespace tillerpad::platform::gnome::test {

using namespace std::chrono_literals;

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    value.empty() ? ::unsetenv(name_.c_str()) : ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

struct MutterSession {
  tillerpad::test::PrivateMutter mutter;
  std::vector<std::unique_ptr<ScopedEnv>> env;
  std::shared_ptr<kit::RecordingLogSink> logs = std::make_shared<kit::RecordingLogSink>();
  std::shared_ptr<MutterRemoteDesktop> desktop;
  std::string whyNot;

  MutterSession() {
    if (!mutter.running()) {
      whyNot = mutter.whyNot();
      return;
    }
    for (const auto& [name, value] : mutter.environment()) env.push_back(std::make_unique<ScopedEnv>(name, value));
    MutterRemoteDesktop::Options options;
    options.busAddress = mutter.busAddress();
    desktop = MutterRemoteDesktop::open(options, kit::Logger(logs, "test", "gnome"));
    if (!desktop || !desktop->running()) whyNot = "Mutter's remote desktop did not start";
  }
  kit::Logger logger(const std::string& category) const { return kit::Logger(logs, "test", category); }
  ~MutterSession() {
    if (std::getenv("TILLERPAD_TEST_TRACE")) {
      for (const auto& r : logs->records()) std::fprintf(stderr, "log %s: %s\n", r.category.c_str(), r.text.c_str());
      std::fprintf(stderr, "%s\n", tillerpad::test::runShell("tail -n 40 " + mutter.runtimeDir() + "/log").c_str());
    }
  }
};

// The recording window (gtk_wayland_recorder.py) on the session's display.
class Recorder {
 public:
  explicit Recorder(const tillerpad::test::PrivateMutter& mutter)
      : client_("/usr/bin/python3", {TILLERPAD_GTK_RECORDER}, mutter.environment()) {}
  bool ready() { return client_.lineStarting("ready").has_value(); }
  // What the window said on standard error, once it has ended.
  std::string errors() {
    client_.endInput();
    client_.wait(2s);
    return client_.errorText;
  }
  void send(const std::string& line) { client_.send(line); }
  // Lines until one satisfies `done` (included), or nothing after `limit`.
  std::optional<std::vector<std::string>> until(const std::function<bool(const std::string&)>& done,
                                                std::chrono::milliseconds limit = 15s) {
    std::vector<std::string> seen;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto line = client_.nextLine(left);
      if (!line) return std::nullopt;
      seen.push_back(*line);
      if (std::getenv("TILLERPAD_TEST_TRACE")) std::fprintf(stderr, "recorder: %s\n", line->c_str());
      if (done(*line)) return seen;
    }
  }
  std::optional<std::vector<std::string>> untilLine(const std::string& line, std::chrono::milliseconds limit = 15s) {
    return until([&](const std::string& l) { return l == line; }, limit);
  }

 private:
  tillerpad::test::ChildProcess client_;
};

inline bool haveGtk() {
  return std::system("/usr/bin/python3 -c 'import gi; gi.require_version(\"Gtk\", \"3.0\"); from gi.repository import Gtk' "
                     ">/dev/null 2>&1") == 0;
}

// "text 77 f6 ..." for a string of code points.
inline std::string textLine(const std::u32string& text) {
  std::string line = "text";
  char hex[16];
  for (char32_t c : text) {
    std::snprintf(hex, sizeof hex, " %x", static_cast<unsigned>(c));
    line += hex;
  }
  return line;
}

}  // namespace tillerpad::platform::gnome::test
