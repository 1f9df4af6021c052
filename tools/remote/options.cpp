#include "tools/remote/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

namespace tillerpad::remote {
namespace {

using kit::Message;

template <class T>
std::optional<T> number(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

float delta(const std::string& text) {
  auto value = number<float>(text);
  if (!value || !std::isfinite(*value)) throw UsageError("not a finite number: \"" + text + "\"");
  return *value;
}

void expectCount(const std::vector<std::string>& words, std::size_t least, std::size_t most, const char* usage) {
  std::size_t given = words.size() - 1;
  if (given < least || given > most) throw UsageError(std::string("usage: ") + usage);
}

std::string oneOf(const std::string& word, const std::vector<std::string>& allowed, const char* what) {
  if (std::find(allowed.begin(), allowed.end(), word) != allowed.end()) return word;
  std::string list;
  for (const auto& a : allowed) list += (list.empty() ? "" : ", ") + a;
  throw UsageError(std::string("unknown ") + what + " \"" + word + "\" (one of: " + list + ")");
}

const std::vector<std::string> mediaActions{"playPause", "nextTrack", "previousTrack", "volumeUp", "volumeDown", "mute"};
const std::vector<std::string> powerActions{"lock", "sleep", "displaySleep"};
const std::vector<std::string> windowActions{"missionControl", "appWindows", "showDesktop", "spaceLeft", "spaceRight"};

std::string joined(const std::vector<std::string>& words, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < words.size(); ++i) text += (i > from ? " " : "") + words[i];
  return text;
}

}  // namespace

kit::Modifiers parseModifiers(const std::string& text) {
  if (auto raw = number<std::int64_t>(text)) {
    if (*raw < 0) throw UsageError("modifiers must not be negative");
    return kit::Modifiers{*raw};
  }
  kit::Modifiers result;
  bool any = false;
  auto add = [&](const std::string& n) {
    if (n.empty()) throw UsageError("empty modifier name in \"" + text + "\"");
    if (n == "command" || n == "cmd" || n == "super") result |= kit::Modifiers::command();
    else if (n == "option" || n == "opt" || n == "alt") result |= kit::Modifiers::option();
    else if (n == "control" || n == "ctrl") result |= kit::Modifiers::control();
    else if (n == "shift") result |= kit::Modifiers::shift();
    else if (n == "function" || n == "fn") result |= kit::Modifiers::function();
    else throw UsageError("unknown modifier \"" + n + "\" (command, option, control, shift, function or a number)");
    any = true;
  };
  std::string current;
  for (char c : text) {
    if (c == ',' || c == '+') {
      add(current);
      current.clear();
    } else {
      current += c;
    }
  }
  add(current);
  if (!any) throw UsageError("no modifiers in \"" + text + "\"");
  return result;
}

Command parseCommand(const std::vector<std::string>& words) {
  if (words.empty()) throw UsageError("no command given");
  const std::string& verb = words[0];
  if (verb == "ping") {
    expectCount(words, 0, 0, "ping");
    return {verb, PingCommand{}};
  }
  if (verb == "move" || verb == "scroll") {
    expectCount(words, 2, 2, "move|scroll <dx> <dy>");
    float dx = delta(words[1]), dy = delta(words[2]);
    return {verb, verb == "move" ? kit::FastEvent::pointerMove(dx, dy) : kit::FastEvent::scroll(dx, dy)};
  }
  if (verb == "click" || verb == "press" || verb == "release") {
    expectCount(words, 0, 1, "click|press|release [left|right|middle]");
    std::string which = words.size() > 1 ? words[1] : "left";
    auto button = kit::mouseButtonFromText(which);
    if (!button) throw UsageError("unknown button \"" + which + "\" (left, right or middle)");
    using ButtonAction = kit::MouseButtonEvent::Action;
    auto action = verb == "click" ? ButtonAction::click : verb == "press" ? ButtonAction::down : ButtonAction::up;
    return {verb, Message::mouseButton({*button, action})};
  }
  if (verb == "key") {
    expectCount(words, 1, 2, "key <key> [modifiers]");
    if (words[1].empty()) throw UsageError("empty key");
    kit::Modifiers modifiers = words.size() > 2 ? parseModifiers(words[2]) : kit::Modifiers::none();
    return {verb, Message::keyPress({kit::Key(words[1]), modifiers})};
  }
  if (verb == "type") {
    if (words.size() < 2) throw UsageError("usage: type <text>");
    return {verb, Message::typeText({joined(words, 1)})};
  }
  if (verb == "media") {
    expectCount(words, 1, 1, "media <action>");
    return {verb, Message::media({kit::MediaAction(oneOf(words[1], mediaActions, "media action"))})};
  }
  if (verb == "power") {
    expectCount(words, 1, 1, "power <action>");
    return {verb, Message::power({kit::PowerAction(oneOf(words[1], powerActions, "power action"))})};
  }
  if (verb == "open") {
    expectCount(words, 1, 1, "open <app id>");
    if (words[1].empty()) throw UsageError("open needs an application ID");
    return {verb, Message::appOpen({words[1]})};
  }
  if (verb == "window") {
    expectCount(words, 1, 1, "window <action>");
    return {verb, Message::missionControl({kit::MissionControlAction(oneOf(words[1], windowActions, "window action"))})};
  }
  throw UsageError("unknown command \"" + verb + "\"");
}

SessionLine parseSessionLine(const std::string& line) {
  std::string text = line;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::monostate{};
  text = text.substr(start);
  if (text == "quit" || text == "exit") return QuitCommand{};
  // The text of "type" is everything after one blank, blanks included.
  if (text.rfind("type ", 0) == 0 || text.rfind("type\t", 0) == 0) {
    std::string rest = text.substr(5);
    if (rest.empty()) throw UsageError("usage: type <text>");
    return Command{"type", Message::typeText({rest})};
  }
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return parseCommand(words);
}

ScreenOptions parseScreenOptions(const std::vector<std::string>& words) {
  ScreenOptions screen;
  auto positive = [&](std::size_t& i, std::int64_t most) {
    if (i + 1 >= words.size()) throw UsageError(words[i] + " needs a value");
    auto value = number<std::int64_t>(words[++i]);
    if (!value || *value < 1 || *value > most) {
      throw UsageError(words[i - 1] + " needs a number from 1 to " + std::to_string(most));
    }
    return *value;
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--width") {
      screen.width = positive(i, 16384);
    } else if (w == "--fps") {
      screen.framesPerSecond = positive(i, 240);
    } else if (w == "--frames") {
      screen.frames = positive(i, 1'000'000'000);
    } else if (w == "--display") {
      if (i + 1 >= words.size()) throw UsageError("--display needs a value");
      auto id = number<std::uint32_t>(words[++i]);
      if (!id) throw UsageError("--display needs a display ID (0 to 4294967295)");
      screen.display = id;
    } else if (w == "--out") {
      if (i + 1 >= words.size() || words[i + 1].empty()) throw UsageError("--out needs a folder");
      screen.out = words[++i];
    } else {
      throw UsageError("usage: screen [--width N] [--fps N] [--display ID] [--frames N] [--out DIR]");
    }
  }
  return screen;
}

ClipboardOptions parseClipboardOptions(const std::vector<std::string>& words) {
  static const char* usage = "usage: clipboard watch [--out DIR] [--count N] | clipboard set <text> | --image FILE [--paste]";
  ClipboardOptions clipboard;
  if (words.empty()) throw UsageError(usage);
  auto value = [&](std::size_t& i, const char* what) -> const std::string& {
    if (i + 1 >= words.size() || words[i + 1].empty()) throw UsageError(words[i] + " needs " + what);
    return words[++i];
  };
  if (words[0] == "watch") {
    for (std::size_t i = 1; i < words.size(); ++i) {
      if (words[i] == "--out") {
        clipboard.out = value(i, "a folder");
      } else if (words[i] == "--count") {
        auto n = number<std::int64_t>(value(i, "a number"));
        if (!n || *n < 1) throw UsageError("--count needs a number from 1");
        clipboard.count = n;
      } else {
        throw UsageError(usage);
      }
    }
    return clipboard;
  }
  if (words[0] != "set") throw UsageError(usage);
  clipboard.action = ClipboardOptions::Action::set;
  std::vector<std::string> text;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "--paste") {
      clipboard.paste = true;
    } else if (words[i] == "--image") {
      clipboard.image = value(i, "a file");
    } else {
      text.push_back(words[i]);
    }
  }
  if (!text.empty()) clipboard.text = joined(text, 0);
  if (clipboard.image.has_value() == clipboard.text.has_value()) throw UsageError(usage);
  if (clipboard.text && clipboard.text->empty()) throw UsageError("clipboard set needs a text that is not empty");
  return clipboard;
}

