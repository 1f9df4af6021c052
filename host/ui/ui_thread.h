#pragma once

#include <QObject>

#include <functional>

#include "host/app/ui_state.h"

namespace tillerpad::ui {

// A front whose snapshots and questions are carried to `context`'s thread
// (the UI thread) and handled there. Events still queued when `context` is
// destroyed are dropped, so the bridge must be ended before that.
host::UiFront frontOn(QObject* context, std::function<void(const host::UiState&)> show,
                      std::function<void(const host::UiAlert&, std::function<void(bool)> answer)> confirm);

}  // namespace tillerpad::ui
