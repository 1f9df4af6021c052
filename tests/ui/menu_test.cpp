// The tray icon, its menu and what opens by itself, over the real app model.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "host/ui/tray_app.h"
#include "tests/ui/ui_harness.h"

namespace tillerpad::ui {
namespace {

using host::UiState;
using kit::Message;
using namespace std::chrono_literals;
using Look = TrayApp::Look;

// Counts what the tray opened; one plain window stands in for all of them.
struct RecordingWindows final : TrayWindows {
  RecordingWindows(std::map<std::string, int>& opened, QWidget& window) : opened(opened), window(window) {}
  void openPairing() override { ++opened["pairing"]; }
  void raisePairing() override { ++opened["raise pairing"]; }
  void openOnboarding() override { ++opened["onboarding"]; }
  void openSettings() override { ++opened["settings"]; }
  void showState(const UiState&) override {}
  std::vector<QWidget*> widgets() override { return {&window}; }
  std::map<std::string, int>& opened;
  QWidget& window;
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

// One line per entry as a person reads it ("&&" is "&"): "---" a divider,
// "[text]" a line that is no command, "name >" a submenu and its entries
// indented, shortcuts in parentheses; the date of "Paired on" left out.
QStringList entries(const QMenu& menu, const QString& indent = {}) {
  QStringList lines;
  for (auto* action : menu.actions()) {
    QString text = action->isSeparator() ? "---" : action->iconText();
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
    if (action->iconText() != path.front()) continue;
    if (path.size() == 1) return action;
    return action->menu() ? find(*action->menu(), path.mid(1)) : nullptr;
  }
  return nullptr;
}

// One run through the states, each after the one before, so that an entry
// or a look that stays when its state ends shows too.
TEST(TrayMenu, FollowsTheServiceInItsOrderAndItsCommandsReachTheServiceAndTheWindows) {
  const QStringList none = {"[No iPhone connected]"}, pair = {"---", "Pair New iPhone…", "Paired iPhones >"};
  const QStringList noPhones = {"  [No paired iPhones yet.]"}, allow = {"Allow Accessibility Access…", "---"};
  const QStringList settings = {"---", "Settings… (Ctrl+,)", "---"}, quit = {"Quit Tillerpad (Ctrl+Q)"};
  const QStringList phones = {"  <b>Zoë</b> >", "    [Paired on …]", "    Revoke…",
                              "  Tom & Jerry >",  "    [Paired on …]", "    Revoke…"};
  const QStringList tom = allow + QStringList{"[Connected: Tom & Jerry]", "Disconnect “Tom & Jerry”"} + pair + phones;
  test::UiDesk ui;  // before the phone, which must go first: its channel runs on the desk's io
  std::vector<kit::PairedDevice> paired;
  std::optional<test::Phone> phone;
  struct Case {
    const char* name;
    std::function<void(test::UiDesk&)> arrange;
    QStringList menu;
    Look look;
  };
  const Case cases[] = {
      {"a fresh start", [](auto&) {}, none + pair + noPhones + settings + quit, Look::idle},
      {"the listener failed", [](auto& ui) { ui.desk.call([&] { ui.desk.listeners.back()->fail("no network"); }); },
       none + pair + noPhones + settings + QStringList{"[Not reachable: network error]"} + quit, Look::idle},
      {"listening again",
       [](auto& ui) {
         auto made = ui.desk.call([&] { return ui.desk.listenersCreated; });
         ui.desk.call([&] { ui.desk.manualClock->advance(host::Server::retryDelay); });
         ASSERT_TRUE(ui.desk.runUntil([&] { return ui.desk.listenersCreated > made; }));
         ui.desk.call([&] { ui.desk.listeners.back()->ready(4001); });
       },
       none + pair + noPhones + settings + quit, Look::idle},
      {"input not permitted", [](auto& ui) { ASSERT_TRUE(ui.permit(false, false)); },
       allow + none + pair + noPhones + settings + quit, Look::idle},
      {"paired phones in registry order, names as they are",
       [&](auto& ui) { paired = ui.desk.addPhones({"<b>Zoë</b>", "Tom & Jerry"}); },
       allow + none + pair + phones + settings + quit, Look::idle},
      {"a phone connected", [&](auto& ui) { phone = ui.connect(paired[1]); }, tom + settings + quit, Look::connected},
      {"viewing the screen", [&](auto&) { phone->channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1920, 30})); },
       tom + settings + quit, Look::viewing},
      {"viewing stopped", [&](auto&) { phone->channel->sendWithoutWaiting(Message::screenStop({})); },
       tom + settings + quit, Look::connected},
  };
  const std::map<Look, QString> tooltips = {{Look::idle, "Tillerpad"},
                                            {Look::connected, "Tillerpad: iPhone connected"},
                                            {Look::viewing, "Tillerpad: iPhone connected — viewing the screen"}};
  ui.desk.startListening();
  Tray tray(ui);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange(ui);
    ASSERT_TRUE(ui.waitFor([&] { return entries(tray.menu()) == c.menu && tray.app.look() == c.look; }))
        << entries(tray.menu()).join("\n").toStdString();
    EXPECT_EQ(tray.app.icon().toolTip(), tooltips.at(c.look));
    auto shot = QString("tray-menu-%1").arg(&c - cases);
    test::screenshot(tray.menu(), shot);
    test::screenshot(*find(tray.menu(), {"Paired iPhones"})->menu(), shot + "-paired");
  }
  for (auto [entry, opens] : {std::pair{"Allow Accessibility Access…", "onboarding"}, {"Pair New iPhone…", "pairing"},
                              {"Settings…", "settings"}, {"Quit Tillerpad", "quit"}}) {
    find(tray.menu(), {entry})->trigger();
    EXPECT_EQ(tray.opened[opens], 1) << entry;
  }
  find(tray.menu(), {"Disconnect “Tom & Jerry”"})->trigger();
  EXPECT_TRUE(ui.waitFor([&] { return !ui.state.connectedName && tray.app.look() == Look::idle; }));

  // The shortcuts work in the open menu and in the application's windows.
  for (QWidget* target : {static_cast<QWidget*>(&tray.menu()), &tray.window}) {
    for (auto [key, opens] : {std::pair{Qt::Key_Comma, "settings"}, {Qt::Key_Q, "quit"}}) {
      auto before = tray.opened[opens];
      if (target == &tray.window) target->show(), target->activateWindow();
      else tray.menu().popup(QPoint(10, 10));
      ASSERT_TRUE(QTest::qWaitForWindowExposed(target));
      QTest::keyClick(target, key, Qt::ControlModifier);
      EXPECT_EQ(tray.opened[opens], before + 1) << opens << " in " << target->metaObject()->className();
    }
  }

  // Revoking asks first in a warning box, the name never read as markup; only
  // the confirm button revokes.
  auto openBox = [] {
    QMessageBox* open = nullptr;
    for (auto* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) open = box;
    return open;
  };
  for (const char* answer : {"Cancel", "Revoke"}) {
    SCOPED_TRACE(answer);
    find(tray.menu(), {"Paired iPhones", "<b>Zoë</b>", "Revoke…"})->trigger();
    ASSERT_TRUE(ui.waitFor([&] { return openBox(); }, 5s));
    auto* box = openBox();
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    for (QString text : {"Revoke “<b>Zoë</b>”?",
                         "This iPhone will be disconnected and can no longer control this Mac until you pair it again."})
      EXPECT_TRUE(test::visibleTexts(*box).contains(text)) << text.toStdString();
    test::screenshot(*box, "revoke-alert");
    QTest::mouseClick(test::shown<QPushButton>(*box, answer), Qt::LeftButton);
    ASSERT_TRUE(ui.waitFor([&] { return !openBox(); }, 5s));
    // A Cancel reached the service before this question does.
    auto left = answer == std::string("Cancel") ? 2u : 1u;
    EXPECT_TRUE(ui.waitFor([&] { return ui.state.devices.size() == left; }));
    EXPECT_EQ(ui.desk.call([&] { return ui.desk.model->registry.devices().size(); }), left);
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
    ASSERT_TRUE(ui.permit(c.input, c.screen));
    Tray tray(ui, {.quiet = c.quiet, .hasTray = [&] { return c.hasTray; }, .trayGrace = 100ms});
    // Later changes open nothing more: granted, then lost again.
    for (bool input : {true, false}) ASSERT_TRUE(ui.permit(input, c.screen));
    ui.waitFor([&] { return tray.opened.size() >= c.opened.size(); }, 1s);
    EXPECT_EQ(tray.opened, c.opened);
  }
  // A phone asking for approval brings the pairing window forward, once per question.
  test::UiDesk ui;
  Tray tray(ui);
  auto state = ui.state;
  using Phase = UiState::PairingPhase;
  for (auto phase : {Phase::showingCode, Phase::awaitingApproval, Phase::awaitingApproval, Phase::paired,
                     Phase::showingCode, Phase::awaitingApproval}) {
    state.pairing.phase = phase, tray.app.showState(state);
  }
  EXPECT_EQ(tray.opened["raise pairing"], 2);
}

}  // namespace
}  // namespace tillerpad::ui
