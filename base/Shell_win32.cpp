#include "base/Shell_win32.h"

#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

namespace vt {

void Win32Shell::Open(const std::wstring& file, const std::wstring& parameters,
                      const std::wstring& directory) {
    ShellExecuteW(nullptr, L"open", file.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
                  directory.empty() ? nullptr : directory.c_str(), SW_SHOWNORMAL);
}

}  // namespace vt
