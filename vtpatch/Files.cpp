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

// Closes a descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

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
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string out;
    if (fd.Get() < 0 ||
        ReadAll(fd.Get(), [&out](std::string_view piece) { out.append(piece); }) != 0) {
        return std::nullopt;
    }
    return out;
}

std::optional<FileFacts> HashFile(const std::string& path,
                                  const std::function<void(std::string_view)>& sink) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    Sha256 hash;
    FileFacts facts;
    const int error = ReadAll(fd.Get(), [&](std::string_view piece) {
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

void MakeDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec || !IsDirectory(path)) {
        throw Failure("cannot create the folder " + path +
                      (ec ? ": " + ec.message() : ": a file is in the way"));
    }
}

PendingFile::PendingFile(std::string target, unsigned mode) : target_(std::move(target)) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target_.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    temp_ =
        dir + ".vtpatch-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".tmp";
    // Created with its final mode: a key must never be readable by others, even for a moment.
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd_ < 0) {
        Fail("cannot create", temp_, errno);
    }
    if (::fchmod(fd_, mode) != 0) {  // the umask may have taken bits the file needs
        int error = errno;
        ::close(fd_);
        ::unlink(temp_.c_str());
        Fail("cannot set the mode of", temp_, error);
    }
}

PendingFile::~PendingFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_) {
        ::unlink(temp_.c_str());
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
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        Fail("cannot put in place", target_, errno);
    }
    committed_ = true;
}

bool PendingFile::CommitNew() {
    Close();
    if (::link(temp_.c_str(), target_.c_str()) != 0) {
        if (errno == EEXIST) {
            return false;
        }
        Fail("cannot put in place", target_, errno);
    }
    committed_ = true;
    ::unlink(temp_.c_str());
    return true;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
    PendingFile file(path);
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
    fs::recursive_directory_iterator it(directory, fs::directory_options::follow_directory_symlink,
                                        ec);
    if (ec) {
        throw Failure("cannot list " + directory + ": " + ec.message());
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            throw Failure("cannot list " + directory + ": " + ec.message());
        }
        fs::file_status status = it->status(ec);
        if (ec) {
            status = fs::file_status(fs::file_type::not_found);  // a dangling link
            ec.clear();
        }
        if (fs::is_directory(status)) {
            continue;
        }
        TreeEntry e;
        e.relative = it->path().lexically_relative(directory).generic_string();
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
