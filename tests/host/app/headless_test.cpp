// The headless front over the real app model (tests/support's desktop), and
// phones made of the kit's own pairing client over real TLS on loopback.
// Sessions, the fast channel and a revoked phone's refusal over TLS are in
// tests/e2e/headless_test.sh.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/app/headless_front.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/pairing/pairing_payload.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message;

// The desktop with its terminal; `realTime` with a TLS listener on loopback.
struct Headless : test::Desktop {
  explicit Headless(bool realTime, bool journal = false, std::optional<HeadlessFront::Unavailable> unavailable = {})
      : Desktop({.tls = realTime, .realTime = realTime}) {
    front = std::make_unique<HeadlessFront>(
        *model, io.get_executor(), clock, [this] { return now; },
        HeadlessFront::Terminal{[this](std::string_view line) { terminal.emplace_back(line); }, false, journal},
        [this] { ++quits; }, unavailable.value_or(HeadlessFront::Unavailable{}));
  }
  void attach() {
    front->attach({[this](std::string_view line) { attached.emplace_back(line); }, [this] { ++detaches; }});
  }
  static bool has(const std::vector<std::string>& lines, std::string_view line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  static bool hasCode(const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.find(kit::PairingPayload::prefix) != std::string::npos || l.find("▀") != std::string::npos ||
             l.find("▄") != std::string::npos || l.find("█") != std::string::npos;
    });
  }
  ~Headless() { front.reset(); }

  bool printed(std::string_view line) const { return count(line) > 0; }
  std::size_t count(std::string_view line) const {
    return static_cast<std::size_t>(std::count(terminal.begin(), terminal.end(), line));
  }
  std::string lastCode() const {
    auto code = std::find_if(terminal.rbegin(), terminal.rend(),
                             [](const std::string& l) { return l.starts_with(kit::PairingPayload::prefix); });
    return code == terminal.rend() ? std::string() : *code;
  }

  std::unique_ptr<HeadlessFront> front;
  std::vector<std::string> terminal;
  std::vector<std::string> attached;  // what the attached terminal got
  int quits = 0;
  int detaches = 0;
};

