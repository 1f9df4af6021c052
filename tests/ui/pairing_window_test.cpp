// The pairing window over the real app model, with phones from the kit
// pairing over TLS on loopback; expiry on the manual clock.
#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>
#include <zbar.h>

#include <string_view>

#include "host/ui/pairing_window.h"
#include "kit/pairing/pairing_flow.h"
#include "tests/ui/ui_harness.h"

namespace tillerpad::ui {
namespace {

using namespace std::chrono_literals;
using Phase = host::UiState::PairingPhase;

// What a camera reads from the picture; empty when it finds no QR code.
std::string decodeQr(const QImage& picture) {
  QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
  std::vector<unsigned char> pixels;
  for (int y = 0; y < grey.height(); ++y) pixels.insert(pixels.end(), grey.constScanLine(y), grey.constScanLine(y) + grey.width());
  zbar::ImageScanner scanner;
  scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
  zbar::Image image(unsigned(grey.width()), unsigned(grey.height()), "Y800", pixels.data(), pixels.size());
  return scanner.scan(image) > 0 ? image.symbol_begin()->get_data() : std::string();
}

// The window over a desk: real TLS and time for phones, or the manual clock.
struct PairingDesk {
  explicit PairingDesk(bool tls)
      : tls(tls), ui(tls ? test::DesktopOptions{.tls = true, .realTime = true} : test::DesktopOptions{}) {
    window.setWallClock([this] { return ui.desk.now; });  // moved only by advance(), on the service thread
    ui.viewers.push_back([this](const host::UiState& s) { window.showState(s); });
    if (tls) ui.desk.startListening();
  }
  test::Desktop& desk() { return ui.desk; }

  // Opens the window and waits for its code and, over TLS, for the listener
  // that offers the code's key.
  std::string open() {
    auto starts = desk().lines("Listener starting with");
    auto before = ui.state.pairing.codeNumber;
    window.open();
    EXPECT_TRUE(ui.waitFor([&] {
      return ui.state.pairing.codeNumber > before && ui.state.pairing.phase == Phase::showingCode && shows("Expires in 5:00");
    }));
    if (tls) EXPECT_TRUE(desk().runUntil([&] { return offersCodeAfter(starts); }));
    return ui.state.pairing.code;
  }
  // The listener now listening was started after the first `starts` ones
  // with one key: the code's.
  bool offersCodeAfter(std::size_t starts) {
    bool keyed = false, ready = false;
    for (const auto& r : desk().log->records()) {
      if (r.text.starts_with("Listener starting with")) keyed = starts-- == 0 && r.text == "Listener starting with 1 key(s)", ready = false;
      else if (r.text.starts_with("Listening on port")) ready = keyed;
    }
    return ready;
  }
  QStringList texts() { return test::visibleTexts(window); }
  bool shows(const QString& text) { return texts().contains(text); }
  bool click(const QString& text) { return test::click(test::shown<QPushButton>(window, text)); }

