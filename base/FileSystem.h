#pragma once
// File-system operations on Windows-style paths (backslashes, Unicode). On Windows they call
// the W entry points; on POSIX (native tests) backslashes become slashes and names UTF-8.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// <windows.h> maps these names to their W forms; included before this header, that would
// rename our functions too.
#undef DeleteFile
#undef ReplaceFile

namespace vt::fs {

bool Exists(const std::wstring& path);  // any kind of entry
bool IsDirectory(const std::wstring& path);
bool IsOrdinaryFile(const std::wstring& path);  // not hidden, not system, not a directory
bool CreateDir(const std::wstring& path);       // one level; false when it fails
bool DeleteFile(const std::wstring& path);
bool RemoveDir(const std::wstring& path);  // must be empty
// Deletes the plain files directly inside `directory` (which ends in a backslash).
bool DeleteFilesIn(const std::wstring& directory);
// Deletes `path` (no trailing backslash) with everything below it: files (read-only and hidden
// ones too) and folders. A link (symbolic link, junction, any reparse point) is removed as a
// link and never entered, so nothing outside the tree is touched; where the system cannot
// remove a link without following it, the link stays and the call fails. False when something
// is left or `path` does not exist; it goes on with the rest after a failure.
bool RemoveTree(const std::wstring& path);
// True when `path` (no trailing backslash) is a link to elsewhere: a symbolic link, a junction
// or another reparse point, or an entry that opens as another path (where the system follows
// links on open). Wine hides a link to nothing entirely: it is neither listed nor opened.
bool LeadsElsewhere(const std::wstring& path);
// Replaces `target` by `source` in one step, flushed to disk, on the same volume.
bool ReplaceFile(const std::wstring& source, const std::wstring& target);
// Moves `source` to `target` in one step, flushed to disk, on the same volume; fails when
// `target` exists (nothing is ever overwritten).
bool MoveNew(const std::wstring& source, const std::wstring& target);
std::optional<std::string> ReadWholeFile(const std::wstring& path);
// Size and last-write time, to notice a file changed behind the program's back.
struct Stamp {
    int64_t size = -1;
    int64_t writeTime = 0;
    bool operator==(const Stamp&) const = default;
};
Stamp GetStamp(const std::wstring& path);  // size -1 when absent

// Bytes this process may still write on the volume that holds `directory`; nullopt when the
// system cannot tell.
std::optional<uint64_t> FreeSpace(const std::wstring& directory);
// What FreeSpace asks instead of the system while set (tests play a full disk with it);
// nullptr restores the system. Returns the previous query.
using FreeSpaceQuery = std::optional<uint64_t> (*)(const std::wstring& directory);
FreeSpaceQuery SetFreeSpaceQuery(FreeSpaceQuery query);

// A file written sequentially from its first byte; closed by the destructor.
class OutputFile {
  public:
    virtual ~OutputFile() = default;
    virtual bool Write(std::span<const std::byte> data) = 0;
    virtual bool Flush() = 0;  // to disk
};
// Creates or truncates. nullptr when it cannot be opened.
std::unique_ptr<OutputFile> CreateOutputFile(const std::wstring& path);
// Opens for writing at the end, creating the file when it is missing. Each Write is one system
// call, so a killed writer leaves every earlier write whole. nullptr when it cannot be opened.
std::unique_ptr<OutputFile> OpenForAppend(const std::wstring& path);
// Hands the file's bytes to `each` in pieces of at most buffer.size(), in order. False when
// it cannot be opened or read.
bool ReadInBlocks(const std::wstring& path, std::span<std::byte> buffer,
                  const std::function<void(std::span<const std::byte>)>& each);

// A file ListFiles found.
struct ListedFile {
    std::wstring name;  // below the listed folder, backslashes between folders
    uint64_t size = 0;
    bool operator==(const ListedFile&) const = default;
};
// The files below `directory` (ends in a backslash), each folder read with one listing, which
// costs far less than asking for each file by name (under Wine every such question scans the
// folder). A subfolder is entered when `enter` says so for its name below `directory`
// (backslashes between folders, none at the end); a link is never entered. Nothing when the
// folder is missing.
std::vector<ListedFile> ListFiles(const std::wstring& directory,
                                  const std::function<bool(const std::wstring&)>& enter);
// A name as the file system compares names: two names that open the same file on Windows
// fold to the same text.
std::wstring FoldedName(std::wstring_view name);

// A name for a temporary file beside `path`, unique within the process.
std::wstring TempNameBeside(const std::wstring& path);
// Deletes what TempNameBeside files of `path` a killed process left behind.
void DeleteStaleTempsBeside(const std::wstring& path);

// Goes up whenever this process changes a file or directory through this layer (a write, a
// close, a delete, a rename, a new directory). A parsed copy of a file whose count has not
// moved need not ask the disk again, which under Wine costs a server round trip.
uint64_t ChangeCount();

}  // namespace vt::fs
