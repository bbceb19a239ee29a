// The entry procedure: load the patch window, show it modeless, run the message loop. Every
// way out of the program ends the process from inside a handler.
#include <windows.h>

#include <string>

#include "app/MessageLoop_win32.h"
#include "app/Shell_win32.h"
#include "launcher/ServerHandOver_win32.h"
#include "launcher/SingleInstance_win32.h"
#include "patch/frmVtUpdate.h"
#include "patch/frmVtUpdate_win32.h"
#include "transfer/Clock.h"
#include "transfer/Transfer_win32.h"

namespace vt {
namespace {

std::wstring ExecutableDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L'\\'));
}

int Main() {
    const std::wstring directory = ExecutableDirectory();
    // Before anything is created or written: a second launcher in this folder only shows the
    // first one.
    SingleInstance instance(directory);
    if (!instance.First()) {
        instance.ActivateFirst();
        return 0;
    }
    PatchWindow window;
    Win32Shell shell;
    InetTransfer inetDown(window);
    SystemClock clock;
    ServerHandOver handOver(window, shell);
    frmVtUpdate form(window, shell, &handOver);
    form.UseTransfer(inetDown, clock);
    window.Load(form, directory);
    window.Show();
    return win32::RunMessageLoop();
}

}  // namespace
}  // namespace vt

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return vt::Main();
}
