// The entry procedure: load the patch window, show it modeless, run the message loop. Every
// way out of the program ends the process from inside a handler.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "base/Cp949.h"
#include "base/Crypto.h"
#include "base/ErrorReport.h"
#include "base/Log.h"
#include "base/Shell_win32.h"
#include "launcher/ServerHandOver_win32.h"
#include "launcher/SingleInstance_win32.h"
#include "launcher/StartUp_win32.h"
#include "patch/PatchKey.h"
#include "patch/PatchWindow_win32.h"
#include "patch/frmVtUpdate.h"
#include "transfer/Clock.h"
#include "transfer/Pool_win32.h"
#include "transfer/Transfer_win32.h"
#include "ui/MessageLoop_win32.h"

// Seconds of the rule for slow answers; a build constant of each program (launcher/CMakeLists.txt).
#ifndef VT_SLOW_ANSWER_SECONDS
#error VT_SLOW_ANSWER_SECONDS is not defined
#endif

namespace vt {
namespace {

SlowAnswerRule Patience() {
    SlowAnswerRule rule;
    rule.headSeconds = VT_SLOW_ANSWER_SECONDS;
    rule.windowSeconds = VT_SLOW_ANSWER_SECONDS;
    return rule;
}

std::wstring ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path;
}

// A start that ends in std::terminate otherwise leaves nothing but exit status 3; the log
// names what was thrown.
[[noreturn]] void LogTermination() {
    std::wstring what = L"unknown";
    try {
        if (std::exception_ptr e = std::current_exception()) {
            std::rethrow_exception(e);
        }
        what = L"no exception";
    } catch (const std::exception& e) {
        what = FromUtf8(e.what());
    } catch (...) {
    }
    LogLine(L"terminated: " + what);
    std::abort();
}

int Main() {
    std::set_terminate(LogTermination);
    const std::wstring exePath = ExecutablePath();
    if (exePath.empty()) {
        // Without its own folder the launcher knows no installation to patch or start, nor
        // where to log; Windows failing here leaves nothing else to do.
        return 1;
    }
    const std::wstring directory = exePath.substr(0, exePath.find_last_of(L'\\'));
    // Before the load creates the directory tree. It writes nothing that stays, and an
    // elevated restart must not find this instance holding the folder.
    if (!PrepareRun(exePath, directory)) {
        return 0;
    }
    // Before anything is created or written: a second launcher in this folder only shows the
    // first one.
    SingleInstance instance(directory);
    if (!instance.First()) {
        LogLine(L"another launcher runs in this folder; showing it instead");
        instance.ActivateFirst();
        return 0;
    }
    PatchWindow window;
    Win32Shell shell;
    InetTransfer inetDown(window, {}, Patience());
    SystemClock clock;
    ServerHandOver handOver(window, shell);
    // Checked at configure time too; a key that does not parse ends the program here.
    std::optional<PatchPublicKey> patchKey;
    RunHandler(window, [&] { patchKey = PatchKeyFromText(PatchPublicKeyText()); });
    frmVtUpdate form(window, shell, &handOver, patchKey);
    form.UseTransfer(
        inetDown, clock, [&](int connections, const std::vector<std::wstring>& sources) {
            return MakeInetDownloader(window, clock, connections, {}, Patience(), sources);
        });
    if (patchKey) {
        LogLine(L"signed patches, key " + FromUtf8(PatchPublicKeyText().substr(0, 16)) + L"…");
    } else {
        LogLine(L"unsigned patches");
    }
    const SlowAnswerRule patience = inetDown.Patience();
    LogLine(L"a request is abandoned at " + DescribeSlowAnswer(SlowAnswer::NoHead, patience) +
            L" or " + DescribeSlowAnswer(SlowAnswer::TooFewBytes, patience));
    window.Load(PatchWindow::EventsFor(form, directory));
    window.Show();
    const int code = win32::RunMessageLoop();
    LogLine(L"end of run");
    return code;
}

}  // namespace
}  // namespace vt

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return vt::Main();
}
