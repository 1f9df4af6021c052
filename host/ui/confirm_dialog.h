#pragma once

#include <QMessageBox>

#include <functional>

#include "host/app/ui_state.h"

namespace tillerpad::ui {

// Asks the service's question (revoking a phone) as a warning box with the
// confirm button first, brought to the front. It does not block: `answer`
// gets true for the confirm button and false for the other or for closing
// the box, exactly once. The box deletes itself when answered.
QMessageBox* askToConfirm(const host::UiAlert& alert, std::function<void(bool)> answer, QWidget* parent = nullptr);

}  // namespace tillerpad::ui
