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
#include "base/ModGame.h"
#include "base/Shell_win32.h"
#include "launcher/HandOver_win32.h"
#include "launcher/ServerHandOver_win32.h"
#include "launcher/SingleInstance_win32.h"
#include "launcher/StartUp_win32.h"
#include "patch/PatchKey.h"
#include "patch/PatchWindow_win32.h"
#include "patch/frmVtUpdate.h"
#include "selfupdate/Swap.h"
#include "transfer/Clock.h"
#include "transfer/Pool_win32.h"
#include "transfer/Transfer_win32.h"
#include "ui/MessageLoop_win32.h"

// Seconds of the rule for slow answers; a build constant of each program (launcher/CMakeLists.txt).
#ifndef VT_SLOW_ANSWER_SECONDS
#error VT_SLOW_ANSWER_SECONDS is not defined
#endif
// This program's launcher serial, the seconds a launcher it hands over to has to show its
// window, and (test programs only) a fault at start.
#if !defined(VT_LAUNCHER_SERIAL) || !defined(VT_HANDOVER_SECONDS) || !defined(VT_LAUNCHER_FAULT)
#error VT_LAUNCHER_SERIAL, VT_HANDOVER_SECONDS and VT_LAUNCHER_FAULT must be defined
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

constexpr DWORD kHandOverLimit = VT_HANDOVER_SECONDS * 1000;
// How long a launcher that took over waits for the one before to let go of the installation.
constexpr ULONGLONG kClaimWait = 5000;

bool Keyed() {
    return !PatchPublicKeyText().empty();
}

// Test programs: a new launcher that is broken in the ways a release could be.
void RunTestFault() {
#if VT_LAUNCHER_FAULT == 1
    LogLine(L"test program: crashing at start");
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
#elif VT_LAUNCHER_FAULT == 2
    LogLine(L"test program: hanging before the window");
    for (;;) {
        Sleep(1000);
    }
#endif
}

// At start: a newer launcher the pointer names takes over. True: it did, this one ends.
bool HandedOverAtStart(const std::wstring& installDir, SingleInstance& hold) {
    selfupdate::DiskSwapFs disk;
    selfupdate::Swap swap(disk, installDir + L"\\", installDir + L"\\temp\\", VT_LAUNCHER_SERIAL);
    std::wstring why;
    const std::optional<selfupdate::Choice> choice = swap.Choose(why);
    LogLine(L"at start: " + why);
    if (!choice) {
        return false;
    }
    Win32ChildStarter starter([&] { hold.Release(); }, nullptr, kHandOverLimit);
    return selfupdate::HandOver(swap, starter, *choice);
}

void ClaimInstallation(std::optional<SingleInstance>& hold, const std::wstring& installDir) {
    const ULONGLONG deadline = GetTickCount64() + kClaimWait;
    for (;;) {
        hold.emplace(installDir);
        if (hold->First() || GetTickCount64() >= deadline) {
            break;
        }
        hold.reset();
        Sleep(50);
    }
    if (!hold->First()) {
        LogLine(L"the launcher before did not let go of the installation; going on");
    }
}

// The gate of a launcher started to take over: window up, then go (or the parent's end), then
// the game version the pointer names is recorded, unless this launcher was put back meanwhile.
void TakeOver(ChildHandOver& handOver, std::optional<SingleInstance>& hold,
              const std::wstring& installDir) {
    const GoSignal signal = handOver.AwaitGo();
    LogLine(signal == GoSignal::Given ? L"go from the launcher before"
                                      : L"the launcher before ended without go");
    selfupdate::DiskSwapFs disk;
    selfupdate::Swap swap(disk, AppDir, TempDir, VT_LAUNCHER_SERIAL);
    const std::optional<selfupdate::Pointer> pointer = swap.ReadPointer();
    const std::wstring local = AppDir + L"vtgame.ini";
    if (pointer && pointer->current.serial == VT_LAUNCHER_SERIAL) {
        // Once: later starts hand over to this launcher with the version already recorded.
        if (ReadProfileBytes(L"game", L"game", local) != pointer->current.game) {
            WriteProfileBytes(L"game", L"game", pointer->current.game, local);
            LogLine(L"recorded game " + FromCp949(pointer->current.game));
        }
    } else {
        LogLine(L"the pointer no longer names this launcher; game not recorded");
    }
    ClaimInstallation(hold, installDir);
    swap.RemoveStale();
}

int RunWindows(const std::wstring& directory, std::optional<SingleInstance>& instance,
               ChildHandOver* child) {
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
    Win32ChildStarter starter(
        [&] {
            if (instance) {
                instance->Release();
            }
        },
        &window, kHandOverLimit);
    if (patchKey) {
        LogLine(L"signed patches, key " + FromUtf8(PatchPublicKeyText().substr(0, 16)) + L"…");
        form.UseSelfUpdate(VT_LAUNCHER_SERIAL, starter);
    } else {
        LogLine(L"unsigned patches");
    }
    if (child != nullptr) {
        form.UseStartGate([&] { TakeOver(*child, instance, directory); });
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

int Main() {
    std::set_terminate(LogTermination);
    const std::wstring exePath = ExecutablePath();
    if (exePath.empty()) {
        // Without its own folder the launcher knows no installation to patch or start, nor
        // where to log; Windows failing here leaves nothing else to do.
        return 1;
    }
    // A versioned launcher in <installation>\launcher\ patches the folder above.
    const std::wstring directory = selfupdate::InstallationOf(exePath);
    // Before the load creates the directory tree. It writes nothing that stays, and an
    // elevated restart must not find this instance holding the folder.
    if (!PrepareRun(exePath, directory)) {
        return 0;
    }
    LogLine(L"launcher serial " + std::to_wstring(VT_LAUNCHER_SERIAL));
    RunTestFault();
    std::optional<ChildHandOver> child = ChildHandOver::FromCommandLine(GetCommandLineW());
    std::optional<SingleInstance> instance;
    if (child) {
        // The launcher before holds the installation until it says go.
        LogLine(L"started to take over from the launcher before");
    } else {
        // Before anything is created or written: a second launcher in this folder only shows
        // the first one.
        instance.emplace(directory);
        if (!instance->First()) {
            LogLine(L"another launcher runs in this folder; showing it instead");
            instance->ActivateFirst();
            return 0;
        }
        if (Keyed() && HandedOverAtStart(directory, *instance)) {
            LogLine(L"end of run");
            return 0;
        }
    }
    return RunWindows(directory, instance, child ? &*child : nullptr);
}

}  // namespace
}  // namespace vt

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return vt::Main();
}
