// Test probe of single_instance_e2e.py, compiled by it: prints, in UTF-8, the caption of the
// foreground window and the image path of the process it belongs to. Under Wine without a
// window manager the foreground window is only known to Wine, not to X.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct ProcessCloser {
    void operator()(HANDLE process) const noexcept { CloseHandle(process); }
};

void PrintUtf8(const wchar_t* label, const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n,
                        nullptr, nullptr);
    std::printf("%ls=%s\n", label, bytes.c_str());
}

}  // namespace

int wmain() {
    HWND window = GetForegroundWindow();
    if (window == nullptr) {
        return 2;
    }
    wchar_t caption[256] = {};
    GetWindowTextW(window, caption, 256);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    std::wstring image(32768, L'\0');
    std::unique_ptr<void, ProcessCloser> process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    DWORD size = static_cast<DWORD>(image.size());
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
        size = 0;
    }
    image.resize(size);
    PrintUtf8(L"caption", caption);
    PrintUtf8(L"image", image);
    return 0;
}
