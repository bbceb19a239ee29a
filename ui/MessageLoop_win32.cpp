#include "ui/MessageLoop_win32.h"

#include <windows.h>

#include "ui/Form_win32.h"

namespace vt::win32 {
namespace {

void Pump(const MSG& msg) {
    HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (Form::FromHandle(root) != nullptr && IsDialogMessageW(root, const_cast<MSG*>(&msg))) {
        return;
    }
    // Neither reports a failure: they return whether a character was made and the window
    // procedure's answer.
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

}  // namespace

void DoEvents() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        Pump(msg);
    }
}

int RunMessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        Pump(msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace vt::win32
