#include "launcher/StartUp_win32.h"

#include <shellapi.h>

#include <memory>

#include "base/Handles_win32.h"
#include "base/Log.h"
#include "base/Log_win32.h"
#include "base/Ui.h"

namespace vt {
namespace {

// Keeps COM initialised for the shell call when this call did it.
class ComScope {
  public:
    ComScope()
        : ok_(SUCCEEDED(
              CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ~ComScope() {
        if (ok_) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

  private:
    bool ok_;
};

void OpenRunLog() {
    const std::wstring appData = win32::LocalAppDataFolder();
    if (appData.empty()) {
        return;
    }
    // Lives to the end of the process; the product ends with TerminateProcess.
    static win32::FileLogSink sink(appData + L"\\" + win32::kLogFolderName, win32::kLogFileName);
    SetLogSink(&sink);
}

const wchar_t* ReasonText(UnwritableReason reason) {
    switch (reason) {
        case UnwritableReason::ElevationDeclined:
            return L"elevation declined";
        case UnwritableReason::ElevationFailed:
            return L"elevation failed";
        case UnwritableReason::StillDenied:
            return L"denied although elevated";
    }
    return L"";
}

void Explain(const std::wstring& folder, UnwritableReason reason) {
    LogLine(L"refused: installation folder cannot be written: " + folder + L" (" +
            ReasonText(reason) + L")");
    if (MessageBoxW(nullptr, UnwritableFolderText(folder, reason).c_str(), kAppTitle,
                    MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND) == 0) {
        win32::LogFailure(L"MessageBox");  // the refusal above is in the log all the same
    }
    LogLine(L"end of run");
}

}  // namespace

ProbeResult Win32FolderProbe::Probe(const std::wstring& folder) {
    const std::wstring name = folder + L"\\vtwrite-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount64()) + L".tmp";
    win32::UniqueHandle file(CreateFileW(
        name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.get() != INVALID_HANDLE_VALUE) {
        return ProbeResult::Writable;
    }
    switch (GetLastError()) {
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return ProbeResult::Denied;
        default:
            return ProbeResult::Unknown;
    }
}

ElevationStart StartElevated(const std::wstring& exePath) {
    ComScope com;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = exePath.c_str();
    info.lpParameters = kElevatedMarker;
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) {
        return ElevationStart::Started;
    }
    return GetLastError() == ERROR_CANCELLED ? ElevationStart::Declined : ElevationStart::Failed;
}

bool RunsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    win32::UniqueHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

bool PrepareRun(const std::wstring& exePath, const std::wstring& installDir) {
    OpenRunLog();
    const bool marked = HasElevatedMarker(GetCommandLineW());
    const bool elevated = RunsElevated();
    LogLine(std::wstring(L"vtlauncher ") + VT_VERSION + L" started" +
            (marked ? L", restarted for elevation" : L"") +
            (elevated ? L", elevated" : L", not elevated"));
    LogLine(std::wstring(L"patch host ") + VT_PATCH_HOST + L", homepage " + VT_HOMEPAGE_URL);
    LogLine(L"installation folder " + installDir);

    Win32FolderProbe probe;
    const Writability w = DecideWritability(probe, FoldersToProbe(installDir), marked || elevated);
    switch (w.decision) {
        case WriteDecision::Proceed:
            return true;
        case WriteDecision::Explain:
            Explain(w.folder, UnwritableReason::StillDenied);
            return false;
        case WriteDecision::AskElevation:
            break;
    }
    LogLine(L"cannot write " + w.folder + L"; asking Windows to start the launcher elevated");
    switch (StartElevated(exePath)) {
        case ElevationStart::Started:
            LogLine(L"elevated instance started; end of run");
            return false;
        case ElevationStart::Declined:
            Explain(w.folder, UnwritableReason::ElevationDeclined);
            return false;
        case ElevationStart::Failed:
            Explain(w.folder, UnwritableReason::ElevationFailed);
            return false;
    }
    return false;
}

}  // namespace vt
