#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cwctype>
#include <memory>
#include <string_view>
#include <vector>

#include "base/Cp949.h"
#include "base/FileSystem.h"

namespace vt::fs {
namespace {

std::atomic<uint64_t> changes{0};

void Touched() {
    changes.fetch_add(1, std::memory_order_relaxed);
}

std::string Native(const std::wstring& path) {
    std::string out = ToUtf8(path);
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return out;
}

class PosixOutputFile final : public OutputFile {
  public:
    explicit PosixOutputFile(int fd) : fd_(fd) {}
    ~PosixOutputFile() override {
        ::close(fd_);
        Touched();
    }
    PosixOutputFile(const PosixOutputFile&) = delete;
    PosixOutputFile& operator=(const PosixOutputFile&) = delete;

    bool Write(std::span<const std::byte> data) override {
        Touched();
        const auto* p = reinterpret_cast<const char*>(data.data());
        size_t left = data.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n <= 0) {
                return false;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        return true;
    }
    bool Flush() override { return ::fsync(fd_) == 0; }

  private:
    int fd_;
};

std::atomic<FreeSpaceQuery> freeSpaceQuery{nullptr};

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool EmptyDirectoryAt(int fd);

// A folder without write permission still gives up its entries, as a read-only folder does
// on Windows.
bool EmptyWritableDirectory(int fd, mode_t mode) {
    if ((mode & S_IWUSR) == 0) {
        ::fchmod(fd, (mode & 07777) | S_IWUSR | S_IXUSR);  // a failure shows as entries left
    }
    return EmptyDirectoryAt(fd);
}

// Empties the directory open as `fd` (taken over). Entries are looked at without following
// links, so a link is unlinked itself and its target never reached.
bool EmptyDirectoryAt(int fd) {
    UniqueDir dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir.get())) {
        std::string_view name = e->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    const int at = ::dirfd(dir.get());
    bool ok = true;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int child =
                ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || !EmptyWritableDirectory(child, st.st_mode)) {
                ok = false;
            }
            if (::unlinkat(at, name.c_str(), AT_REMOVEDIR) != 0) {
                ok = false;
            }
        } else if (::unlinkat(at, name.c_str(), 0) != 0) {
            ok = false;
        }
    }
    return ok;
}

}  // namespace

bool Exists(const std::wstring& path) {
    struct stat st {};
    return ::stat(Native(path).c_str(), &st) == 0;
}

