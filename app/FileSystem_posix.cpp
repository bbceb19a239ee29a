#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string_view>

#include "app/Cp949.h"
#include "app/FileSystem.h"

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

std::unique_ptr<OutputFile> CreateOutputFile(const std::wstring& path) {
    Touched();
    int fd = ::open(Native(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<PosixOutputFile>(fd);
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
    while (dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name.size() > prefix.size() + 4 && name.starts_with(prefix) && name.ends_with(".tmp")) {
            Touched();
            ::unlink((dir + "/" + e->d_name).c_str());
        }
    }
    ::closedir(d);
}

uint64_t ChangeCount() {
    return changes.load(std::memory_order_relaxed);
}

}  // namespace vt::fs
