#include <array>
#include <chrono>
#include <thread>

#include "base/FileSystem.h"
#include "selfupdate/SwapFs.h"

namespace vt::selfupdate {
namespace {

// An antivirus lets go of a file it scans within a moment; a few of these cover it.
constexpr auto kPause = std::chrono::milliseconds(200);

}  // namespace

bool DiskSwapFs::Exists(const std::wstring& path) {
    return fs::Exists(path);
}

std::optional<std::string> DiskSwapFs::Read(const std::wstring& path) {
    return fs::ReadWholeFile(path);
}

std::optional<FileIdentity> DiskSwapFs::Identify(const std::wstring& path) {
    std::array<std::byte, 64 * 1024> buffer{};
    Sha256 hash;
    uint64_t size = 0;
    const bool read = fs::ReadInBlocks(path, buffer, [&](std::span<const std::byte> block) {
        hash.Update(block);
        size += block.size();
    });
    if (!read) {
        return std::nullopt;
    }
    return FileIdentity{size, hash.Final()};
}

bool DiskSwapFs::Write(const std::wstring& path, std::string_view bytes) {
    const std::unique_ptr<fs::OutputFile> file = fs::CreateOutputFile(path);
    return file && file->Write(std::as_bytes(std::span(bytes.data(), bytes.size()))) &&
           file->Flush();
}

bool DiskSwapFs::MoveNew(const std::wstring& from, const std::wstring& to) {
    return fs::MoveNew(from, to);
}

bool DiskSwapFs::MoveOver(const std::wstring& from, const std::wstring& to) {
    return fs::ReplaceFile(from, to);
}

bool DiskSwapFs::Delete(const std::wstring& path) {
    return fs::DeleteFile(path);
}

bool DiskSwapFs::MakeDir(const std::wstring& path) {
    return fs::IsDirectory(path) || fs::CreateDir(path);
}

std::vector<std::wstring> DiskSwapFs::Names(const std::wstring& directory) {
    std::vector<std::wstring> names;
    for (const fs::ListedFile& file :
         fs::ListFiles(directory, [](const std::wstring&) { return false; })) {
        names.push_back(file.name);
    }
    return names;
}

void DiskSwapFs::Pause() {
    std::this_thread::sleep_for(kPause);
}

}  // namespace vt::selfupdate
