#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/pairing/paired_records.h"
#include "kit/wire/message.h"
#include "kit/wire/pairing_messages.h"

namespace tillerpad::remote {

// Exit statuses, as --help lists them.
enum class Exit : int {
  ok = 0,
  endedByDesktop = 1,
  usage = 2,
  unknownDesktop = 3,
  connectionFailed = 4,
  rejected = 5,
  timedOut = 6,
  failed = 7,  // a local failure (the pairing records)
};

// A text in double quotes, with quotes, backslashes and control characters
// escaped (\", \\, \n, \t, \u00XX), so that a desktop's name can neither
// break a line nor write escape sequences to the terminal.
std::string quoted(std::string_view text);

// The one line for a message from the desktop (no newline).
std::string formatMessage(const kit::Message& message);
std::string formatWelcome(const kit::Welcome& welcome);
std::string formatPaired(const kit::PairedMac& record);
std::string formatRejection(const kit::PairingRejection& reason);
// A received frame; `file` when it was written.
std::string formatFrame(const kit::ScreenFrame& frame, const std::optional<std::string>& file);
// Content from the desktop's clipboard; `file` when the image was written.
std::string formatClipboard(const kit::ClipboardContent& content, const std::optional<std::string>& file);
// An application list: "appList count=N", then one "app" line per application.
std::vector<std::string> formatAppList(const kit::AppList& list);
// An application's icon; `file` when it was written.
std::string formatAppIcon(const kit::AppIcon& icon, const std::optional<std::string>& file);
// The end of a `screen` run: frames received and their rate between the first and the last.
std::string formatScreenSummary(std::int64_t frames, double seconds);

// Where lines go: standard output flushed after every line (also into a
// pipe), failures on standard error.
class Output {
 public:
  Output(std::FILE* out = stdout, std::FILE* err = stderr) : out_(out), err_(err) {}
  void line(const std::string& text);
  // "tillerpad-remote: <text>" with control characters escaped (\u00XX):
  // failure texts may carry what the desktop sent.
  void failure(const std::string& text);

 private:
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace tillerpad::remote