  bool tls;
  test::UiDesk ui;
  PairingWindow window{ui.actions};
};

// Each way a question can end, with the phone's side and the registry.
TEST(PairingWindowTest, APhoneIsAllowedDeniedOrLost) {
  struct Answer {
    const char* name;
    std::function<void(PairingDesk&, test::PairingPhone&)> give;
    QString title;  // the outcome shown; none: the window is closed
    bool stored;    // the phone has the Mac's record and the registry the phone
    bool denied;    // the phone was told "denied"
  };
  using Phone = test::PairingPhone;
  const Answer answers[] = {
      {"allow", [](PairingDesk& f, Phone&) { EXPECT_TRUE(f.click("Allow")); }, "“<b>Ada</b>” is paired", true, false},
      {"deny", [](PairingDesk& f, Phone&) { EXPECT_TRUE(f.click("Deny")); }, "Pairing denied", false, true},
      {"escape", [](PairingDesk& f, Phone&) { QTest::keyClick(&f.window, Qt::Key_Escape); }, "Pairing denied", false, true},
      {"lost", [](PairingDesk& f, Phone& p) { f.desk().call([&] { p.channel->cancel(); }); }, "Pairing didn’t finish", false, false},
      {"closed", [](PairingDesk& f, Phone&) { f.window.close(); }, QString(), false, true},
  };
  for (const auto& a : answers) {
    SCOPED_TRACE(a.name);
    PairingDesk f(true);
    auto code = f.open();
    EXPECT_EQ(decodeQr(test::screenshot(f.window, QStringLiteral("pairing-code"))), code);

    // Markup in a phone's name is shown as it is written.
    auto phone = f.desk().pairPhone(code, {"<b>Ada</b>", "iPhone15,2", "18.1", "1.0"});
    ASSERT_TRUE(f.ui.waitFor([&] { return f.shows("Allow “<b>Ada</b>” to control this Mac?"); })) << f.texts().join("|").toStdString();
    EXPECT_TRUE(f.shows(QStringLiteral("iPhone15,2 · iOS 18.1")));
    test::screenshot(f.window, QStringLiteral("pairing-approval"));
    a.give(f, phone);
    if (!a.title.isEmpty()) {
      ASSERT_TRUE(f.ui.waitFor([&] { return f.shows(a.title); }));
      test::screenshot(f.window, QStringLiteral("pairing-%1").arg(a.name));
    } else {
      EXPECT_FALSE(f.window.isVisible());
    }
    if (std::string_view(a.name) != "lost") ASSERT_TRUE(f.desk().runUntil([&] { return phone.outcome->done; }));
    EXPECT_TRUE(f.desk().runUntil([&] { return f.desk().model->registry.devices().size() == (a.stored ? 1u : 0u); }));
    if (a.stored) {
      EXPECT_FALSE(phone.outcome->error);
      EXPECT_EQ(f.desk().call([&] { return f.desk().model->registry.devices().at(0).name; }), "<b>Ada</b>");
      EXPECT_TRUE(f.click(QStringLiteral("Done")));
      EXPECT_FALSE(f.window.isVisible());
    }
    if (a.denied) EXPECT_EQ(phone.outcome->errorAs<kit::PairingError>(), kit::PairingError::rejected(kit::PairingRejection::denied));
    if (a.title.isEmpty()) {
      // Reopened: neither the old question nor its late outcome nor the old
      // code, then a fresh code.
      ASSERT_TRUE(f.ui.waitFor([&] { return f.ui.state.pairing.phase == Phase::failed; }));
      f.window.open(), f.window.showState(f.ui.state);
      auto now = f.texts().join("|");
      EXPECT_FALSE(now.contains("Ada") || now.contains("denied")) << now.toStdString();
      EXPECT_EQ(decodeQr(test::screenshot(f.window, QStringLiteral("pairing-reopening"))), "");
      f.window.close();
      // That open and close done, their snapshots taken and the listener
      // settled, so that the next code is not mistaken for theirs.
      f.ui.settle();
      ASSERT_TRUE(f.desk().runUntil([&] { return f.desk().listenerReady(); }));
      auto again = f.open();
      EXPECT_NE(again, code);
      EXPECT_EQ(decodeQr(test::screenshot(f.window, QStringLiteral("pairing-reopened"))), again);
    }
  }
}

TEST(PairingWindowTest, CountsDownCopiesExpiresAndMakesANewCode) {
  PairingDesk f(false);
  auto code = f.open();
  auto* heading = test::shown<QLabel>(f.window, "Pair Your iPhone");
  ASSERT_TRUE(heading);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(heading)->role(), QAccessible::Heading);

  // Drawn without smoothing: only black and white.
  QWidget* qr = nullptr;
  for (auto* w : f.window.findChildren<QWidget*>()) qr = w->accessibleName() == "Pairing QR code" ? w : qr;
  ASSERT_TRUE(qr);
  QImage modules = qr->grab().toImage().convertToFormat(QImage::Format_Grayscale8);
  for (int y = 0; y < modules.height(); ++y)
    for (int x = 0; x < modules.width(); ++x) ASSERT_TRUE(qGray(modules.pixel(x, y)) % 255 == 0) << x << "," << y;

  EXPECT_TRUE(f.click(QStringLiteral("Copy Code")));
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), code);
  EXPECT_TRUE(f.shows(QStringLiteral("Copied")));

  // Counted down from the snapshot's expiry, once a second.
  f.desk().advance(61s);
  EXPECT_TRUE(f.ui.waitFor([&] { return f.shows(QStringLiteral("Expires in 3:59")); }, 3s));
  f.desk().advance(239s);
  ASSERT_TRUE(f.ui.waitFor([&] { return f.shows(QStringLiteral("The code expired")); }));
  EXPECT_TRUE(f.shows("For your security, pairing codes are valid for 5 minutes. Create a new one to try again."));
  test::screenshot(f.window, QStringLiteral("pairing-expired"));

  EXPECT_TRUE(f.click(QStringLiteral("New Code")));
  ASSERT_TRUE(f.ui.waitFor([&] { return f.shows(QStringLiteral("Expires in 5:00")); }));
  EXPECT_NE(f.ui.state.pairing.code, code);
  EXPECT_TRUE(f.shows(QStringLiteral("Copy Code")));
  EXPECT_EQ(decodeQr(test::screenshot(f.window, QStringLiteral("pairing-new-code"))), f.ui.state.pairing.code);

  // Closing withdraws the code.
  f.window.close();
  EXPECT_TRUE(f.desk().runUntil([&] { return !f.desk().model->pairing->payload(); }));
}

}  // namespace
}  // namespace tillerpad::ui
