#pragma once
// The thread's message loop. Keys for a form (Tab, arrows, Enter on a focused button) go
// through the dialog manager first; everything else is translated and dispatched.

namespace vt::win32 {

// One pass of the message loop: handles every waiting message, then returns. A WM_QUIT met on
// the way is posted again, so the loop that owns the thread still sees it.
void DoEvents();
// The message loop of the program; returns only when WM_QUIT arrives, with its exit code.
int RunMessageLoop();

}  // namespace vt::win32
