#include "base/Shell_win32.h"

#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "base/Log_win32.h"

namespace vt {

void Win32Shell::Open(const std::wstring& file, const std::wstring& parameters,
                      const std::wstring& directory) {
    HINSTANCE result = ShellExecuteW(
        nullptr, L"open", file.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
        directory.empty() ? nullptr : directory.c_str(), SW_SHOWNORMAL);
    // The caller goes on either way (see Shell); support learns from the log what did not open.
    if (reinterpret_cast<INT_PTR>(result) <= 32) {
        win32::LogFailure(L"ShellExecute " + file);
    }
}

}  // namespace vt
