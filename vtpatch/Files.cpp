#include "vtpatch/Files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <span>
#include <system_error>
#include <utility>

#include "vtpatch/Failure.h"

namespace vt::vtpatch {
namespace {

constexpr size_t kBlock = 256 * 1024;

// One read buffer per thread: a fresh one per file would cost more than reading a small file.
char* Block() {
    thread_local std::unique_ptr<char[]> block = std::make_unique<char[]>(kBlock);
    return block.get();
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw Failure(what + " " + path + ": " + ::strerror(error));
}

// "a/b/c" -> "a/b" and "c".
std::pair<std::string_view, std::string_view> SplitLast(std::string_view relative) {
    const size_t slash = relative.rfind('/');
    if (slash == std::string_view::npos) {
        return {std::string_view(), relative};
    }
    return {relative.substr(0, slash), relative.substr(slash + 1)};
}

bool IsLinkAt(int folder, const std::string& name) {
    struct stat st {};
    return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// One folder below `folder`, never through a link; -1 with errno when it cannot be opened.
int OpenChildFolder(int folder, const std::string& name, bool create, const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(folder, name.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(folder, name.c_str(), 0755) != 0 && errno != EEXIST) {
            Fail("cannot create the folder", path, errno);
        }
        fd = ::openat(folder, name.c_str(), kFlags);
    }
    if (fd < 0) {
        const int error = errno;
        if (IsLinkAt(folder, name)) {
            throw SymbolicLink(path);
        }
        errno = error;
    }
    return fd;
}

// Every byte of `fd` to `piece`, one block at a time; the error number of a failed read, else 0.
int ReadAll(int fd, const std::function<void(std::string_view)>& piece) {
    char* block = Block();
    for (;;) {
        ssize_t n = ::read(fd, block, kBlock);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : 0;
        }
        piece(std::string_view(block, static_cast<size_t>(n)));
    }
}

}  // namespace

std::string JoinPath(const std::string& base, std::string_view relative) {
    if (base.empty()) {
        return std::string(relative);
    }
    std::string out = base;
    if (out.back() != '/') {
        out.push_back('/');
    }
    out.append(relative);
    return out;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> ReadFile(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::string out;
    if (fd.Get() < 0 ||
        ReadAll(fd.Get(), [&out](std::string_view piece) { out.append(piece); }) != 0) {
        return std::nullopt;
    }
    return out;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool IsLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

Descriptor OpenFolderBelow(const std::string& base, std::string_view relative, bool create) {
    Descriptor folder(
        ::open(base.empty() ? "." : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0) {
        if (!create && (errno == ENOENT || errno == ENOTDIR)) {
            return Descriptor();
        }
        Fail("cannot open the folder", base, errno);
    }
    std::string path = base;
    for (size_t start = 0; start < relative.size();) {
        const size_t end = std::min(relative.find('/', start), relative.size());
        const std::string name(relative.substr(start, end - start));
        start = end + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        path = JoinPath(path, name);
        if (name == "..") {
            throw Failure(path + " leads out of " + base);
        }
        const int fd = OpenChildFolder(folder.Get(), name, create, path);
        if (fd < 0) {
            if (!create && (errno == ENOENT || errno == ENOTDIR)) {
                return Descriptor();
            }
            Fail(errno == ENOTDIR ? "a file is in the way of the folder" : "cannot open the folder",
                 path, errno);
        }
        folder = Descriptor(fd);
    }
    return folder;
}

namespace {

// Size and SHA-256 of the open file `fd`; nothing when it is not a regular file.
std::optional<FileFacts> HashOpenFile(int fd, const std::string& path,
                                      const std::function<void(std::string_view)>& sink) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    Sha256 hash;
    FileFacts facts;
    const int error = ReadAll(fd, [&](std::string_view piece) {
        hash.Update(std::as_bytes(std::span(piece.data(), piece.size())));
        if (sink) {
            sink(piece);
        }
        facts.size += static_cast<int64_t>(piece.size());
    });
    if (error != 0) {
        Fail("cannot read", path, error);
    }
    facts.sha256 = hash.Final();
    return facts;
}

}  // namespace

std::optional<FileFacts> HashFile(const std::string& path,
                                  const std::function<void(std::string_view)>& sink) {
    // O_NONBLOCK: a FIFO in the way must not hang the open; regular files ignore it.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return HashOpenFile(fd.Get(), path, sink);
}

std::optional<FileFacts> HashFileBelow(const std::string& base, std::string_view relative,
                                       const std::function<void(std::string_view)>& sink) {
    const auto [folderPart, namePart] = SplitLast(relative);
    Descriptor folder = OpenFolderBelow(base, folderPart, false);
    if (folder.Get() < 0) {
        return std::nullopt;
    }
    const std::string name(namePart);
    Descriptor fd(
        ::openat(folder.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0 && IsLinkAt(folder.Get(), name)) {
        throw SymbolicLink(JoinPath(base, relative));
    }
    return HashOpenFile(fd.Get(), JoinPath(base, relative), sink);
}

std::optional<std::string> ReadFileBelow(const std::string& base, std::string_view relative) {
    std::string out;
    if (!HashFileBelow(base, relative, [&out](std::string_view piece) { out.append(piece); })) {
        return std::nullopt;
    }
    return out;
}

std::optional<TreeEntry> StatBelow(const std::string& base, std::string_view relative) {
    const auto [folderPart, namePart] = SplitLast(relative);
    Descriptor folder = OpenFolderBelow(base, folderPart, false);
    struct stat st {};
    if (folder.Get() < 0 ||
        ::fstatat(folder.Get(), std::string(namePart).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    TreeEntry entry;
    entry.relative = relative;
    entry.regular = S_ISREG(st.st_mode);
    entry.link = S_ISLNK(st.st_mode);
    entry.size = entry.regular ? static_cast<int64_t>(st.st_size) : 0;
    return entry;
}

void RemoveBelow(const std::string& base, std::string_view relative) {
    const auto [folderPart, namePart] = SplitLast(relative);
    Descriptor folder = OpenFolderBelow(base, folderPart, false);
    if (folder.Get() >= 0 && ::unlinkat(folder.Get(), std::string(namePart).c_str(), 0) != 0 &&
        errno != ENOENT) {
        Fail("cannot remove", JoinPath(base, relative), errno);
    }
}

void MakeDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec || !IsDirectory(path)) {
        throw Failure("cannot create the folder " + path +
                      (ec ? ": " + ec.message() : ": a file is in the way"));
    }
}

PendingFile::PendingFile(const std::string& target, unsigned mode)
    : PendingFile(target.starts_with('/') && target.rfind('/') == 0
                      ? std::string("/")
                      : std::string(SplitLast(target).first),
                  SplitLast(target).second, mode) {}

PendingFile::PendingFile(const std::string& base, std::string_view relative, unsigned mode)
    : target_(JoinPath(base, relative)) {
    static std::atomic<unsigned> counter{0};
    const auto [folderPart, namePart] = SplitLast(relative);
    folder_ = OpenFolderBelow(base, folderPart, false);
    if (folder_.Get() < 0) {
        Fail("cannot create", target_, ENOENT);
    }
    name_ = namePart;
    tempName_ = ".vtpatch-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".tmp";
    temp_ = JoinPath(JoinPath(base, folderPart), tempName_);
    // Created with its final mode: a key must never be readable by others, even for a moment.
    fd_ = ::openat(folder_.Get(), tempName_.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd_ < 0) {
        Fail("cannot create", temp_, errno);
    }
    if (::fchmod(fd_, mode) != 0) {  // the umask may have taken bits the file needs
        int error = errno;
        ::close(fd_);
        ::unlinkat(folder_.Get(), tempName_.c_str(), 0);
        Fail("cannot set the mode of", temp_, error);
    }
}

PendingFile::~PendingFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_) {
        ::unlinkat(folder_.Get(), tempName_.c_str(), 0);
    }
}

void PendingFile::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("cannot write", temp_, errno);
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void PendingFile::Sync() {
    if (::fsync(fd_) != 0) {
        Fail("cannot flush", temp_, errno);
    }
}

void PendingFile::Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        Fail("cannot close", temp_, errno);
    }
}

