#pragma once
// The run log on Windows: a UTF-8 file that every run appends to, shared so that two launchers
// can write at once, rotated once it reaches kLogRotateBytes. Nothing here ever fails a run:
// a file that cannot be opened or written leaves the run without a log.

#include <windows.h>

#include <mutex>
#include <string>

#include "base/Handles_win32.h"
#include "base/Log.h"

namespace vt::win32 {

// The folder below %LOCALAPPDATA% that holds the log, and the log's name.
inline constexpr wchar_t kLogFolderName[] = L"VT Launcher";
inline constexpr wchar_t kLogFileName[] = L"vtlauncher.log";

// %LOCALAPPDATA% without a trailing backslash; empty when Windows does not say.
std::wstring LocalAppDataFolder() noexcept;

// Logs that a Win32 call failed ("<call> failed, error <GetLastError>") and lets the run go
// on: for calls whose failure costs the player nothing he needs (a layout nudge, an icon).
void LogFailure(std::wstring_view call, DWORD error = GetLastError()) noexcept;
// ok, after logging its failure when it is false.
inline bool Logged(BOOL ok, std::wstring_view call) noexcept {
    if (!ok) {
        LogFailure(call);
    }
    return ok != FALSE;
}

class FileLogSink final : public LogSink {
  public:
    // Creates `folder` (one level) when missing, rotates a full log, then opens it for
    // appending.
    FileLogSink(std::wstring folder, std::wstring fileName,
                int64_t rotateBytes = kLogRotateBytes) noexcept;

    void Write(std::wstring_view text) noexcept override;

    bool IsOpen() const { return file_ != nullptr; }
    const std::wstring& Path() const { return path_; }
    const std::wstring& OlderPath() const { return olderPath_; }

  private:
    void RotateIfFull() noexcept;
    void Open() noexcept;

    std::mutex mutex_;
    std::wstring folder_;
    std::wstring path_;
    std::wstring olderPath_;
    int64_t rotateBytes_;
    UniqueHandle file_;
};

}  // namespace vt::win32