TEST(HeadlessFrontTest, PairsRevokesAndDeniesFromTheTerminal) {
  Headless desktop(true);
  desktop.front->begin(true);
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.printed("Expires in 5:00"); }));
  desktop.startListening();
  EXPECT_TRUE(desktop.printed("Listening on port " + std::to_string(desktop.port())));
  EXPECT_EQ(desktop.services, std::vector<std::string>{"app.tillerpad.Tillerpad.devices"});
  // The code line follows the QR block and the instructions.
  auto code = std::find(desktop.terminal.begin(), desktop.terminal.end(), desktop.lastCode());
  ASSERT_GT(code - desktop.terminal.begin(), 10);
  auto title = std::find(desktop.terminal.begin(), desktop.terminal.end(), "Pair Your iPhone");
  ASSERT_LT(title + 4, code);
  EXPECT_NE(title[4].find("▀"), std::string::npos);  // after the quiet zone

  // A phone whose name would clear the terminal and forge a log line.
  auto first = desktop.pairPhone(desktop.lastCode(), {"Ada\x1b[2J\nINFO x", "iPhone15,2", "18.1", "1.0"}).outcome;
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.printed("Allow? [y/N]"); }));
  EXPECT_TRUE(desktop.printed("Allow “Ada[2JINFO x” to control this Mac?"));
  EXPECT_TRUE(desktop.printed("iPhone15,2 · iOS 18.1"));
  desktop.front->handleLine(" Yes \r");
  ASSERT_TRUE(desktop.runUntil([&] { return first->done; }));
  ASSERT_FALSE(first->error);
  EXPECT_EQ(first->value->id, desktop.model->identity.id);
  ASSERT_TRUE(desktop.runUntil([&] { return desktop.printed("“Ada[2JINFO x” is paired"); }));
  ASSERT_EQ(desktop.model->registry.devices().size(), 1u);
  EXPECT_EQ(desktop.model->registry.devices()[0].name, "Ada[2JINFO x");
  EXPECT_EQ(desktop.model->registry.devices()[0].keyData, first->value->keyData);
  // The terminal pairing ends with its outcome: the code's key is withdrawn.
  ASSERT_TRUE(desktop.runUntil([&] { return !desktop.model->pairing->payload(); }));

  // Any answer but yes keeps the phone; the id then "y" removes it.
  desktop.front->handleLine("revoke Ada[2JINFO x");
  EXPECT_TRUE(desktop.printed("Revoke “Ada[2JINFO x”?"));
  EXPECT_TRUE(desktop.printed("Revoke? [y/N]"));
  desktop.front->handleLine("sure");
  EXPECT_TRUE(desktop.printed("Cancelled."));
  EXPECT_EQ(desktop.model->registry.devices().size(), 1u);
  desktop.front->handleLine("revoke " + desktop.model->registry.devices()[0].id.text());
  desktop.front->handleLine("y");
  EXPECT_TRUE(desktop.printed("Done."));
  ASSERT_TRUE(desktop.runUntil([&] {
    return desktop.model->registry.devices().empty() && desktop.lines("Listener starting with 0 key(s)") &&
           desktop.listenerReady();
  }));
  desktop.front->handleLine("revoke Nobody");
  EXPECT_TRUE(desktop.printed("No paired iPhone is named “Nobody” or has that id. Type “devices” for the list."));

  // With standard input closed the question is answered no while it is asked:
  // the phone hears "denied" at once instead of waiting for its own limit.
  desktop.relisten([&] { desktop.front->handleLine("pair"); });  // with the new code's key
  ASSERT_EQ(desktop.count("Pair Your iPhone"), 2u);
  desktop.front->endOfInput();
  auto second = desktop.pairPhone(desktop.lastCode(), {"Eve", "iPhone", "17", "1.0"}).outcome;
  ASSERT_TRUE(desktop.runUntil([&] { return second->done && desktop.printed("Pairing denied"); }));
  EXPECT_TRUE(desktop.printed("(Standard input is closed: no.)"));
  EXPECT_EQ(second->errorAs<kit::PairingError>(), kit::PairingError::rejected(kit::PairingRejection::denied));
  EXPECT_TRUE(desktop.model->registry.devices().empty());

  desktop.front->handleLine("quit");
  EXPECT_EQ(desktop.quits, 1);
}

TEST(HeadlessFrontTest, CountsDownAndReportsAnExpiredCode) {
  Headless desktop(false);
  desktop.front->begin(true);
  desktop.drain();
  ASSERT_TRUE(desktop.printed("Expires in 5:00"));
  for (auto shown : {"Expires in 4:00", "Expires in 3:00", "Expires in 2:00", "Expires in 1:00"}) {
    desktop.advance(60s);
    EXPECT_TRUE(desktop.printed(shown));
  }
  desktop.advance(30s);
  EXPECT_TRUE(desktop.printed("Expires in 0:30"));
  desktop.advance(20s);
  EXPECT_TRUE(desktop.printed("Expires in 0:10"));
  EXPECT_FALSE(desktop.printed("The code expired"));
  desktop.advance(10s);
  EXPECT_TRUE(desktop.printed("The code expired"));
  EXPECT_TRUE(desktop.printed(
      "For your security, pairing codes are valid for 5 minutes. Create a new one to try again."));
  EXPECT_FALSE(desktop.model->pairing->pendingKey());

  // With standard input closed, a question can only be answered no.
  desktop.front->endOfInput();
  desktop.addPhone("Ada");
  desktop.settle();
  desktop.front->handleLine("revoke Ada");  // the answer arrives before the question is asked
  desktop.front->endOfInput();
  EXPECT_EQ(desktop.model->registry.devices().size(), 1u);
}

TEST(HeadlessFrontTest, PermissionsArePolledEverySecondAndChangesPrintedAndForwarded) {
  Headless desktop(false);
  desktop.front->begin(false);
  desktop.drain();
  EXPECT_TRUE(desktop.printed("Screen viewing: not possible (the X display cannot be read)"));
  auto reads = desktop.probe.reads;
  desktop.advance(1s);
  EXPECT_GT(desktop.probe.reads, reads);  // polled, nothing changed, nothing printed
  EXPECT_EQ(desktop.count("Screen viewing: not possible (the X display cannot be read)"), 1u);

  desktop.probe.input = false;
  desktop.probe.screen = true;
  desktop.advance(999ms);
  EXPECT_FALSE(desktop.printed("Screen viewing: possible"));  // not yet a second
  desktop.advance(1ms);
  EXPECT_TRUE(desktop.printed("Screen viewing: possible"));
  EXPECT_EQ(desktop.model->permissions.status(), (kit::PermissionStatus{false, true}));

  // Nothing polls once the model is gone.
  desktop.front.reset();
  desktop.model.reset();
  desktop.drain();
  EXPECT_EQ(desktop.manualClock->pendingTimers(), 0u);
}

