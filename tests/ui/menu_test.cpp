// The tray icon, its menu and what opens by itself, over the real app model.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

#include "host/ui/tray_app.h"
#include "tests/ui/ui_harness.h"

namespace tillerpad::ui {
namespace {

using host::UiState;
using kit::Message;
using namespace std::chrono_literals;

// Counts what the tray opened; one plain window stands in for all of them.
class RecordingWindows final : public TrayWindows {
 public:
  RecordingWindows(std::map<std::string, int>& opened, QWidget& window) : opened_(opened), window_(window) {}
  void openPairing() override { ++opened_["pairing"]; }
  void raisePairing() override { ++opened_["raise pairing"]; }
  void openOnboarding() override { ++opened_["onboarding"]; }
  void openSettings() override { ++opened_["settings"]; }
  void showState(const UiState&) override {}
  std::vector<QWidget*> widgets() override { return {&window_}; }

 private:
  std::map<std::string, int>& opened_;
  QWidget& window_;
};

struct Tray {
  explicit Tray(test::UiDesk& ui, TrayApp::Options options = {.hasTray = [] { return true; }})
      : app(ui.actions, std::make_unique<RecordingWindows>(opened, window), std::move(options)) {
    QObject::connect(&app, &TrayApp::quitRequested, [this] { ++opened["quit"]; });
    ui.viewers.push_back([this](const UiState& s) { app.showState(s); });
    ui.confirmWith = [this](const host::UiAlert& alert, auto answer) { app.confirm(alert, std::move(answer)); };
    app.showState(ui.state);
  }
  QMenu& menu() { return *app.menu().menu(); }
  std::map<std::string, int> opened;  // these two before the app, which holds them
  QWidget window;
  TrayApp app;
};

// What a person reads: "&&" is "&", a lone "&" only marks the next letter.
QString shown(const QString& text) {
  QString out;
  for (qsizetype i = 0; i < text.size(); ++i) out += text[text[i] == '&' && i + 1 < text.size() ? ++i : i];
  return out;
}

// One line per entry: "---" a divider, "[text]" a line that is no command,
// "name >" a submenu and its entries indented, shortcuts in parentheses;
// the date of "Paired on" left out.
QStringList entries(const QMenu& menu, const QString& indent = {}) {
  QStringList lines;
  for (auto* action : menu.actions()) {
    QString text = action->isSeparator() ? "---" : shown(action->text());
    if (text.startsWith("Paired on ")) text = "Paired on …";
    if (!action->isEnabled()) text = "[" + text + "]";
    if (!action->shortcut().isEmpty()) text += " (" + action->shortcut().toString() + ")";
    lines << indent + text + (action->menu() ? " >" : "");
    if (action->menu()) lines << entries(*action->menu(), indent + "  ");
  }
  return lines;
}

QAction* find(QMenu& menu, const QStringList& path) {
  for (auto* action : menu.actions()) {
    if (shown(action->text()) != path.front()) continue;
    if (path.size() == 1) return action;
    return action->menu() ? find(*action->menu(), path.mid(1)) : nullptr;
  }
  return nullptr;
}

// Returns once a snapshot shows the probe's new answers.
bool permit(test::UiDesk& ui, bool input, bool screen) {
  ui.desk.call([&] { ui.desk.probe.input = input, ui.desk.probe.screen = screen, ui.desk.model->permissions.refresh(); });
  return ui.waitFor([&] { return ui.state.accessibility == input && ui.state.screenRecording == screen; });
}

TEST(TrayMenu, ShowsWhatTheServiceKnowsInItsOrder) {
  const QStringList pair = {"---", "Pair New iPhone…", "Paired iPhones >"};
  const QStringList none = QStringList{"[No iPhone connected]"} + pair + QStringList{"  [No paired iPhones yet.]"};
  const QStringList settings = {"---", "Settings… (Ctrl+,)", "---"}, quit = {"Quit Tillerpad (Ctrl+Q)"};
  const QStringList tom = {"  Tom & Jerry >", "    [Paired on …]", "    Revoke…"};
  struct Case {
    const char* name;
    std::function<void(test::UiDesk&)> arrange;
    QStringList menu;
  };
  const Case cases[] = {
      {"a fresh start", [](auto&) {}, none + settings + quit},
      {"input not permitted", [](auto& ui) { ASSERT_TRUE(permit(ui, false, false)); },
       QStringList{"Allow Accessibility Access…", "---"} + none + settings + quit},
      {"the listener failed",
       [](auto& ui) { ui.desk.call([&] { ui.desk.listeners.back()->fail("no network"); }); },
       none + settings + QStringList{"[Not reachable: network error]"} + quit},
      {"paired phones in registry order, names as they are",
       [](auto& ui) { ui.desk.addPhones({"Zoë’s iPhone", "Tom & Jerry"}); },
       QStringList{"[No iPhone connected]"} + pair +
           QStringList{"  Zoë’s iPhone >", "    [Paired on …]", "    Revoke…"} + tom + settings + quit},
      {"a phone connected", [](auto& ui) { ui.connect(ui.desk.addPhone("Tom & Jerry")); },
       QStringList{"[Connected: Tom & Jerry]", "Disconnect “Tom & Jerry”"} + pair + tom + settings + quit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::UiDesk ui;
    ui.desk.startListening();
    Tray tray(ui);
    c.arrange(ui);
    ASSERT_TRUE(ui.waitFor([&] { return entries(tray.menu()) == c.menu; })) << entries(tray.menu()).join("\n").toStdString();
    auto shot = QString("tray-menu-%1").arg(&c - cases);
    test::screenshot(tray.menu(), shot);
    test::screenshot(*find(tray.menu(), {"Paired iPhones"})->menu(), shot + "-paired");
  }
}

TEST(TrayMenu, TheFailureLineGoesWhenTheListenerListensAgain) {
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  auto failed = [&] { return entries(tray.menu()).contains("[Not reachable: network error]"); };
  ui.desk.call([&] { ui.desk.listeners.back()->fail("no network"); });
  ASSERT_TRUE(ui.waitFor(failed));
  auto made = ui.desk.call([&] { return ui.desk.listenersCreated; });
  ui.desk.call([&] { ui.desk.manualClock->advance(host::Server::retryDelay); });
  ASSERT_TRUE(ui.desk.runUntil([&] { return ui.desk.listenersCreated > made; }));
  ui.desk.call([&] { ui.desk.listeners.back()->ready(4001); });
  EXPECT_TRUE(ui.waitFor([&] { return !failed(); }));
}

TEST(TrayMenu, CommandsReachTheServiceAndTheWindows) {
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  ASSERT_TRUE(permit(ui, false, false));
  auto phone = ui.connect(ui.desk.addPhone("Anna"));
  ASSERT_TRUE(ui.waitFor([&] { return ui.state.connectedName == "Anna"; }));
  const std::pair<const char*, const char*> commands[] = {
      {"Allow Accessibility Access…", "onboarding"}, {"Pair New iPhone…", "pairing"}, {"Settings…", "settings"},
      {"Quit Tillerpad", "quit"}};
  for (auto [entry, opens] : commands) {
    find(tray.menu(), {entry})->trigger();
    EXPECT_EQ(tray.opened[opens], 1) << entry;
  }
  find(tray.menu(), {"Disconnect “Anna”"})->trigger();
  EXPECT_TRUE(ui.waitFor([&] { return !ui.state.connectedName; }));
}

TEST(TrayMenu, ShortcutsWorkInTheOpenMenuAndTheApplicationsWindows) {
  for (bool inMenu : {true, false}) {
    SCOPED_TRACE(inMenu ? "the open menu" : "a window");
    test::UiDesk ui;
    Tray tray(ui);
    QWidget* target = inMenu ? &tray.menu() : &tray.window;
    for (auto [key, opens] : {std::pair{Qt::Key_Comma, "settings"}, {Qt::Key_Q, "quit"}}) {
      if (inMenu) tray.menu().popup(QPoint(10, 10));
      else target->show(), target->activateWindow();
      ASSERT_TRUE(QTest::qWaitForWindowExposed(target));
      QTest::keyClick(target, key, Qt::ControlModifier);
      EXPECT_EQ(tray.opened[opens], 1) << opens;
    }
  }
}

TEST(TrayIcon, FollowsTheSessionAndScreenViewing) {
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  auto looks = [&](TrayApp::Look look, const char* tooltip) {
    return ui.waitFor([&] { return tray.app.look() == look; }, 5s) && tray.app.icon().toolTip() == tooltip;
  };
  EXPECT_TRUE(looks(TrayApp::Look::idle, "Tillerpad"));
  auto phone = ui.connect(ui.desk.addPhone("Anna"));
  EXPECT_TRUE(looks(TrayApp::Look::connected, "Tillerpad: iPhone connected"));
  phone.channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1920, 30}));
  EXPECT_TRUE(looks(TrayApp::Look::viewing, "Tillerpad: iPhone connected — viewing the screen"));
  phone.channel->sendWithoutWaiting(Message::screenStop({}));
  EXPECT_TRUE(looks(TrayApp::Look::connected, "Tillerpad: iPhone connected"));
  ui.actions->disconnect();
  EXPECT_TRUE(looks(TrayApp::Look::idle, "Tillerpad"));
}

