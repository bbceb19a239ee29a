#pragma once
// The general error report: every event handler runs inside RunHandler. An error that escapes
// the handler is shown with its number and description, then the program ends.

#include <functional>

#include "base/Ui.h"

namespace vt {

void RunHandler(MessageSink& sink, const std::function<void()>& handler);

}  // namespace vt
