// The tray icon, its menu and what opens by itself, over the real app model.
#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
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
struct Opened {
  std::map<std::string, int> count;
  QWidget window;
};
class RecordingWindows final : public TrayWindows {
 public:
  explicit RecordingWindows(Opened& opened) : opened_(opened) {}
  void openPairing() override { ++opened_.count["pairing"]; }
  void raisePairing() override { ++opened_.count["raise pairing"]; }
  void openOnboarding() override { ++opened_.count["onboarding"]; }
  void openSettings() override { ++opened_.count["settings"]; }
  void showState(const UiState&) override {}
  std::vector<QWidget*> widgets() override { return {&opened_.window}; }

 private:
  Opened& opened_;
};

struct Tray {
  explicit Tray(test::UiDesk& ui, TrayApp::Options options = {.hasTray = [] { return true; }})
      : app(ui.actions, std::make_unique<RecordingWindows>(opened), std::move(options)) {
    QObject::connect(&app, &TrayApp::quitRequested, [this] { ++quits; });
    ui.viewers.push_back([this](const UiState& s) { app.showState(s); });
    ui.confirmWith = [this](const host::UiAlert& alert, std::function<void(bool)> answer) {
      app.confirm(alert, std::move(answer));
    };
    app.showState(ui.state);
  }
  Opened opened;  // before the app, which holds a reference
  TrayApp app;
  int quits = 0;
};