AppsOptions parseAppsOptions(const std::vector<std::string>& words) {
  AppsOptions apps;
  if (words.at(0) == "icon") {
    static const char* usage = "usage: icon <app id> <size> --out FILE.png";
    if (words.size() != 5 || words[1].empty() || words[3] != "--out" || words[4].empty()) throw UsageError(usage);
    auto size = number<std::int64_t>(words[2]);
    if (!size || *size < 1 || *size > 4096) throw UsageError("the icon size is a number of pixels from 1 to 4096");
    apps.action = AppsOptions::Action::icon;
    apps.id = words[1];
    apps.size = *size;
    apps.out = words[4];
    return apps;
  }
  static const char* usage = "usage: apps [--watch [--count N]]";
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "--watch") {
      apps.action = AppsOptions::Action::watch;
    } else if (words[i] == "--count" && i + 1 < words.size()) {
      auto n = number<std::int64_t>(words[++i]);
      if (!n || *n < 1) throw UsageError("--count needs a number from 1");
      apps.count = n;
    } else {
      throw UsageError(usage);
    }
  }
  if (apps.count && apps.action != AppsOptions::Action::watch) throw UsageError(usage);
  return apps;
}

Options parseArguments(const std::vector<std::string>& arguments) {
  Options options;
  std::vector<std::string> rest;
  auto value = [&](std::size_t& i) -> const std::string& {
    if (i + 1 >= arguments.size()) throw UsageError(arguments[i] + " needs a value");
    return arguments[++i];
  };
  bool help = false, version = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (!rest.empty()) {
      rest.push_back(a);  // options end with the command
    } else if (a == "-h" || a == "--help") {
      help = true;
    } else if (a == "--version") {
      version = true;
    } else if (a == "--host") {
      options.host = value(i);
      if (options.host->empty()) throw UsageError("--host needs an address");
    } else if (a == "--port") {
      auto port = number<std::uint16_t>(value(i));
      if (!port || *port == 0) throw UsageError("--port needs a number from 1 to 65535");
      options.port = port;
    } else if (a == "--mac") {
      options.macID = kit::Uuid::parse(value(i));
      if (!options.macID) throw UsageError("--mac needs a desktop ID (a UUID)");
    } else if (a == "--name") {
      options.name = value(i);
      if (options.name->empty()) throw UsageError("--name must not be empty");
    } else if (a.size() > 1 && a[0] == '-' && !number<float>(a)) {
      throw UsageError("unknown option " + a);
    } else {
      rest.push_back(a);
    }
  }
  if (options.host.has_value() != options.port.has_value()) throw UsageError("--host and --port go together");
  if (help) {
    options.mode = Options::Mode::help;
    return options;
  }
  if (version) {
    options.mode = Options::Mode::version;
    return options;
  }
  if (rest.empty()) throw UsageError("no command given");
  if (rest[0] == "pair") {
    if (rest.size() != 2) throw UsageError("usage: pair <code>");
    options.mode = Options::Mode::pair;
    options.pairingCode = rest[1];
  } else if (rest[0] == "screen") {
    options.mode = Options::Mode::screen;
    options.screen = parseScreenOptions(std::vector<std::string>(rest.begin() + 1, rest.end()));
  } else if (rest[0] == "clipboard") {
    options.mode = Options::Mode::clipboard;
    options.clipboard = parseClipboardOptions(std::vector<std::string>(rest.begin() + 1, rest.end()));
  } else if (rest[0] == "apps" || rest[0] == "icon") {
    options.mode = Options::Mode::apps;
    options.apps = parseAppsOptions(rest);
  } else if (rest[0] == "session" || rest[0] == "shell") {
    if (rest.size() != 1) throw UsageError("usage: session");
    options.mode = Options::Mode::session;
  } else {
    options.mode = Options::Mode::command;
    options.command = parseCommand(rest);
  }
  return options;
}