void PendingFile::Commit() {
    Close();
    if (::renameat(folder_.Get(), tempName_.c_str(), folder_.Get(), name_.c_str()) != 0) {
        Fail("cannot put in place", target_, errno);
    }
    committed_ = true;
}

bool PendingFile::CommitNew() {
    Close();
    if (::linkat(folder_.Get(), tempName_.c_str(), folder_.Get(), name_.c_str(), 0) != 0) {
        if (errno == EEXIST) {
            return false;
        }
        Fail("cannot put in place", target_, errno);
    }
    committed_ = true;
    ::unlinkat(folder_.Get(), tempName_.c_str(), 0);
    return true;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
    PendingFile file(path);
    file.Write(bytes);
    file.Sync();
    file.Commit();
}

void WriteFileAtomically(const std::string& base, std::string_view relative,
                         std::string_view bytes) {
    PendingFile file(base, relative);
    file.Write(bytes);
    file.Sync();
    file.Commit();
}

void SyncFileSystem(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0 || ::syncfs(fd.Get()) != 0) {
        Fail("cannot flush the file system of", path, errno);
    }
}

TempDirectory::TempDirectory() {
    const char* base = ::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vtpatch-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        Fail("cannot create a temporary folder", pattern, errno);
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<TreeEntry> ListTree(const std::string& directory) {
    namespace fs = std::filesystem;
    std::vector<TreeEntry> out;
    std::error_code ec;
    fs::recursive_directory_iterator it(directory, ec);
    if (ec) {
        throw Failure("cannot list " + directory + ": " + ec.message());
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            throw Failure("cannot list " + directory + ": " + ec.message());
        }
        const fs::file_status status = it->symlink_status(ec);
        if (ec) {
            throw Failure("cannot list " + directory + ": " + ec.message());
        }
        if (fs::is_directory(status)) {
            continue;
        }
        TreeEntry e;
        e.relative = it->path().lexically_relative(directory).generic_string();
        e.link = fs::is_symlink(status);
        e.regular = fs::is_regular_file(status);
        e.size = e.regular ? static_cast<int64_t>(it->file_size(ec)) : 0;
        out.push_back(std::move(e));
    }
    if (ec) {
        throw Failure("cannot list " + directory + ": " + ec.message());
    }
    std::sort(out.begin(), out.end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.relative < b.relative; });
    return out;
}

}  // namespace vt::vtpatch
