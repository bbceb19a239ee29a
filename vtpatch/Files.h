#pragma once
// Files on the Linux side. Paths are bytes as the kernel sees them: UTF-8 in a publisher's tree
// and in an installation, code page 949 in a served tree (what a percent-decoded request of
// the launcher names). Failures throw Failure.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Crypto.h"

namespace vt::vtpatch {

std::string JoinPath(const std::string& base, std::string_view relative);

bool Exists(const std::string& path);  // any kind of entry, a dangling link included
bool IsRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);

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

void MakeDirectories(const std::string& path);

// A new file written under a temporary name beside `target` and put in its place by Commit
// (one rename); dropped without a trace when it is never committed.
class PendingFile {
  public:
    explicit PendingFile(std::string target, unsigned mode = 0644);
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

    std::string target_;
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

void WriteFileAtomically(const std::string& path, std::string_view bytes);
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
// it, sorted. Links are followed; `regular` is false for anything that is not a file then.
struct TreeEntry {
    std::string relative;
    bool regular = false;
    int64_t size = 0;
};
std::vector<TreeEntry> ListTree(const std::string& directory);

}  // namespace vt::vtpatch
