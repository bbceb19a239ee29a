#pragma once
// What the swap of launchers needs of the file system. The disk's version goes through
// base/FileSystem; tests use a fake that keeps Windows' rules (a running program can be renamed
// but not deleted or overwritten, a file an antivirus holds for a while cannot be moved or
// deleted until it lets go, a rename over a file is atomic).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Crypto.h"

namespace vt::selfupdate {

struct FileIdentity {
    uint64_t size = 0;
    Sha256Digest sha256{};
    bool operator==(const FileIdentity&) const = default;
};

class SwapFs {
  public:
    virtual ~SwapFs() = default;
    virtual bool Exists(const std::wstring& path) = 0;
    virtual std::optional<std::string> Read(const std::wstring& path) = 0;
    // Size and SHA-256 of the file's bytes; nothing when it cannot be read.
    virtual std::optional<FileIdentity> Identify(const std::wstring& path) = 0;
    // Creates or truncates, writes and flushes.
    virtual bool Write(const std::wstring& path, std::string_view bytes) = 0;
    // Fails when `to` exists.
    virtual bool MoveNew(const std::wstring& from, const std::wstring& to) = 0;
    // Replaces `to` in one step.
    virtual bool MoveOver(const std::wstring& from, const std::wstring& to) = 0;
    virtual bool Delete(const std::wstring& path) = 0;
    virtual bool MakeDir(const std::wstring& path) = 0;  // true when it exists afterwards
    // Names of the plain files in `directory` (ends in a backslash).
    virtual std::vector<std::wstring> Names(const std::wstring& directory) = 0;
    // A short wait before a step that failed is tried again.
    virtual void Pause() = 0;
};

// The disk, through base/FileSystem.
class DiskSwapFs final : public SwapFs {
  public:
    bool Exists(const std::wstring& path) override;
    std::optional<std::string> Read(const std::wstring& path) override;
    std::optional<FileIdentity> Identify(const std::wstring& path) override;
    bool Write(const std::wstring& path, std::string_view bytes) override;
    bool MoveNew(const std::wstring& from, const std::wstring& to) override;
    bool MoveOver(const std::wstring& from, const std::wstring& to) override;
    bool Delete(const std::wstring& path) override;
    bool MakeDir(const std::wstring& path) override;
    std::vector<std::wstring> Names(const std::wstring& directory) override;
    void Pause() override;
};

}  // namespace vt::selfupdate
