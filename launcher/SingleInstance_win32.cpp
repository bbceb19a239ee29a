#include "launcher/SingleInstance_win32.h"

#include "base/Log_win32.h"

#include <cstdint>
#include <memory>
#include <string_view>

namespace vt {
namespace {

using win32::UniqueHandle;

// How long a second start waits for the first one to publish its id and show a window; the
// first one is then at most a moment old.
constexpr DWORD kWaitForFirst = 3000;
constexpr DWORD kPollInterval = 50;

std::wstring FullPath(const std::wstring& path) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return path;
    }
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
    out.resize(n);
    return out;
}

// The folder as the file system resolves it, so that every way of naming it (relative, short
// names, another letter case, through a link) gives the same text.
std::wstring NormalisedDirectory(const std::wstring& directory) {
    std::wstring path;
    UniqueHandle folder(CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (folder.get() != INVALID_HANDLE_VALUE) {
        path = win32::FinalPath(folder.get());
    }
    if (path.empty()) {
        path = FullPath(directory);
    }
    constexpr std::wstring_view kUncPrefix = L"\\\\?\\UNC\\";
    constexpr std::wstring_view kLocalPrefix = L"\\\\?\\";
    if (path.starts_with(kUncPrefix)) {
        path = L"\\\\" + path.substr(kUncPrefix.size());
    } else if (path.starts_with(kLocalPrefix)) {
        path.erase(0, kLocalPrefix.size());
    }
    while (path.size() > 3 && path.back() == L'\\') {
        path.pop_back();
    }
    if (!path.empty()) {
        // Returns how many characters it changed; it has no failure of its own.
        CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    }
    return path;
}

// FNV-1a over the UTF-16 code units, 64 bits.
uint64_t Hash(std::wstring_view text) {
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : text) {
        for (int shift : {0, 8}) {
            hash ^= (static_cast<uint32_t>(c) >> shift) & 0xff;
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

std::wstring Hex(uint64_t value) {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring out(16, L'0');
    for (int i = 15; i >= 0; --i) {
        out[static_cast<size_t>(i)] = kDigits[value & 0xf];
        value >>= 4;
    }
    return out;
}

std::wstring OwnerName(const std::wstring& mutexName) {
    return mutexName + L"-owner";
}

// Polls `found` until it gives something other than its empty value, or the wait is over.
template <typename Find>
auto WaitFor(Find&& found) {
    const ULONGLONG deadline = GetTickCount64() + kWaitForFirst;
    for (;;) {
        auto value = found();
        if (value || GetTickCount64() >= deadline) {
            return value;
        }
        Sleep(kPollInterval);
    }
}

DWORD ReadOwner(const std::wstring& mutexName) {
    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, OwnerName(mutexName).c_str()));
    if (!mapping) {
        return 0;
    }
    win32::UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(LONG)));
    if (!view) {
        return 0;
    }
    // A plain aligned read: the view is read-only, so no interlocked operation may touch it.
    return static_cast<DWORD>(*static_cast<const volatile LONG*>(view.get()));
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

// Top-level windows come in Z order, so the first shown one is the holder's foremost: its
// message box when one is up, else the window the player works with.
BOOL CALLBACK FindShownWindow(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<WindowSearch*>(lParam);
    DWORD processId = 0;
    // 0 for a window gone meanwhile: it matches no process and the search goes on.
    GetWindowThreadProcessId(hwnd, &processId);
    if (processId == search->processId && IsWindowVisible(hwnd)) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND ShownWindowOf(DWORD processId) {
    WindowSearch search{processId, nullptr};
    // FALSE also when the search stopped at its window: search.found alone tells.
    EnumWindows(FindShownWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

std::wstring SingleInstance::MutexName(const std::wstring& directory) {
    return L"Local\\vtlauncher-" + Hex(Hash(NormalisedDirectory(directory)));
}

SingleInstance::SingleInstance(const std::wstring& directory) : name_(MutexName(directory)) {
    mutex_.reset(CreateMutexW(nullptr, FALSE, name_.c_str()));
    if (!mutex_) {
        return;  // no lock to be had: better a second launcher than none
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        first_ = false;
        mutex_.reset();  // holding it would keep the installation claimed after the first ends
        return;
    }
    owner_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG),
                                    OwnerName(name_).c_str()));
    if (owner_) {
        win32::UniqueView view(MapViewOfFile(owner_.get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG)));
        if (view) {
            InterlockedExchange(static_cast<LONG*>(view.get()),
                                static_cast<LONG>(GetCurrentProcessId()));
        }
    }
}

void SingleInstance::Release() {
    owner_.reset();
    mutex_.reset();
}

void SingleInstance::ActivateFirst() const {
    const DWORD owner = WaitFor([&] { return ReadOwner(name_); });
    if (owner == 0) {
        return;
    }
    HWND window = WaitFor([&] { return ShownWindowOf(owner); });
    if (window == nullptr) {
        return;
    }
    if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);  // returns the earlier visibility, not a failure
    }
    if (!SetForegroundWindow(window)) {
        // The foreground lock may refuse; Windows then flashes the first one's taskbar button.
        win32::LogFailure(L"SetForegroundWindow");
    }
}

}  // namespace vt
