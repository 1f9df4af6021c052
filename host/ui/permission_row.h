#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

#include <chrono>
#include <optional>

class QLabel;
class QPushButton;

namespace tillerpad::ui {

// One permission: an optional picture, the title and a detail, then either
// "Open System Settings" or a green "Allowed". Shared by the onboarding and
// settings windows.
class PermissionRow : public QWidget {
  Q_OBJECT
 public:
  PermissionRow(const QIcon& icon, const QString& title, const QString& detail, QWidget* parent = nullptr);

  // A row that turns granted while its window is shown says so to assistive
  // technology ("<title>: Allowed"); the first state it is given is not a turn.
  void setGranted(bool granted);
  bool isGranted() const { return granted_.value_or(false); }

 signals:
  void allowRequested();
  // What was said to assistive technology (which hears it only while one listens).
  void announced(const QString& text);

 private:
  QString title_;
  QPushButton* open_;
  QLabel* allowed_;
  std::optional<bool> granted_;
};

// Our own pictures, drawn from SVG at any scale.
QIcon settingsIcon(const char* name);

// A moment as this locale writes a short date and time, with latin digits
// whatever the locale's own digits are.
QString shortDateTime(std::chrono::system_clock::time_point when);

}  // namespace tillerpad::ui
