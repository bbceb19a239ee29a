#pragma once
// Files on the Linux side. Paths are bytes as the kernel sees them: UTF-8 in a publisher's tree
// and in an installation, code page 949 in a served tree (what a percent-decoded request of
// the launcher names). Failures throw Failure.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Crypto.h"
#include "vtpatch/Failure.h"

namespace vt::vtpatch {

std::string JoinPath(const std::string& base, std::string_view relative);

bool Exists(const std::string& path);  // any kind of entry, a dangling link included
bool IsRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsLink(const std::string& path);

// A symbolic link where vtpatch follows none: below a publisher's tree, a served tree or an
// installation (the folder named on the command line may itself be one).
class SymbolicLink : public Failure {
  public:
    explicit SymbolicLink(std::string path)
        : Failure(path + " is a symbolic link; vtpatch follows none below the folders it is given"),
          path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Closes a descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// The folder `relative` below `base` ('/'-separated), reached one component at a time without
// following a link; made first when `create`. An empty Descriptor when it is absent (or a file
// is in its way) and not `create`. Throws SymbolicLink for a link on the way, Failure for the
// rest.
Descriptor OpenFolderBelow(const std::string& base, std::string_view relative, bool create);

// The whole file, or nothing when it is absent or cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

struct FileFacts {
    int64_t size = 0;
    Sha256Digest sha256{};
    bool operator==(const FileFacts&) const = default;
};
// Size and SHA-256 from one read; nothing when the file cannot be opened. `sink`, when given,
// sees every block.
std::optional<FileFacts> HashFile(const std::string& path,
                                  const std::function<void(std::string_view)>& sink = {});

// HashFile for `relative` below `base`, following no link below `base` (throws SymbolicLink).
std::optional<FileFacts> HashFileBelow(const std::string& base, std::string_view relative,
                                       const std::function<void(std::string_view)>& sink = {});
std::optional<std::string> ReadFileBelow(const std::string& base, std::string_view relative);

void MakeDirectories(const std::string& path);

// Removes the entry `relative` below `base` itself (a link, never what it points to).
void RemoveBelow(const std::string& base, std::string_view relative);

// A new file written under a temporary name beside `target` and put in its place by Commit
// (one rename); dropped without a trace when it is never committed.
class PendingFile {
  public:
    explicit PendingFile(const std::string& target, unsigned mode = 0644);
    // At `relative` below `base`, whose folder must exist and is reached through no link.
    PendingFile(const std::string& base, std::string_view relative, unsigned mode = 0644);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    void Write(std::string_view bytes);
    void Sync();  // to disk
    void Commit();
    // Like Commit, but never replaces: false when `target` exists.
    bool CommitNew();

  private:
    void Close();  // the descriptor, before the file is put in place

    Descriptor folder_;     // where both names live
    std::string name_;      // of the target, in folder_
    std::string tempName_;  // in folder_
    std::string target_;    // paths, for messages
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

void WriteFileAtomically(const std::string& path, std::string_view bytes);
void WriteFileAtomically(const std::string& base, std::string_view relative,
                         std::string_view bytes);
// Everything written so far on the file system holding `path`, to disk.
void SyncFileSystem(const std::string& path);

// A fresh private directory, removed with its content by the destructor.
class TempDirectory {
  public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Every entry below `directory` that is not a directory, as '/'-separated paths relative to
// it, sorted. Links below `directory` are listed as links, never followed.
struct TreeEntry {
    std::string relative;
    bool regular = false;
    bool link = false;
    int64_t size = 0;
};
std::vector<TreeEntry> ListTree(const std::string& directory);

// What `relative` below `base` is, the entry itself (a link is not followed, nor is any link
// below `base` on the way: throws SymbolicLink); nothing when it is absent.
std::optional<TreeEntry> StatBelow(const std::string& base, std::string_view relative);

}  // namespace vt::vtpatch