TEST(TrayRevoke, AsksFirstAndOnlyTheConfirmButtonRevokes) {
  auto click = [](const char* text) {
    return [text](QMessageBox& box) {
      for (auto* button : box.buttons()) {
        if (button->text() == text) QTest::mouseClick(button, Qt::LeftButton);
      }
    };
  };
  const std::tuple<const char*, std::function<void(QMessageBox&)>, bool> answers[] = {
      {"Cancel", click("Cancel"), false},
      {"Escape", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, false},
      {"Revoke", click("Revoke"), true}};
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  const char* name = "<b>Anna</b>";  // shown as it is, not as markup
  auto phone = ui.connect(ui.desk.addPhone(name));
  ASSERT_TRUE(ui.waitFor([&] { return ui.state.connectedName.has_value(); }));
  auto openBox = [] {
    for (auto* widget : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    }
    return static_cast<QMessageBox*>(nullptr);
  };
  for (const auto& [how, answer, revokes] : answers) {
    SCOPED_TRACE(how);
    find(tray.menu(), {"Paired iPhones", name, "Revoke…"})->trigger();
    ASSERT_TRUE(ui.waitFor([&] { return openBox(); }, 5s));
    auto* box = openBox();
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->text(), QString("Revoke “%1”?").arg(name));
    EXPECT_EQ(box->informativeText(),
              "This iPhone will be disconnected and can no longer control this Mac until you pair it again.");
    EXPECT_EQ(box->findChild<QLabel*>("qt_msgbox_label")->textFormat(), Qt::PlainText);
    if (!revokes) test::screenshot(*box, "revoke-alert");
    answer(*box);
    ASSERT_TRUE(ui.waitFor([&] { return !openBox(); }, 5s));
    if (revokes) {
      EXPECT_TRUE(ui.waitFor([&] { return ui.state.devices.empty() && !ui.state.connectedName; }));
    } else {  // the answer reached the service before this question does
      EXPECT_TRUE(ui.desk.call([&] { return ui.desk.model->registry.devices().size() == 1 && ui.desk.server().session(); }));
    }
  }
}

