#include <windows.h>
// The Win32 macros of these names would rename our functions to DeleteFileW/ReplaceFileW.
#undef DeleteFile
#undef ReplaceFile

#include <atomic>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "base/FileSystem.h"
#include "base/Handles_win32.h"

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

std::atomic<FreeSpaceQuery> freeSpaceQuery{nullptr};

std::wstring Beneath(const std::wstring& directory, const std::wstring& name) {
    return directory.ends_with(L'\\') ? directory + name : directory + L'\\' + name;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Opens the entry itself: a link is not followed (where the system honours that).
UniqueHandle OpenEntry(const std::wstring& path, DWORD access) {
    return UniqueHandle(CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool RemoveEntry(const std::wstring& path, const std::wstring& expectedFinal, DWORD listed);

bool IsFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Removes what the open folder holds; `path` and `final` are its path and resolved path. The
// listing comes through the folder's own handle: under Wine a second opening for the listing
// would clash with the deletion access that handle holds.
bool EmptyDirectory(HANDLE folder, const std::wstring& path, const std::wstring& final) {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    std::vector<uint64_t> buffer(8192);  // 64 KiB, aligned as the records need
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(uint64_t)))) {
        kind = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const std::byte*>(buffer.data());
        for (;;) {
            const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
            std::wstring_view name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                entries.emplace_back(name, record->FileAttributes);
            }
            if (record->NextEntryOffset == 0) {
                break;
            }
            bytes += record->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        return false;
    }
    bool ok = true;
    for (const auto& [name, attributes] : entries) {
        if (!RemoveEntry(Beneath(path, name), Beneath(final, name), attributes)) {
            ok = false;
        }
    }
    return ok;
}

// Removes one entry (`listed`: its attributes as its folder lists them) through a handle to the
// entry itself, and only when that handle resolves to where the entry was found: a system that
// follows links on open (Wine does, whatever the flags) hands back the link's target, which is
// then left alone and the removal fails.
bool RemoveEntry(const std::wstring& path, const std::wstring& expectedFinal, DWORD listed) {
    DWORD access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    if (IsFolder(listed)) {
        access |= FILE_LIST_DIRECTORY;
    }
    UniqueHandle entry = OpenEntry(path, access);
    if (entry.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        return false;
    }
    const std::wstring final = win32::FinalPath(entry.get());
    if (final.empty() || !SameName(final, expectedFinal)) {
        return false;
    }
    const DWORD attributes = tag.FileAttributes;
    bool ok = true;
    if (IsFolder(attributes)) {
        ok = IsFolder(listed) && EmptyDirectory(entry.get(), path, final);
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        // Read-only entries refuse to be deleted; the change goes to the entry, not a target.
        FILE_BASIC_INFO basic{};
        DWORD cleared = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT);
        basic.FileAttributes = cleared == 0 ? FILE_ATTRIBUTE_NORMAL : cleared;
        // A failure shows as the refused deletion just below.
        SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof basic);
    }
    // Gone when the handle closes; a folder that kept entries refuses.
    FILE_DISPOSITION_INFO dispose{TRUE};  // its one member's name is bent by the macro above
    const bool deleted =
        SetFileInformationByHandle(entry.get(), FileDispositionInfo, &dispose, sizeof dispose);
    return deleted && ok;
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
                // A failure shows as the refused deletion just below.
                SetFileAttributesW(full.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            }
            if (!DeleteFileW(full.c_str())) {
                ok = false;
            }
        }
    } while (FindNextFileW(raw, &data));
    // A listing that broke off may have left files behind.
    return ok && GetLastError() == ERROR_NO_MORE_FILES;
}

