#include "launcher/HandOver_win32.h"

#include <cstdint>

#include "base/Log.h"
#include "base/Log_win32.h"
#include "launcher/HandOverArgs.h"
#include "patch/PatchWindow_win32.h"
#include "ui/MessageLoop_win32.h"

namespace vt {
namespace {

using win32::UniqueHandle;

// How long a child that was ended may take to be gone.
constexpr DWORD kEndWait = 5000;

uint64_t ValueOf(HANDLE handle) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}

HANDLE HandleOf(uint64_t value) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
}

// Waits for one of two handles: 0 or 1, or 2 when `limitMs` passed (INFINITE: never).
// With `pump` the window's messages are handled meanwhile.
int WaitForEither(HANDLE first, HANDLE second, DWORD limitMs, bool pump) {
    const HANDLE handles[2] = {first, second};
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (limitMs != INFINITE && now >= deadline) {
            return 2;
        }
        const DWORD left = limitMs == INFINITE ? INFINITE : static_cast<DWORD>(deadline - now);
        const DWORD r = pump ? MsgWaitForMultipleObjects(2, handles, FALSE, left, QS_ALLINPUT)
                             : WaitForMultipleObjects(2, handles, FALSE, left);
        if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) {
            return static_cast<int>(r - WAIT_OBJECT_0);
        }
        if (r == WAIT_OBJECT_0 + 2) {
            win32::DoEvents();
            continue;
        }
        if (r == WAIT_FAILED) {
            win32::LogFailure(L"WaitForMultipleObjects");
            return 2;
        }
    }
}

UniqueHandle InheritableEvent() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return UniqueHandle(CreateEventW(&inherit, TRUE, FALSE, nullptr));
}

UniqueHandle InheritableSelf() {
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                         SYNCHRONIZE, TRUE, 0)) {
        return UniqueHandle();
    }
    return UniqueHandle(self);
}

}  // namespace

selfupdate::ChildOutcome Win32ChildStarter::Start(const std::wstring& path) {
    const UniqueHandle up = InheritableEvent();
    const UniqueHandle go = InheritableEvent();
    const UniqueHandle self = InheritableSelf();
    if (!up || !go || !self) {
        win32::LogFailure(L"CreateEvent/DuplicateHandle");
        return selfupdate::ChildOutcome::Failed;
    }
    std::wstring line =
        HandOverCommandLine(path, {ValueOf(up.get()), ValueOf(go.get()), ValueOf(self.get())});
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (window_ != nullptr) {
        window_->Hide();
    }
    // The same working directory as this one (none given: the child inherits it).
    if (!CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &started)) {
        win32::LogFailure(L"CreateProcess");
        if (window_ != nullptr) {
            window_->Show();
        }
        return selfupdate::ChildOutcome::Failed;
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    return Await(up.get(), go.get(), process.get());
}

selfupdate::ChildOutcome Win32ChildStarter::Await(HANDLE up, HANDLE go, HANDLE process) {
    const int which = WaitForEither(up, process, limitMs_, window_ != nullptr);
    if (which == 0) {
        release_();
        if (SetEvent(go)) {
            return selfupdate::ChildOutcome::WindowUp;
        }
        win32::LogFailure(L"SetEvent");
    } else if (which == 1) {
        DWORD code = 0;
        GetExitCodeProcess(process, &code);  // 0 if it cannot tell: the log line says ended
        LogLine(L"the new launcher ended before its window, exit code " + std::to_wstring(code));
    } else {
        LogLine(L"the new launcher showed no window in " + std::to_wstring(limitMs_ / 1000) +
                L" s; ending it");
    }
    if (!TerminateProcess(process, 1) && WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        win32::LogFailure(L"TerminateProcess");
    }
    if (WaitForSingleObject(process, kEndWait) != WAIT_OBJECT_0) {
        LogLine(L"the new launcher did not end in time");
    }
    if (window_ != nullptr) {
        window_->Show();
    }
    return selfupdate::ChildOutcome::Failed;
}

std::optional<ChildHandOver> ChildHandOver::FromCommandLine(const wchar_t* commandLine) {
    const auto values = HandOverArguments(commandLine);
    if (!values) {
        return std::nullopt;
    }
    ChildHandOver handOver;
    handOver.up_.reset(HandleOf((*values)[0]));
    handOver.go_.reset(HandleOf((*values)[1]));
    handOver.parent_.reset(HandleOf((*values)[2]));
    return handOver;
}

GoSignal ChildHandOver::AwaitGo() {
    if (!SetEvent(up_.get())) {
        win32::LogFailure(L"SetEvent");  // the parent ends this one when it hears nothing
    }
    return WaitForEither(go_.get(), parent_.get(), INFINITE, true) == 0 ? GoSignal::Given
                                                                        : GoSignal::ParentGone;
}

}  // namespace vt