TEST(TrayStart, OpensWhatItMustByItselfOnce) {
  struct Case {
    const char* name;
    bool input, screen, quiet, hasTray;
    std::map<std::string, int> opened;
  };
  const Case cases[] = {
      {"input missing", false, true, false, true, {{"onboarding", 1}}},
      {"both missing", false, false, false, true, {{"onboarding", 1}}},
      {"only screen recording missing", true, false, false, true, {}},
      {"quiet, input missing", false, false, true, true, {}},
      {"no tray", true, true, false, false, {{"settings", 1}}},
      {"quiet, no tray after the grace", true, true, true, false, {{"settings", 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::UiDesk ui;
    ASSERT_TRUE(permit(ui, c.input, c.screen));
    Tray tray(ui, {.quiet = c.quiet, .hasTray = [&] { return c.hasTray; }, .trayGrace = 100ms});
    // Later changes open nothing more: granted, then lost again.
    for (bool input : {true, false}) ASSERT_TRUE(permit(ui, input, c.screen));
    ui.waitFor([&] { return tray.opened.size() >= c.opened.size(); }, 1s);
    EXPECT_EQ(tray.opened, c.opened);
  }
}

TEST(TrayStart, AnApprovalRequestBringsThePairingWindowForward) {
  test::UiDesk ui;
  Tray tray(ui);
  auto state = ui.state;
  using Phase = UiState::PairingPhase;
  for (auto phase : {Phase::showingCode, Phase::awaitingApproval, Phase::awaitingApproval, Phase::paired,
                     Phase::showingCode, Phase::awaitingApproval}) {
    state.pairing.phase = phase;
    tray.app.showState(state);
  }
  EXPECT_EQ(tray.opened["raise pairing"], 2);
}

}  // namespace
}  // namespace tillerpad::ui
