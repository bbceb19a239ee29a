#include <windows.h>
// The Win32 macros of these names would rename our functions to DeleteFileW/ReplaceFileW.
#undef DeleteFile
#undef ReplaceFile

#include <atomic>
#include <string_view>

#include "app/FileSystem.h"
#include "app/Handles_win32.h"

namespace vt::fs {
namespace {

std::atomic<uint64_t> changes{0};

void Touched() {
    changes.fetch_add(1, std::memory_order_relaxed);
}

using win32::UniqueFind;
using win32::UniqueHandle;

class Win32OutputFile final : public OutputFile {
  public:
    explicit Win32OutputFile(HANDLE h) : handle_(h) {}
    ~Win32OutputFile() override {
        handle_.reset();
        Touched();
    }
    Win32OutputFile(const Win32OutputFile&) = delete;
    Win32OutputFile& operator=(const Win32OutputFile&) = delete;
    bool Write(std::span<const std::byte> data) override {
        Touched();
        const auto* p = data.data();
        size_t left = data.size();
        while (left > 0) {
            DWORD part = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
            DWORD written = 0;
            if (!WriteFile(handle_.get(), p, part, &written, nullptr) || written == 0) {
                return false;
            }
            p += written;
            left -= written;
        }
        return true;
    }
    bool Flush() override { return FlushFileBuffers(handle_.get()) != 0; }

  private:
    UniqueHandle handle_;
};

DWORD Attributes(const std::wstring& path) {
    return GetFileAttributesW(path.c_str());
}

}  // namespace

bool Exists(const std::wstring& path) {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsOrdinaryFile(const std::wstring& path) {
    DWORD a = Attributes(path);
    constexpr DWORD kNotOrdinary =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return a != INVALID_FILE_ATTRIBUTES && (a & kNotOrdinary) == 0;
}

bool CreateDir(const std::wstring& path) {
    Touched();
    return CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool DeleteFile(const std::wstring& path) {
    Touched();
    return DeleteFileW(path.c_str()) != 0;
}

bool RemoveDir(const std::wstring& path) {
    Touched();
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool DeleteFilesIn(const std::wstring& directory) {
    Touched();
    WIN32_FIND_DATAW data{};
    HANDLE raw = FindFirstFileW((directory + L"*.*").c_str(), &data);
    if (raw == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    UniqueFind find(raw);
    bool ok = true;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            std::wstring full = directory + data.cFileName;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
                SetFileAttributesW(full.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            }
            if (!DeleteFileW(full.c_str())) {
                ok = false;
            }
        }
    } while (FindNextFileW(raw, &data));
    return ok;
}

bool ReplaceFile(const std::wstring& source, const std::wstring& target) {
    Touched();
    return MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string out;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h.get(), &size)) {
        out.reserve(static_cast<size_t>(size.QuadPart));
    }
    char buf[65536];
    DWORD n = 0;
    for (;;) {
        if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        out.append(buf, n);
    }
    return out;
}

Stamp GetStamp(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return {};
    }
    return {(static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
            (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                data.ftLastWriteTime.dwLowDateTime};
}

std::unique_ptr<OutputFile> CreateOutputFile(const std::wstring& path) {
    Touched();
    // A new file is created without truncating: under Wine a truncation, even of an empty
    // file, makes the Linux file system write the whole file out when it is closed.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return std::make_unique<Win32OutputFile>(h);
}

std::wstring TempNameBeside(const std::wstring& path) {
    static std::atomic<unsigned> counter{0};
    return path + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(++counter) + L".tmp";
}

void DeleteStaleTempsBeside(const std::wstring& path) {
    const std::wstring directory = path.substr(0, path.find_last_of(L'\\') + 1);
    const std::wstring prefix = path.substr(directory.size()) + L".";
    WIN32_FIND_DATAW data{};
    HANDLE raw = FindFirstFileW((path + L".*.tmp").c_str(), &data);
    if (raw == INVALID_HANDLE_VALUE) {
        return;
    }
    UniqueFind find(raw);
    do {
        std::wstring_view name = data.cFileName;
        // The pattern also matches short 8.3 names; only our own long names count.
        if (name.size() > prefix.size() + 4 && name.starts_with(prefix) &&
            name.ends_with(L".tmp")) {
            Touched();
            DeleteFileW((directory + data.cFileName).c_str());
        }
    } while (FindNextFileW(raw, &data));
}

uint64_t ChangeCount() {
    return changes.load(std::memory_order_relaxed);
}

}  // namespace vt::fs
