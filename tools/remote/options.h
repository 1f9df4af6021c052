#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "kit/common/uuid.h"
#include "kit/transport/fast_event.h"
#include "kit/wire/message.h"

namespace tillerpad::remote {

// A command line or session line that cannot be understood.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One thing to do on a connection: a message, a fast-channel event (pointer
// moves and scrolls), or a ping whose pong is awaited.
struct PingCommand {
  friend bool operator==(const PingCommand&, const PingCommand&) = default;
};
using Action = std::variant<kit::Message, kit::FastEvent, PingCommand>;

struct Command {
  std::string name;  // the command word, for the "sent" line
  Action action;
};

// What a session line can also say besides a command.
struct QuitCommand {};
using SessionLine = std::variant<std::monostate, Command, QuitCommand>;  // monostate: blank line

// `screen`: what to ask the desktop for, and how long to watch.
struct ScreenOptions {
  std::int64_t width = 1920;
  std::int64_t framesPerSecond = 30;
  std::optional<std::uint32_t> display;  // absent: the desktop chooses
  std::optional<std::int64_t> frames;    // absent: until interrupted
  std::optional<std::string> out;        // folder for frame-<id>.jpg
  friend bool operator==(const ScreenOptions&, const ScreenOptions&) = default;
};

// `clipboard watch`: print (and save) what the desktop copies; `clipboard
// set`: send text or an image file to the desktop's clipboard.
struct ClipboardOptions {
  enum class Action { watch, set };
  Action action = Action::watch;
  std::optional<std::string> out;      // watch: folder for clipboard-<n>.png|jpg
  std::optional<std::int64_t> count;   // watch: stop after this many; absent: until interrupted
  std::optional<std::string> text;     // set
  std::optional<std::string> image;    // set: a PNG or JPEG file
  bool paste = false;                  // set: the desktop pastes it afterwards
  friend bool operator==(const ClipboardOptions&, const ClipboardOptions&) = default;
};

// `apps`: print the desktop's applications (with --watch, every list it
// pushes); `icon`: save one application's icon as a PNG file.
struct AppsOptions {
  enum class Action { list, watch, icon };
  Action action = Action::list;
  std::optional<std::int64_t> count;  // watch: stop after this many lists; absent: until interrupted
  std::string id;                     // icon
  std::int64_t size = 0;              // icon: pixels asked for
  std::string out;                    // icon: the PNG file
  friend bool operator==(const AppsOptions&, const AppsOptions&) = default;
};

struct Options {
  enum class Mode { help, version, pair, session, command, screen, clipboard, apps };

  Mode mode = Mode::help;
  std::optional<std::string> host;
  std::optional<std::uint16_t> port;
  std::optional<kit::Uuid> macID;    // --mac: which paired desktop
  std::optional<std::string> name;   // --name: the phone's name when pairing
  std::string pairingCode;           // pair
  std::optional<Command> command;    // command
  ScreenOptions screen;              // screen
  ClipboardOptions clipboard;        // clipboard
  AppsOptions apps;                  // apps, icon
};

// Throws UsageError. `arguments` excludes the program name.
Options parseArguments(const std::vector<std::string>& arguments);

// The words after "screen"; throws UsageError.
ScreenOptions parseScreenOptions(const std::vector<std::string>& words);

// The words after "clipboard"; throws UsageError.
ClipboardOptions parseClipboardOptions(const std::vector<std::string>& words);

// The words of "apps ..." or "icon ...", the command word included; throws UsageError.
AppsOptions parseAppsOptions(const std::vector<std::string>& words);

// One command given as words ("move 10 -5"); throws UsageError.
Command parseCommand(const std::vector<std::string>& words);

// A line read in session mode: words split on blanks, except that `type`
// takes the rest of the line as its text. Throws UsageError.
SessionLine parseSessionLine(const std::string& line);

// "command,shift", "cmd+opt", or a number. Throws UsageError.
kit::Modifiers parseModifiers(const std::string& text);

std::string helpText();

}  // namespace tillerpad::remote
