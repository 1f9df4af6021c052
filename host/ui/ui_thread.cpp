#include "host/ui/ui_thread.h"

#include <QMetaObject>

#include <memory>

namespace tillerpad::ui {

host::UiFront frontOn(QObject* context, std::function<void(const host::UiState&)> show,
                      std::function<void(const host::UiAlert&, std::function<void(bool)> answer)> confirm) {
  auto shown = std::make_shared<std::function<void(const host::UiState&)>>(std::move(show));
  auto asked = std::make_shared<std::function<void(const host::UiAlert&, std::function<void(bool)>)>>(std::move(confirm));
  host::UiFront front;
  front.show = [context, shown](host::UiState state) {
    QMetaObject::invokeMethod(context, [shown, state = std::move(state)] { (*shown)(state); }, Qt::QueuedConnection);
  };
  front.confirm = [context, asked](host::UiAlert alert, std::function<void(bool)> answer) {
    QMetaObject::invokeMethod(
        context, [asked, alert = std::move(alert), answer = std::move(answer)] { (*asked)(alert, answer); },
        Qt::QueuedConnection);
  };
  return front;
}

}  // namespace tillerpad::ui