// The session's situation, not X11's, where the desktop is not an X11 one:
// at start, in `status`, on an attached terminal and when it changes.
TEST(HeadlessFrontTest, PermissionLinesNameTheSessionsSituation) {
  Headless desktop(false, false, HeadlessFront::Unavailable{"wlroots backend: no pointer", "wlroots backend: no frames"});
  desktop.probe.input = false;
  desktop.probe.screen = true;
  desktop.advance(1s);
  desktop.front->begin(false);
  desktop.drain();
  const std::string input = "Pointer and keyboard control: not possible (wlroots backend: no pointer)";
  const std::string screen = "Screen viewing: not possible (wlroots backend: no frames)";
  EXPECT_EQ(desktop.count(input), 1u);
  desktop.attach();
  desktop.front->handleLine("status");
  EXPECT_EQ(desktop.count(input), 2u);
  EXPECT_TRUE(Headless::has(desktop.attached, input));
  desktop.probe.screen = false;
  desktop.advance(1s);
  EXPECT_TRUE(desktop.printed(screen));
  EXPECT_TRUE(Headless::has(desktop.attached, screen));
  for (const auto* lines : {&desktop.terminal, &desktop.attached}) {
    EXPECT_FALSE(std::any_of(lines->begin(), lines->end(), [](const std::string& l) { return l.find("X display") != std::string::npos; }));
  }
}

TEST(HeadlessFrontTest, SharingSwitchesAreStoredAndTheViewerIsShown) {
  Headless desktop(false);
  desktop.front->begin(false);
  desktop.startListening();
  struct Case {
    const char* line;
    const char* printed;
    bool screen, clipboard;
  };
  const Case cases[] = {
      {"share screen off", "Allow Screen Viewing: off", false, true},
      {"share clipboard off", "Share Clipboard: off", false, false},
      {"SHARE Clipboard ON", "Share Clipboard: on", false, true},
      {"share", "Usage: share screen on|off, share clipboard on|off", false, true},
      {"share screen on", "Allow Screen Viewing: on", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    desktop.terminal.clear();
    desktop.front->handleLine(c.line);
    EXPECT_EQ(desktop.terminal, std::vector<std::string>{c.printed});
    // Stored (an absent value reads as on).
    using Value = platform::UserDefaults::Value;
    EXPECT_EQ(desktop.defaults.value(MacSettings::allowScreenViewingKey).value_or(Value(true)), Value(c.screen));
    EXPECT_EQ(desktop.defaults.value(MacSettings::shareClipboardKey).value_or(Value(true)), Value(c.clipboard));
    EXPECT_EQ(desktop.model->settings.allowScreenViewing(), c.screen);
  }

  auto phone = desktop.connect(desktop.addPhone("Ada"));
  phone.channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1280, 10}));
  desktop.drain();
  desktop.front->handleLine("status");
  EXPECT_TRUE(desktop.printed("Viewing the screen: “Ada” (display 1)"));

  // Switched off from the terminal: the stream ends, and the status says both.
  desktop.front->handleLine("share screen off");
  desktop.drain();
  desktop.terminal.clear();
  desktop.front->handleLine("status");
  EXPECT_TRUE(desktop.printed("Allow Screen Viewing: off"));
  EXPECT_TRUE(desktop.printed("Viewing the screen: nobody"));
}

