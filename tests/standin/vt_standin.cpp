// Stands in for the game client in end-to-end tests: copied into a test installation as
// vt.exe, it writes how it was started to "standin-run.txt" beside itself and ends.
// The file is UTF-8, one "name=value" line each: commandline, arguments, directory.
#include <windows.h>

#include <string>

#include "base/Cp949.h"

namespace {

// What follows the program's own name on the command line, after one separating blank.
std::wstring Arguments(const std::wstring& line) {
    size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        size_t close = line.find(L'"', 1);
        i = close == std::wstring::npos ? line.size() : close + 1;
    } else {
        while (i < line.size() && line[i] != L' ' && line[i] != L'\t') {
            ++i;
        }
    }
    if (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) {
        ++i;
    }
    return line.substr(i);
}

}  // namespace

int wmain() {
    wchar_t module[MAX_PATH * 4] = {};
    DWORD len = GetModuleFileNameW(nullptr, module, static_cast<DWORD>(std::size(module)));
    std::wstring path(module, len);
    std::wstring report = path.substr(0, path.find_last_of(L'\\') + 1) + L"standin-run.txt";

    wchar_t cwd[MAX_PATH * 4] = {};
    DWORD cwdLen = GetCurrentDirectoryW(static_cast<DWORD>(std::size(cwd)), cwd);

    const std::wstring line = GetCommandLineW();
    const std::string text = "commandline=" + vt::ToUtf8(line) +
                             "\narguments=" + vt::ToUtf8(Arguments(line)) +
                             "\ndirectory=" + vt::ToUtf8(std::wstring(cwd, cwdLen)) + "\n";
    HANDLE h = CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
    return written == text.size() ? 0 : 1;
}