bool LeadsElsewhere(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    const DWORD attributes = Attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return true;
    }
    if (slash == std::wstring::npos) {
        return false;
    }
    UniqueHandle entry = OpenEntry(path, FILE_READ_ATTRIBUTES);
    if (entry.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    UniqueHandle parent(CreateFileW(path.substr(0, slash + 1).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring parentFinal =
        parent.get() == INVALID_HANDLE_VALUE ? std::wstring() : win32::FinalPath(parent.get());
    const std::wstring final = win32::FinalPath(entry.get());
    return !parentFinal.empty() && !final.empty() &&
           !SameName(final, Beneath(parentFinal, path.substr(slash + 1)));
}

bool RemoveTree(const std::wstring& path) {
    Touched();
    // Where the tree's root should resolve to: its folder's resolved path and its own name.
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) {
        return false;
    }
    UniqueHandle parent(CreateFileW(path.substr(0, slash + 1).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (parent.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::wstring parentFinal = win32::FinalPath(parent.get());
    if (parentFinal.empty()) {
        return false;
    }
    const DWORD listed = Attributes(path);  // the entry itself, a link not followed
    if (listed == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    return RemoveEntry(path, Beneath(parentFinal, path.substr(slash + 1)), listed);
}

std::optional<uint64_t> FreeSpace(const std::wstring& directory) {
    if (FreeSpaceQuery query = freeSpaceQuery.load()) {
        return query(directory);
    }
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr)) {
        return std::nullopt;
    }
    return available.QuadPart;
}

FreeSpaceQuery SetFreeSpaceQuery(FreeSpaceQuery query) {
    return freeSpaceQuery.exchange(query);
}

bool ReplaceFile(const std::wstring& source, const std::wstring& target) {
    Touched();
    return MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool MoveNew(const std::wstring& source, const std::wstring& target) {
    Touched();
    return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
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

std::unique_ptr<OutputFile> OpenForAppend(const std::wstring& path) {
    Touched();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto file = std::make_unique<Win32OutputFile>(h);
    // The only writer: one move to the end is enough.
    if (!SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_END)) {
        return nullptr;
    }
    return file;
}

bool ReadInBlocks(const std::wstring& path, std::span<std::byte> buffer,
                  const std::function<void(std::span<const std::byte>)>& each) {
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD most = buffer.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(buffer.size());
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h.get(), buffer.data(), most, &n, nullptr)) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        each(buffer.first(n));
    }
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
    // The pattern also matches short 8.3 names and names a manifest may hold; only the exact
    // long shape TempNameBeside makes, "<name>.<digits>.<digits>.tmp", is ours.
    auto ours = [&prefix](std::wstring_view name) {
        if (name.size() < prefix.size() + 4 || !name.starts_with(prefix) ||
            !name.ends_with(L".tmp")) {
            return false;
        }
        name = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        const size_t dot = name.find(L'.');
        auto digits = [](std::wstring_view part) {
            return !part.empty() &&
                   part.find_first_not_of(L"0123456789") == std::wstring_view::npos;
        };
        return dot != std::wstring_view::npos && digits(name.substr(0, dot)) &&
               digits(name.substr(dot + 1));
    };
    do {
        if (ours(data.cFileName)) {
            Touched();
            // Best effort: a leftover still in use is tried again at the next clean-up, and
            // a listing that breaks off leaves the rest to it too.
            DeleteFileW((directory + data.cFileName).c_str());
        }
    } while (FindNextFileW(raw, &data));
}

uint64_t ChangeCount() {
    return changes.load(std::memory_order_relaxed);
}

namespace {

// Reads the folder by handle, many entries a call, without the 8.3 names FindFirstFileEx makes
// up for each: under Wine a listing of 32,000 files costs a quarter less.
void ListInto(const std::wstring& directory, const std::wstring& prefix,
              const std::function<bool(const std::wstring&)>& enter, std::vector<ListedFile>& out) {
    UniqueHandle folder(CreateFileW((directory + prefix).c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (folder.get() == INVALID_HANDLE_VALUE) {
        return;
    }
    std::vector<LONGLONG> block(8192);  // 64 KiB, aligned for the entries' 64-bit fields
    const auto bytes = static_cast<DWORD>(block.size() * sizeof(LONGLONG));
    std::vector<std::wstring> folders;
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
         GetFileInformationByHandleEx(folder.get(), kind, block.data(), bytes);
         kind = FileFullDirectoryInfo) {
        const auto* at = reinterpret_cast<const std::byte*>(block.data());
        for (;;) {
            const auto& entry = *reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            const std::wstring_view name(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                std::wstring relative = prefix + std::wstring(name);
                if ((entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    out.push_back(
                        {std::move(relative), static_cast<uint64_t>(entry.EndOfFile.QuadPart)});
                } else if ((entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                           enter(relative)) {
                    folders.push_back(std::move(relative));
                }
            }
            if (entry.NextEntryOffset == 0) {
                break;
            }
            at += entry.NextEntryOffset;
        }
    }
    folder.reset();  // one listing open at a time
    for (const std::wstring& sub : folders) {
        ListInto(directory, sub + L"\\", enter, out);
    }
}

}  // namespace

std::vector<ListedFile> ListFiles(const std::wstring& directory,
                                  const std::function<bool(const std::wstring&)>& enter) {
    std::vector<ListedFile> out;
    ListInto(directory, L"", enter, out);
    return out;
}

std::wstring FoldedName(std::wstring_view name) {
    std::wstring out(name);
    bool ascii = true;
    for (wchar_t& c : out) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
        ascii = ascii && c < 0x80;
    }
    if (!ascii) {
        // The system's own upper-case table, as its file systems compare names; most names
        // are ASCII and need no call (a set's listing folds tens of thousands).
        CharUpperBuffW(out.data(), static_cast<DWORD>(out.size()));
    }
    return out;
}

}  // namespace vt::fs