// Standard output may be the journal; the code and its QR code go only where
// a person reads them, and a code nobody can see is not made at all.
TEST(HeadlessFrontTest, ThePairingCodeGoesOnlyWhereAPersonReadsIt) {
  struct Case {
    const char* name;
    bool journal, attached;
    bool codeOnStandardOutput, codeAttached, pairing;
  };
  const Case cases[] = {
      {"a terminal or a pipe", false, false, true, false, true},
      {"a pipe and an attached terminal", false, true, true, true, true},
      {"the journal, nobody attached", true, false, false, false, false},
      {"the journal and an attached terminal", true, true, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Headless desktop(false, c.journal);
    desktop.front->begin(false);
    desktop.startListening();
    if (c.attached) desktop.attach();
    desktop.front->handleLine("pair");
    desktop.drain();
    EXPECT_EQ(desktop.hasCode(desktop.terminal), c.codeOnStandardOutput);
    EXPECT_EQ(desktop.hasCode(desktop.attached), c.codeAttached);
    EXPECT_EQ(desktop.model->pairing->payload().has_value(), c.pairing);
    EXPECT_EQ(desktop.printed("Pair Your iPhone"), c.pairing && !c.journal);
    EXPECT_EQ(desktop.printed("Pairing code shown on the attached terminal"), c.journal && c.pairing);
    EXPECT_EQ(desktop.printed("The pairing code is not written to the journal. To pair an iPhone, run: "
                              "tillerpad --attach --pair"),
              !c.pairing);
    if (c.codeAttached) {
      // In colour: the attaching command strips it where its output is no terminal.
      EXPECT_TRUE(std::any_of(desktop.attached.begin(), desktop.attached.end(),
                              [](const std::string& l) { return l.find("\x1b[") != std::string::npos; }));
    }
  }
}

// Lines of the attached terminal count as standard input's; with standard
// input ended, a question waits for the attached terminal, and is denied
// when it detaches.
TEST(HeadlessFrontTest, AnAttachedTerminalAnswersUntilItDetaches) {
  struct Case {
    const char* name;
    bool inputEnded;
    bool attachFirst;      // else it attaches while the question is open
    const char* answer;    // from the attached terminal; null: it detaches instead
    const char* fromInput; // then standard input answers, if still open
    bool revoked;
  };
  const Case cases[] = {
      {"input ended, attached answers yes", true, true, "y", nullptr, true},
      {"input ended, attached answers no", true, true, "no", nullptr, false},
      {"input ended, attached detaches", true, true, nullptr, nullptr, false},
      {"input open, attached detaches, input answers", false, true, nullptr, "yes", true},
      {"attached after the question, answers", false, false, "Y", nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Headless desktop(false);
    desktop.front->begin(false);
    desktop.startListening();
    desktop.addPhone("Ada");
    desktop.settle();
    if (c.inputEnded) desktop.front->endOfInput();
    if (c.attachFirst) desktop.attach();
    if (c.attachFirst) {
      desktop.front->attachedLine("revoke Ada");
    } else {
      desktop.front->handleLine("revoke Ada");
    }
    EXPECT_FALSE(desktop.printed("(Standard input is closed: no.)"));
    if (!c.attachFirst) {
      desktop.attach();
      EXPECT_TRUE(desktop.has(desktop.attached, "Revoke? [y/N]"));  // the open question, again
    }
    if (c.answer) {
      desktop.front->attachedLine(c.answer);
    } else {
      desktop.front->detached();
      EXPECT_EQ(desktop.printed("(No terminal is left to answer: no.)"), c.inputEnded);
      EXPECT_EQ(desktop.printed("Cancelled."), c.inputEnded);
      desktop.front->attachedLine("y");  // gone: nothing it says counts
    }
    if (c.fromInput) desktop.front->handleLine(c.fromInput);
    desktop.settle();
    EXPECT_EQ(desktop.model->registry.devices().empty(), c.revoked);
    EXPECT_EQ(desktop.printed("Done."), c.revoked);
  }

  // detach is the attached terminal's; quit from it stops the service as on standard input.
  Headless desktop(false);
  desktop.front->begin(false);
  desktop.attach();
  desktop.front->handleLine("detach");
  EXPECT_EQ(desktop.detaches, 0);
  desktop.front->attachedLine("DETACH");
  EXPECT_EQ(desktop.detaches, 1);
  desktop.front->attachedLine("quit");
  EXPECT_EQ(desktop.quits, 1);
}

}  // namespace
}  // namespace tillerpad::host