// What a person reads, mnemonics resolved as a menu draws them: "&&" is "&"
// and a lone "&" marks the next letter.
QString shown(const QString& text) {
  QString out;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// One line per entry: "---" a divider, "[text]" a line that is not a
// command, "name >" a submenu followed by its entries indented, shortcuts in
// parentheses. The date of "Paired on" is left out.
QStringList entries(const QMenu& menu, const QString& indent = {}) {
  QStringList lines;
  for (auto* action : menu.actions()) {
    if (action->isSeparator()) {
      lines << indent + "---";
      continue;
    }
    QString text = shown(action->text());
    if (text.startsWith("Paired on ")) text = "Paired on …";
    if (!action->isEnabled()) text = "[" + text + "]";
    if (!action->shortcut().isEmpty()) text += " (" + action->shortcut().toString() + ")";
    if (action->menu()) {
      lines << indent + text + " >";
      lines << entries(*action->menu(), indent + "  ");
    } else {
      lines << indent + text;
    }
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

// The permission monitor reads the probe anew; returns once a snapshot shows it.
bool permit(test::UiDesk& ui, bool input, bool screen) {
  ui.desk.call([&] {
    ui.desk.probe.input = input;
    ui.desk.probe.screen = screen;
    ui.desk.model->permissions.refresh();
  });
  return ui.waitFor([&] { return ui.state.accessibility == input && ui.state.screenRecording == screen; });
}

const QStringList head = {"[No iPhone connected]", "---", "Pair New iPhone…"};
const QStringList tail = {"---", "Settings… (Ctrl+,)", "---", "Quit Tillerpad (Ctrl+Q)"};

TEST(TrayMenu, ShowsWhatTheServiceKnowsInItsOrder) {
  struct Case {
    const char* name;
    std::function<void(test::UiDesk&)> arrange;
    QStringList menu;
  };
  const Case cases[] = {
      {"a fresh start", [](test::UiDesk&) {}, head + QStringList{"Paired iPhones >", "  [No paired iPhones yet.]"} + tail},
      {"input not permitted",
       [](test::UiDesk& ui) { ASSERT_TRUE(permit(ui, false, false)); },
       QStringList{"Allow Accessibility Access…", "---"} + head +
           QStringList{"Paired iPhones >", "  [No paired iPhones yet.]"} + tail},
      {"the listener failed",
       [](test::UiDesk& ui) {
         ASSERT_TRUE(ui.after([&] { ui.desk.listeners.back()->fail("no network"); },
                              [](const UiState& s) { return s.listenerFailed; }));
       },
       head + QStringList{"Paired iPhones >", "  [No paired iPhones yet.]", "---", "Settings… (Ctrl+,)", "---",
                          "[Not reachable: network error]", "Quit Tillerpad (Ctrl+Q)"}},
      {"paired phones, in the registry's order, names as they are",
       [](test::UiDesk& ui) {
         ui.desk.addPhones({"Zoë’s iPhone", "Tom & Jerry"});
         ASSERT_TRUE(ui.waitFor([&] { return ui.state.devices.size() == 2; }));
       },
       head + QStringList{"Paired iPhones >", "  Zoë’s iPhone >", "    [Paired on …]", "    Revoke…",
                          "  Tom & Jerry >", "    [Paired on …]", "    Revoke…"} + tail},
      {"a phone connected",
       [](test::UiDesk& ui) {
         auto phone = ui.desk.connect(ui.desk.addPhone("Tom & Jerry"));
         ASSERT_TRUE(ui.waitFor([&] { return ui.state.connectedName.has_value(); }));
       },
       QStringList{"[Connected: Tom & Jerry]", "Disconnect “Tom & Jerry”", "---", "Pair New iPhone…",
                   "Paired iPhones >", "  Tom & Jerry >", "    [Paired on …]", "    Revoke…"} + tail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::UiDesk ui;
    ui.desk.startListening();
    Tray tray(ui);
    c.arrange(ui);
    auto& menu = *tray.app.menu().menu();
    ASSERT_TRUE(ui.waitFor([&] { return entries(menu) == c.menu; }, 2s)) << entries(menu).join("\n").toStdString();
    auto shot = QString("tray-menu-%1").arg(&c - cases);
    test::screenshot(menu, shot);
    test::screenshot(*find(menu, {"Paired iPhones"})->menu(), shot + "-paired");
  }
}

TEST(TrayMenu, TheFailureLineGoesWhenTheListenerListensAgain) {
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  auto failed = [&] { return entries(*tray.app.menu().menu()).contains("[Not reachable: network error]"); };
  ASSERT_TRUE(ui.after([&] { ui.desk.listeners.back()->fail("no network"); }, [](auto& s) { return s.listenerFailed; }));
  EXPECT_TRUE(failed());
  auto made = ui.desk.call([&] { return ui.desk.listenersCreated; });
  ui.desk.call([&] { ui.desk.manualClock->advance(host::Server::retryDelay); });
  ASSERT_TRUE(ui.desk.runUntil([&] { return ui.desk.listenersCreated > made; }));
  ASSERT_TRUE(ui.after([&] { ui.desk.listeners.back()->ready(4001); }, [](auto& s) { return !s.listenerFailed; }));
  EXPECT_FALSE(failed());
}

TEST(TrayMenu, CommandsReachTheServiceAndTheWindows) {
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  auto& menu = *tray.app.menu().menu();
  ASSERT_TRUE(permit(ui, false, false));
  auto phone = ui.desk.connect(ui.desk.addPhone("Anna"));
  ASSERT_TRUE(ui.waitFor([&] { return ui.state.connectedName == "Anna"; }));

  for (auto [entry, window] : {std::pair{"Allow Accessibility Access…", "onboarding"}, {"Pair New iPhone…", "pairing"},
                               {"Settings…", "settings"}}) {
    SCOPED_TRACE(entry);
    auto* action = find(menu, {entry});
    ASSERT_TRUE(action);
    action->trigger();
    EXPECT_EQ(tray.opened.count[window], 1);
  }
  find(menu, {"Disconnect “Anna”"})->trigger();
  ASSERT_TRUE(ui.waitFor([&] { return !ui.state.connectedName; }));
  EXPECT_EQ(entries(menu).front(), "Allow Accessibility Access…");
  find(menu, {"Quit Tillerpad"})->trigger();
  EXPECT_EQ(tray.quits, 1);
}

TEST(TrayMenu, ShortcutsWorkInTheOpenMenuAndTheApplicationsWindows) {
  for (bool inMenu : {true, false}) {
    SCOPED_TRACE(inMenu ? "the open menu" : "a window");
    test::UiDesk ui;
    Tray tray(ui);
    QWidget* target = &tray.opened.window;
    if (inMenu) {
      target = tray.app.menu().menu();
      tray.app.menu().menu()->popup(QPoint(10, 10));
    } else {
      target->show();
      target->activateWindow();
    }
    ASSERT_TRUE(QTest::qWaitForWindowExposed(target));
    QTest::keyClick(target, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(tray.opened.count["settings"], 1);
    if (inMenu) {
      EXPECT_FALSE(target->isVisible());
      tray.app.menu().menu()->popup(QPoint(10, 10));
      ASSERT_TRUE(QTest::qWaitForWindowExposed(target));
    }
    QTest::keyClick(target, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(tray.quits, 1);
  }
}

TEST(TrayMenu, PairedOnUsesTheLocalesFormatsWithLatinDigits) {
  // 23 November 2024 (a day above 12, so not a month) at noon, here.
  auto at = std::chrono::system_clock::time_point(
      std::chrono::milliseconds(QDateTime(QDate(2024, 11, 23), QTime(12, 0)).toMSecsSinceEpoch()));
  for (const char* name : {"en_US", "de_DE", "ar_EG", "fa_IR", "bn_BD", "mr_IN"}) {
    SCOPED_TRACE(name);
    QLocale locale(QString::fromLatin1(name));
    auto text = TrayMenu::pairedOn(at, locale);
    ASSERT_TRUE(text.startsWith("Paired on ")) << text.toStdString();
    auto foreign = std::count_if(text.begin(), text.end(), [](QChar c) { return c.isDigit() && c.unicode() > '9'; });
    EXPECT_EQ(foreign, 0) << text.toStdString();
    // Still the locale's own date: its day, in latin digits.
    EXPECT_TRUE(text.contains("23")) << text.toStdString();
  }
}

TEST(TrayIcon, FollowsTheSessionAndScreenViewing) {
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  auto& icon = tray.app.icon();
  auto looks = [&](TrayApp::Look look, const char* tooltip) {
    return ui.waitFor([&] { return tray.app.look() == look; }, 5s) && icon.toolTip() == QString(tooltip);
  };
  EXPECT_TRUE(looks(TrayApp::Look::idle, "Tillerpad"));

  auto phone = ui.desk.connect(ui.desk.addPhone("Anna"));
  EXPECT_TRUE(looks(TrayApp::Look::connected, "Tillerpad: iPhone connected"));
  phone.channel->sendWithoutWaiting(Message::screenStart({std::nullopt, 1920, 30}));
  EXPECT_TRUE(looks(TrayApp::Look::viewing, "Tillerpad: iPhone connected — viewing the screen"));
  phone.channel->sendWithoutWaiting(Message::screenStop({}));
  EXPECT_TRUE(looks(TrayApp::Look::connected, "Tillerpad: iPhone connected"));
  ui.actions->disconnect();
  EXPECT_TRUE(looks(TrayApp::Look::idle, "Tillerpad"));

  // The three pictures and the application's side by side on a dark and a light panel, for a look.
  QImage image(4 * 48, 96, QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor("#f6f5f4"));
  QPainter painter(&image);
  painter.fillRect(0, 0, image.width(), 48, QColor("#3d3846"));
  int x = 0;
  for (auto look : {TrayApp::Look::idle, TrayApp::Look::connected, TrayApp::Look::viewing}) {
    auto pixmap = TrayApp::picture(look).pixmap(48, 48);
    EXPECT_FALSE(pixmap.isNull());
    painter.drawPixmap(x, 0, pixmap);
    painter.drawPixmap(x, 48, pixmap);
    x += 48;
  }
  auto application = QIcon(":/tillerpad/tillerpad.svg").pixmap(48, 48);
  EXPECT_FALSE(application.isNull());
  painter.drawPixmap(x, 0, application);
  painter.drawPixmap(x, 48, application);
  painter.end();
  QDir().mkpath(QStringLiteral(TILLERPAD_SCREENSHOT_DIR));
  image.save(QStringLiteral(TILLERPAD_SCREENSHOT_DIR "/tray-icons.png"));
}

TEST(TrayRevoke, AsksFirstAndOnlyTheConfirmButtonRevokes) {
  struct Case {
    const char* name;
    std::function<void(QMessageBox&)> answer;
    bool revoked;
  };
  auto click = [](const char* text) {
    return [text](QMessageBox& box) {
      for (auto* button : box.buttons()) {
        if (button->text() == text) QTest::mouseClick(button, Qt::LeftButton);
      }
    };
  };
  const Case cases[] = {
      {"Cancel", click("Cancel"), false},
      {"Escape", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, false},
      {"Revoke", click("Revoke"), true},
  };
  test::UiDesk ui;
  ui.desk.startListening();
  Tray tray(ui);
  // A name that looks like markup is shown as it is.
  const char* name = "<b>Anna</b>";
  auto phone = ui.desk.connect(ui.desk.addPhone(name));
  ASSERT_TRUE(ui.waitFor([&] { return ui.state.connectedName.has_value(); }));
  auto openBox = [] {
    for (auto* widget : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    }
    return static_cast<QMessageBox*>(nullptr);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto* revoke = find(*tray.app.menu().menu(), {"Paired iPhones", name, "Revoke…"});
    ASSERT_TRUE(revoke);
    revoke->trigger();
    ASSERT_TRUE(ui.waitFor([&] { return openBox() != nullptr; }, 5s));
    auto* box = openBox();
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->text(), QString("Revoke “%1”?").arg(name));
    EXPECT_EQ(box->informativeText(),
              "This iPhone will be disconnected and can no longer control this Mac until you pair it again.");
    auto* label = box->findChild<QLabel*>("qt_msgbox_label");
    ASSERT_TRUE(label);
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    if (&c == cases) test::screenshot(*box, "revoke-alert");
    c.answer(*box);
    ASSERT_TRUE(ui.waitFor([&] { return openBox() == nullptr; }, 5s));
    if (c.revoked) {
      EXPECT_TRUE(ui.waitFor([&] { return ui.state.devices.empty() && !ui.state.connectedName; }));
    } else {
      // The answer went to the service before this question did.
      EXPECT_EQ(ui.desk.call([&] { return ui.desk.model->registry.devices().size(); }), 1u);
      EXPECT_TRUE(ui.desk.call([&] { return ui.desk.model->server->session() != nullptr; }));
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::UiDesk ui;
    ASSERT_TRUE(permit(ui, c.input, c.screen));
    Tray tray(ui, {.quiet = c.quiet, .hasTray = [&] { return c.hasTray; }});
    // Later changes open nothing more: granted, then lost again.
    for (bool input : {true, false}) ASSERT_TRUE(permit(ui, input, c.screen));
    std::erase_if(tray.opened.count, [](auto& entry) { return entry.second == 0; });
    EXPECT_EQ(tray.opened.count, c.opened);
  }
}

TEST(TrayStart, QuietWaitsForATrayBeforeOpeningSettings) {
  for (bool trayAppears : {false, true}) {
    SCOPED_TRACE(trayAppears ? "a tray appears" : "no tray appears");
    test::UiDesk ui;
    bool hasTray = false;
    Tray tray(ui, {.quiet = true, .hasTray = [&] { return hasTray; }, .trayGrace = 300ms});
    EXPECT_EQ(tray.opened.count["settings"], 0);
    hasTray = trayAppears;
    ui.waitFor([] { return false; }, 800ms);  // beyond the grace
    EXPECT_EQ(tray.opened.count["settings"], trayAppears ? 0 : 1);
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
  EXPECT_EQ(tray.opened.count["raise pairing"], 2);
}

}  // namespace
}  // namespace tillerpad::ui
