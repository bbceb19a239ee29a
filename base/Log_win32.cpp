#include "base/Log_win32.h"

#include <shlobj.h>

#include <knownfolders.h>

#include <memory>
#include <string>

namespace vt::win32 {
namespace {

struct CoTaskMemFreer {
    void operator()(wchar_t* p) const noexcept { CoTaskMemFree(p); }
};

int64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

LogTime UtcNow() {
    SYSTEMTIME st{};
    GetSystemTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace

void LogFailure(std::wstring_view call, DWORD error) noexcept {
    try {
        LogLine(std::wstring(call) + L" failed, error " + std::to_wstring(error));
    } catch (...) {
        // No memory for the line: the log drops it, as it drops a line it cannot write.
    }
}

std::wstring LocalAppDataFolder() noexcept {
    try {
        PWSTR raw = nullptr;
        HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &raw);
        std::unique_ptr<wchar_t, CoTaskMemFreer> owner(raw);
        if (FAILED(hr) || raw == nullptr) {
            return {};
        }
        return raw;
    } catch (...) {
        return {};
    }
}

FileLogSink::FileLogSink(std::wstring folder, std::wstring fileName, int64_t rotateBytes) noexcept
    : rotateBytes_(rotateBytes) {
    try {
        folder_ = std::move(folder);
        path_ = folder_ + L"\\" + fileName;
        olderPath_ = folder_ + L"\\" + RotatedLogName(fileName);
        // Fails harmlessly when it exists; the open below tells whether the log can be written.
        CreateDirectoryW(folder_.c_str(), nullptr);
        RotateIfFull();
        Open();
    } catch (...) {
        file_.reset();
    }
}

void FileLogSink::RotateIfFull() noexcept {
    try {
        if (ShouldRotate(SizeOf(path_), rotateBytes_)) {
            // Fails while another launcher holds the log open; it is then rotated next time.
            MoveFileExW(path_.c_str(), olderPath_.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    } catch (...) {
    }
}

void FileLogSink::Open() noexcept {
    // Append-only access: every write lands at the end, even when another process appends.
    HANDLE h = CreateFileW(path_.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    file_.reset(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

void FileLogSink::Write(std::wstring_view text) noexcept {
    try {
        std::lock_guard lock(mutex_);
        if (!file_) {
            return;
        }
        std::string line = FormatLogLine(UtcNow(), GetCurrentProcessId(), text);
        DWORD written = 0;
        if (!WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                       nullptr)) {
            return;
        }
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file_.get(), &size) && ShouldRotate(size.QuadPart, rotateBytes_)) {
            file_.reset();
            RotateIfFull();
            Open();
        }
    } catch (...) {
        // A line that cannot be written is dropped.
    }
}

}  // namespace vt::win32