bool IsDirectory(const std::wstring& path) {
    struct stat st {};
    return ::stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsOrdinaryFile(const std::wstring& path) {
    struct stat st {};
    return ::stat(Native(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateDir(const std::wstring& path) {
    Touched();
    return ::mkdir(Native(path).c_str(), 0777) == 0;
}

bool DeleteFile(const std::wstring& path) {
    Touched();
    return ::unlink(Native(path).c_str()) == 0;
}

bool RemoveDir(const std::wstring& path) {
    Touched();
    return ::rmdir(Native(path).c_str()) == 0;
}

bool DeleteFilesIn(const std::wstring& directory) {
    Touched();
    std::string dir = Native(directory);
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return false;
    }
    bool ok = true;
    while (dirent* e = ::readdir(d)) {
        std::string full = dir + (dir.ends_with('/') ? "" : "/") + e->d_name;
        struct stat st {};
        if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(full.c_str()) != 0) {
            ok = false;
        }
    }
    ::closedir(d);
    return ok;
}

bool LeadsElsewhere(const std::wstring& path) {
    struct stat st {};
    return ::lstat(Native(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RemoveTree(const std::wstring& path) {
    Touched();
    const std::string native = Native(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlink(native.c_str()) == 0;  // a file, or a link to anything
    }
    const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool ok = fd >= 0 && EmptyWritableDirectory(fd, st.st_mode);
    return ::rmdir(native.c_str()) == 0 && ok;
}

std::optional<uint64_t> FreeSpace(const std::wstring& directory) {
    if (FreeSpaceQuery query = freeSpaceQuery.load()) {
        return query(directory);
    }
    struct statvfs vfs {};
    if (::statvfs(Native(directory).c_str(), &vfs) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

FreeSpaceQuery SetFreeSpaceQuery(FreeSpaceQuery query) {
    return freeSpaceQuery.exchange(query);
}

bool MoveNew(const std::wstring& source, const std::wstring& target) {
    Touched();
    // A hard link fails when the target exists, as a move without replacing does on Windows.
    const std::string from = Native(source);
    if (::link(from.c_str(), Native(target).c_str()) != 0) {
        return false;
    }
    ::unlink(from.c_str());  // both names are the same file now; a leftover source is harmless
    return true;
}

bool ReplaceFile(const std::wstring& source, const std::wstring& target) {
    Touched();
    std::string to = Native(target);
    if (::rename(Native(source).c_str(), to.c_str()) != 0) {
        return false;
    }
    // Make the rename itself durable.
    std::string dir = to.substr(0, to.find_last_of('/') + 1);
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    int fd = ::open(Native(path).c_str(), O_RDONLY);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (n < 0) {
        return std::nullopt;
    }
    return out;
}

Stamp GetStamp(const std::wstring& path) {
    struct stat st {};
    if (::stat(Native(path).c_str(), &st) != 0) {
        return {};
    }
    return {static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

namespace {

std::unique_ptr<OutputFile> OpenOutput(const std::wstring& path, int flags) {
    Touched();
    int fd = ::open(Native(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<PosixOutputFile>(fd);
}

}  // namespace

std::unique_ptr<OutputFile> CreateOutputFile(const std::wstring& path) {
    return OpenOutput(path, O_TRUNC);
}

std::unique_ptr<OutputFile> OpenForAppend(const std::wstring& path) {
    return OpenOutput(path, O_APPEND);
}

bool ReadInBlocks(const std::wstring& path, std::span<std::byte> buffer,
                  const std::function<void(std::span<const std::byte>)>& each) {
    const int fd = ::open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        each(buffer.first(static_cast<size_t>(n)));
    }
    ::close(fd);
    return ok;
}

std::wstring TempNameBeside(const std::wstring& path) {
    static std::atomic<unsigned> counter{0};
    return path + L"." + std::to_wstring(::getpid()) + L"." + std::to_wstring(++counter) + L".tmp";
}

void DeleteStaleTempsBeside(const std::wstring& path) {
    std::string full = Native(path);
    size_t slash = full.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : full.substr(0, slash);
    std::string prefix = full.substr(slash + 1) + ".";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    // Only the exact shape TempNameBeside makes, "<name>.<digits>.<digits>.tmp": a file a
    // manifest names may look much like it and must survive.
    auto ours = [&prefix](std::string_view name) {
        if (name.size() < prefix.size() + 4 || !name.starts_with(prefix) ||
            !name.ends_with(".tmp")) {
            return false;
        }
        name = name.substr(prefix.size(), name.size() - prefix.size() - 4);
        const size_t dot = name.find('.');
        auto digits = [](std::string_view part) {
            return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
        };
        return dot != std::string_view::npos && digits(name.substr(0, dot)) &&
               digits(name.substr(dot + 1));
    };
    while (dirent* e = ::readdir(d)) {
        if (ours(e->d_name)) {
            Touched();
            ::unlink((dir + "/" + e->d_name).c_str());
        }
    }
    ::closedir(d);
}

uint64_t ChangeCount() {
    return changes.load(std::memory_order_relaxed);
}

namespace {

void ListInto(const std::wstring& directory, const std::wstring& prefix,
              const std::function<bool(const std::wstring&)>& enter, std::vector<ListedFile>& out) {
    const std::string native = Native(directory + prefix);
    UniqueDir dir(::opendir(native.c_str()));
    if (!dir) {
        return;
    }
    std::vector<std::wstring> folders;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat st {};
        if (::lstat((native + entry->d_name).c_str(), &st) != 0) {
            continue;  // gone since it was listed
        }
        std::wstring relative = prefix + FromUtf8(std::string(name));
        if (S_ISDIR(st.st_mode)) {
            if (enter(relative)) {
                folders.push_back(std::move(relative));
            }
        } else if (!S_ISLNK(st.st_mode) || ::stat((native + entry->d_name).c_str(), &st) == 0) {
            // A link to a file reads as that file, as Windows would open it.
            if (!S_ISDIR(st.st_mode)) {
                out.push_back({std::move(relative), static_cast<uint64_t>(st.st_size)});
            }
        }
    }
    dir.reset();  // one listing open at a time
    for (const std::wstring& folder : folders) {
        ListInto(directory, folder + L"\\", enter, out);
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
    // Names in these tests are ASCII or Hangul, which has no case; the C library's table
    // covers what the locale knows beyond ASCII.
    std::wstring out(name);
    for (wchar_t& c : out) {
        c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A')
                                   : static_cast<wchar_t>(std::towupper(c));
    }
    return out;
}

}  // namespace vt::fs