std::string helpText() {
  return R"(Usage: tillerpad-remote [options] <command>

A command-line phone for a Tillerpad desktop.

Commands:
  pair <code>                 pair with the desktop showing <code> (TILLERPAD:...)
  session | shell             stay connected; read commands, one per line, from
                              standard input (plus "quit"); ends at end of input
  ping                        send a ping and wait for its pong
  move <dx> <dy>              move the pointer (fast channel when offered)
  scroll <dx> <dy>            scroll (fast channel when offered)
  click [left|right|middle]   click a button (default left)
  press [left|right|middle]   hold a button down (default left)
  release [left|right|middle] let a held button go (default left)
  key <key> [modifiers]       press a key: a name (return, tab, space, delete,
                              forwardDelete, escape, leftArrow, rightArrow,
                              upArrow, downArrow, home, end, pageUp, pageDown),
                              f1..f20, or one character; modifiers as names
                              joined by "," or "+" (command, option, control,
                              shift, function) or as a number
  type <text>                 type text (the rest of the line)
  screen [--width N] [--fps N] [--display ID] [--frames N] [--out DIR]
                              view the screen: ask for frames at most N px wide
                              (default 1920) and N per second (default 30) of a
                              display (default: the desktop's choice); answer
                              each frame, after writing it to DIR as
                              frame-<id>.jpg; stop after --frames or on Ctrl-C
  clipboard watch [--out DIR] [--count N]
                              subscribe to the desktop's clipboard and print
                              each copied content (text, or image format and
                              size), writing images to DIR as
                              clipboard-<n>.png|jpg; stop after --count or on
                              Ctrl-C
  clipboard set <text> | --image FILE [--paste]
                              put text, or a PNG or JPEG file, on the
                              desktop's clipboard (and have it pasted)
  apps [--watch [--count N]]  list the desktop's applications, one "app" line
                              each, marked running and active; with --watch
                              also every list the desktop pushes when
                              applications start, quit or come to the front,
                              until --count lists or Ctrl-C
  icon <id> <size> --out FILE.png
                              save an application's icon, <size> pixels
                              square (the desktop draws 32 to 512)
  open <id>                   open an application, or bring it to the front
  media <action>              playPause nextTrack previousTrack volumeUp
                              volumeDown mute
  power <action>              lock sleep displaySleep
  window <action>             missionControl appWindows showDesktop spaceLeft
                              spaceRight

Options:
  --host <address> --port <port>
                              connect there instead of finding the desktop by
                              DNS-SD ("_tillerpad._tcp" through avahi-daemon)
  --mac <id>                  which paired desktop to use (default: the one
                              paired last)
  --name <name>               this phone's name when pairing (default
                              "tillerpad-remote on <hostname>")
  -h, --help                  this text
  --version                   the version

Pairing records are kept in $XDG_DATA_HOME/tillerpad/credentials/
app.tillerpad.remote.macs/ (or ~/.local/share/...).

Standard output carries one line per event (see tools/remote/README.md):
  welcome, permissionStatus, sharingSettings, error, bye, pong, paired,
  rejected, sent, closed, message; with screen also screenInfo, frame and
  screen (the summary); clipboard for copied content; appList, app and
  appIcon for applications.
Failures go to standard error as "tillerpad-remote: <text>".

Exit status: 0 done, 1 the desktop ended the session, 2 bad arguments,
3 no such desktop (not paired, not found), 4 connection failed or refused,
5 rejected by the desktop (or no such icon), 6 timed out, 7 the pairing
records cannot be read or written.
)";
}

}  // namespace tillerpad::remote
