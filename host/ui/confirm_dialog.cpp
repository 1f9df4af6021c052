#include "host/ui/confirm_dialog.h"

#include <QCoreApplication>
#include <QPushButton>

#include <memory>
#include <string_view>

namespace tillerpad::ui {
namespace {

constexpr const char* context = "ConfirmDialog";

// The service words its question in English; the fixed texts are looked up
// here so that a translation can replace them.
[[maybe_unused]] constexpr const char* known[] = {
    QT_TRANSLATE_NOOP("ConfirmDialog", "This iPhone will be disconnected and can no longer control this Mac until you pair it again."),
    QT_TRANSLATE_NOOP("ConfirmDialog", "Revoke"),
    QT_TRANSLATE_NOOP("ConfirmDialog", "Cancel"),
};

QString localized(const std::string& text) {
  // The one text with a name in it.
  constexpr std::string_view head = "Revoke “", tail = "”?";
  if (text.size() >= head.size() + tail.size() && text.starts_with(head) && text.ends_with(tail)) {
    auto name = text.substr(head.size(), text.size() - head.size() - tail.size());
    return QCoreApplication::translate(context, "Revoke “%1”?").arg(QString::fromStdString(name));
  }
  return QCoreApplication::translate(context, text.c_str());
}

}  // namespace

QMessageBox* askToConfirm(const host::UiAlert& alert, std::function<void(bool)> answer, QWidget* parent) {
  auto* box = new QMessageBox(parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setIcon(QMessageBox::Warning);
  box->setWindowTitle(QStringLiteral("Tillerpad"));
  // A phone chooses its own name: never read as markup.
  box->setTextFormat(Qt::PlainText);
  box->setText(localized(alert.messageText));
  box->setInformativeText(localized(alert.informativeText));
  // The confirm button comes first and takes Return; Escape cancels.
  auto* confirm = box->addButton(localized(alert.confirmButton), QMessageBox::AcceptRole);
  auto* cancel = box->addButton(localized(alert.cancelButton), QMessageBox::RejectRole);
  box->setDefaultButton(confirm);
  box->setEscapeButton(cancel);
  auto once = std::make_shared<std::function<void(bool)>>(std::move(answer));
  QObject::connect(box, &QMessageBox::finished, box, [box, confirm, once] {
    if (!*once) return;
    auto answerNow = std::move(*once);
    *once = nullptr;
    answerNow(box->clickedButton() == confirm);
  });
  box->show();
  box->raise();
  box->activateWindow();
  return box;
}

}  // namespace tillerpad::ui
