#include <gtest/gtest.h>

#include "tools/remote/options.h"

namespace tillerpad::remote {
namespace {

using kit::FastEvent;
using kit::Message;
using Words = std::vector<std::string>;

TEST(RemoteOptions, CommandsBecomeTheirMessagesOrEvents) {
  struct Case {
    Words words;
    Action action;
  };
  const Case cases[] = {
      {{"ping"}, PingCommand{}},
      {{"move", "10", "-5.5"}, FastEvent::pointerMove(10, -5.5f)},
      {{"scroll", "0", "3"}, FastEvent::scroll(0, 3)},
      {{"click"}, Message::mouseButton({kit::MouseButton::left, kit::MouseButtonEvent::Action::click})},
      {{"click", "right"}, Message::mouseButton({kit::MouseButton::right, kit::MouseButtonEvent::Action::click})},
      {{"click", "middle"}, Message::mouseButton({kit::MouseButton::middle, kit::MouseButtonEvent::Action::click})},
      {{"press"}, Message::mouseButton({kit::MouseButton::left, kit::MouseButtonEvent::Action::down})},
      {{"release", "right"}, Message::mouseButton({kit::MouseButton::right, kit::MouseButtonEvent::Action::up})},
      {{"key", "a"}, Message::keyPress({kit::Key("a"), kit::Modifiers::none()})},
      {{"key", "return", "command,shift"},
       Message::keyPress({kit::Key::returnKey, kit::Modifiers::command() | kit::Modifiers::shift()})},
      {{"key", "f5", "ctrl+alt+fn"},
       Message::keyPress({kit::Key("f5"), kit::Modifiers::control() | kit::Modifiers::option() | kit::Modifiers::function()})},
      {{"key", "tab", "40"}, Message::keyPress({kit::Key::tab, kit::Modifiers{40}})},
      {{"type", "hello", "world"}, Message::typeText({"hello world"})},
      {{"media", "volumeUp"}, Message::media({kit::MediaAction::volumeUp})},
      {{"power", "displaySleep"}, Message::power({kit::PowerAction::displaySleep})},
      {{"window", "spaceLeft"}, Message::missionControl({kit::MissionControlAction::spaceLeft})},
      {{"open", "org.gnome.Calculator"}, Message::appOpen({"org.gnome.Calculator"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words[0]);
    Command command = parseCommand(c.words);
    EXPECT_EQ(command.name, c.words[0]);
    EXPECT_EQ(command.action, c.action);
  }
}

TEST(RemoteOptions, ArgumentsSelectModeAndAddress) {
  Options pair = parseArguments({"--host", "127.0.0.1", "--port", "4242", "pair", "TILLERPAD:abc"});
  EXPECT_EQ(pair.mode, Options::Mode::pair);
  EXPECT_EQ(pair.host, "127.0.0.1");
  EXPECT_EQ(pair.port, 4242);
  EXPECT_EQ(pair.pairingCode, "TILLERPAD:abc");

  EXPECT_EQ(parseArguments({"shell"}).mode, Options::Mode::session);

  // A negative number after the command is an argument, not an option.
  Options move = parseArguments({"--name", "Phone", "move", "-3", "4"});
  EXPECT_EQ(move.mode, Options::Mode::command);
  EXPECT_EQ(move.name, "Phone");
  ASSERT_TRUE(move.command);
  EXPECT_EQ(move.command->action, Action(FastEvent::pointerMove(-3, 4)));

  Options mac = parseArguments({"--mac", "11111111-2222-4333-8444-555555555555", "ping"});
  EXPECT_EQ(mac.macID, kit::Uuid::parse("11111111-2222-4333-8444-555555555555"));

  EXPECT_EQ(parseArguments({"--help"}).mode, Options::Mode::help);
  EXPECT_EQ(parseArguments({"--help", "ping"}).mode, Options::Mode::help);
  EXPECT_EQ(parseArguments({"--version"}).mode, Options::Mode::version);
}

// Every malformed command line, whichever part of it is wrong: the command,
// an option, or the options of screen and clipboard.
TEST(RemoteOptions, MalformedLinesAreUsageErrors) {
  const Words cases[] = {
      {}, {"jump"}, {"ping", "now"}, {"type"}, {"media", "louder"}, {"power", "reboot"}, {"window", "close"},
      {"move", "1"}, {"move", "1", "2", "3"}, {"move", "x", "2"}, {"move", "nan", "2"}, {"move", "inf", "2"},
      {"move", "1e40", "0"},  // overflows a float
      {"click", "fourth"}, {"press", "left", "right"}, {"release", "thumb"},
      {"key"}, {"key", "a", "hyper"}, {"key", "a", "-1"}, {"key", "a", "command,"},
      {"--host", "127.0.0.1", "ping"}, {"--port", "80", "ping"},  // one without the other
      {"--host", "h", "--port", "0", "ping"}, {"--host", "h", "--port", "65536", "ping"},
      {"--host", "h", "--port", "12x", "ping"}, {"--host"}, {"--mac", "not-a-uuid", "ping"},
      {"--name", "", "ping"}, {"--verbose", "ping"}, {"pair"}, {"pair", "a", "b"}, {"session", "extra"},
      {"session", "--name", "x"},  // options go before the command
      {"screen", "--width"}, {"screen", "--width", "0"}, {"screen", "--fps", "ten"}, {"screen", "--display", "-1"},
      {"screen", "--display", "4294967296"}, {"screen", "--out", ""}, {"screen", "--out"},
      {"screen", "--quality", "9"}, {"screen", "now"},
      {"clipboard"}, {"clipboard", "copy", "x"}, {"clipboard", "watch", "--out"}, {"clipboard", "watch", "--out", ""},
      {"clipboard", "watch", "--count", "0"}, {"clipboard", "watch", "now"}, {"clipboard", "set"},
      {"clipboard", "set", "--paste"}, {"clipboard", "set", ""}, {"clipboard", "set", "--image"},
      {"clipboard", "set", "text", "--image", "a.png"},
      {"open"}, {"open", "a", "b"}, {"apps", "now"}, {"apps", "--count", "2"}, {"apps", "--watch", "--count", "0"},
      {"apps", "--watch", "--count"}, {"icon", "x", "64"}, {"icon", "x", "64", "--out"}, {"icon", "x", "0", "--out", "f"},
      {"icon", "x", "4097", "--out", "f"}, {"icon", "x", "big", "--out", "f"}, {"icon", "", "64", "--out", "f"},
  };
  for (const auto& words : cases) {
    SCOPED_TRACE(::testing::PrintToString(words));
    EXPECT_THROW(parseArguments(words), UsageError);
  }
}

TEST(RemoteOptions, ScreenAndClipboardTakeTheirOwnOptions) {
  const std::pair<Words, ScreenOptions> screens[] = {
      {{"screen"}, ScreenOptions{}},
      {{"screen", "--width", "640", "--fps", "5"}, ScreenOptions{640, 5, std::nullopt, std::nullopt, std::nullopt}},
      {{"screen", "--display", "0", "--frames", "5", "--out", "/tmp/f"}, ScreenOptions{1920, 30, 0u, 5, "/tmp/f"}},
      {{"screen", "--display", "4294967295"}, ScreenOptions{1920, 30, 4294967295u, std::nullopt, std::nullopt}},
      {{"--host", "h", "--port", "9", "screen", "--frames", "1"}, ScreenOptions{1920, 30, std::nullopt, 1, std::nullopt}},
  };
  for (const auto& [words, expected] : screens) {
    SCOPED_TRACE(::testing::PrintToString(words));
    Options options = parseArguments(words);
    EXPECT_EQ(options.mode, Options::Mode::screen);
    EXPECT_EQ(options.screen, expected);
  }
  using Action = ClipboardOptions::Action;
  const std::pair<Words, ClipboardOptions> clipboards[] = {
      {{"clipboard", "watch"}, ClipboardOptions{}},
      {{"clipboard", "watch", "--out", "/tmp/c", "--count", "2"}, ClipboardOptions{Action::watch, "/tmp/c", 2}},
      {{"clipboard", "set", "hello", "world"}, ClipboardOptions{Action::set, std::nullopt, std::nullopt, "hello world", std::nullopt, false}},
      {{"clipboard", "set", "--paste", "hi"}, ClipboardOptions{Action::set, std::nullopt, std::nullopt, "hi", std::nullopt, true}},
      {{"clipboard", "set", "--image", "a.png", "--paste"}, ClipboardOptions{Action::set, std::nullopt, std::nullopt, std::nullopt, "a.png", true}},
  };
  for (const auto& [words, expected] : clipboards) {
    SCOPED_TRACE(::testing::PrintToString(words));
    Options options = parseArguments(words);
    EXPECT_EQ(options.mode, Options::Mode::clipboard);
    EXPECT_EQ(options.clipboard, expected);
  }
}

TEST(RemoteOptions, AppsAndIconTakeTheirOwnOptions) {
  using Action = AppsOptions::Action;
  const std::pair<Words, AppsOptions> cases[] = {
      {{"apps"}, {}}, {{"apps", "--watch"}, {Action::watch}}, {{"apps", "--watch", "--count", "3"}, {Action::watch, 3}},
      {{"icon", "kde-okular", "16", "--out", "o.png"}, {Action::icon, std::nullopt, "kde-okular", 16, "o.png"}}};
  for (const auto& [words, expected] : cases) {
    Options options = parseArguments(words);
    EXPECT_EQ(std::pair(options.mode, options.apps), std::pair(Options::Mode::apps, expected)) << words[0];
  }
}

TEST(RemoteOptions, SessionLines) {
  EXPECT_TRUE(std::holds_alternative<std::monostate>(parseSessionLine("")));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(parseSessionLine("  \t\r")));
  EXPECT_TRUE(std::holds_alternative<QuitCommand>(parseSessionLine("quit")));
  EXPECT_TRUE(std::holds_alternative<QuitCommand>(parseSessionLine("exit\r")));

  // "type" keeps the rest of the line as it is, inner and trailing blanks too.
  auto typed = std::get<Command>(parseSessionLine("type  two  blanks "));
  EXPECT_EQ(typed.action, Action(Message::typeText({" two  blanks "})));

  auto move = std::get<Command>(parseSessionLine("  move 1   2\r"));
  EXPECT_EQ(move.action, Action(FastEvent::pointerMove(1, 2)));

  EXPECT_THROW(parseSessionLine("type "), UsageError);
  EXPECT_THROW(parseSessionLine("pair TILLERPAD:x"), UsageError);  // not inside a session
  EXPECT_THROW(parseSessionLine("move 1"), UsageError);
}

}  // namespace
}  // namespace tillerpad::remote
