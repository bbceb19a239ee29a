// Set synchronisation against a fake patch server: whatever the manifest and payloads, the run
// ends normally, with an error for the report (AppError) or with the program's end; nothing is
// ever written outside the installation, and every entry the local manifest records (its journal
// folded first) is a file holding the bytes served for it.
// Input: one byte choosing the set, then the manifest's bytes, then payloads, NUL between them.
// The k-th URL first asked for gets the k-th payload (the same one on later asks); a URL past
// the last payload is missing, as a 404.
#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "fuzz/FuzzSupport.h"
#include "sets/EntryName.h"
#include "sets/RecordJournal.h"
#include "sets/SetHost.h"
#include "sets/SetSync.h"

namespace vt::fuzz {
namespace {

class FakeHost final : public SetHost {
  public:
    FakeHost(std::string manifest, std::vector<std::string> payloads)
        : manifest_(std::move(manifest)), payloads_(std::move(payloads)) {}

    // Payloads by URL, as served.
    std::map<std::wstring, std::string> served;

    void DownloadFile(const std::wstring&, const std::wstring& directory,
                      const std::wstring& fileName, const std::wstring&, const std::wstring&,
                      const SizeBound&) override {
        Store(directory + fileName, manifest_);
    }
    void FetchManifestObject(const BatchFile&) override { EndProgram(); }  // never keyed
    void FetchPayloads(std::span<const BatchFile> files, BatchListener& listener) override {
        for (std::size_t i = 0; i < files.size(); ++i) {
            // A missing file ends the program, the installed copy untouched.
            auto it = served.find(files[i].url);
            if (it == served.end()) {
                if (served.size() == payloads_.size()) {
                    EndProgram();
                }
                it = served.emplace(files[i].url, payloads_[served.size()]).first;
            }
            if (i == 0) {
                listener.BeforeFirstPlace();
            }
            Store(files[i].directory + files[i].fileName, it->second);
            listener.Placed(i);
        }
    }
    bool Keyed() const override { return false; }
    void SetState(RunState) override {}
    [[noreturn]] void Fail(SetFault, const std::wstring&) override { EndProgram(); }
    void ShowMessage(const std::wstring&, const std::wstring&, MessageStyle) override {}
    void DoEvents() override {}

  private:
    static void Store(const std::wstring& target, const std::string& bytes) {
        auto out = fs::CreateOutputFile(target);
        if (!out || !out->Write(std::as_bytes(std::span(bytes.data(), bytes.size())))) {
            out.reset();
            fs::DeleteFile(target);
            throw AppError(ErrorNumber::PathFileAccess, target);
        }
    }

    std::string manifest_;
    std::vector<std::string> payloads_;
};

// Every entry below `root` but `skip`, with the bytes of each file, by relative path.
std::map<std::string, std::string> Listing(const std::string& root, const std::string& skip) {
    std::map<std::string, std::string> out;
    namespace stdfs = std::filesystem;
    for (auto it = stdfs::recursive_directory_iterator(root); it != stdfs::end(it); ++it) {
        const std::string path = it->path().string();
        if (path == skip) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string relative = path.substr(root.size());
        out[relative] = it->is_directory() ? "<dir>" : ReadRaw(FromUtf8(path));
    }
    return out;
}

std::wstring Sentinel() {
    return ScratchDir() + L"sentinel\\";
}
std::wstring Installation() {
    return Sentinel() + L"a\\b\\inst";
}

// The installation's surroundings: files and folders that must stay as they are.
void MakeSurroundings() {
    ResetDir(Sentinel());
    ResetDir(Sentinel() + L"a\\b\\temp");
    WriteRaw(Sentinel() + L"keep.ini", "[sound]\r\ncount=0\r\n");
    WriteRaw(Sentinel() + L"a\\vtsound.ini", "[sound]\r\ncount=0\r\n");
    WriteRaw(Sentinel() + L"a\\b\\temp\\vtgame.ini", "[vt]\r\n");
}

void MakeInstallation() {
    // The tree the patch window's load handler makes: card sets 1 to 4, no card5.
    for (const wchar_t* dir :
         {L"\\temp", L"\\resource\\sound", L"\\resource\\data\\card1", L"\\resource\\data\\card2",
          L"\\resource\\data\\card3", L"\\resource\\data\\card4"}) {
        std::filesystem::create_directories(NativePath(Installation() + dir));
    }
    SetPathStrings(Installation());
    profile::ClearCache();
}

SetParameters ChosenSet(uint8_t choice) {
    switch (choice % 7) {
        case 0:
            return SoundSetParameters();
        case 1:
            return GraphicsSetParameters();
        default:
            return CardSetParameters(static_cast<int16_t>(choice % 7 - 1));
    }
}

// Every recorded entry was fetched, and its file holds what was served for it or, where
// several names reach one file (a publisher's mistake the launcher does not refuse), for one
// of those names.
void CheckRecords(const SetParameters& set, const FakeHost& host) {
    const std::wstring local = set.Folder() + set.manifestName;
    std::map<std::wstring, std::vector<std::string>> servedByFile;
    std::vector<std::pair<std::wstring, std::string>> recorded;  // file, shown
    for (const auto& [section, key] : ProfileNames(ReadRaw(local))) {
        const std::wstring fileName = FromCp949(key) + set.entrySuffix;
        const std::string shown = "[" + Shown(section) + "] " + Shown(key);
        auto it = host.served.find(set.Url(EncodeForUrl(fileName)));
        Check(it != host.served.end(), "a recorded entry was never fetched", shown);
        const std::wstring file = set.Folder() + LocalRelativePath(fileName);
        servedByFile[file].push_back(it->second);
        recorded.emplace_back(file, shown);
    }
    for (const auto& [file, shown] : recorded) {
        const std::optional<std::string> bytes = fs::ReadWholeFile(file);
        Check(bytes.has_value(), "a recorded entry has no file", shown);
        const std::vector<std::string>& served = servedByFile[file];
        Check(std::find(served.begin(), served.end(), *bytes) != served.end(),
              "a recorded entry's file differs from what was served", shown + ": " + Shown(*bytes));
    }
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt;
    using namespace vt::fuzz;
    if (size == 0) {
        return 0;
    }
    static const bool surroundings = (MakeSurroundings(), true);
    (void)surroundings;
    static const std::string sentinelRoot = NativePath(Sentinel());
    static const std::string installRoot = NativePath(Installation());
    static const auto before = Listing(sentinelRoot, installRoot);

    std::vector<std::string_view> parts = Split(AsBytes(data + 1, size - 1), '\0');
    const std::string manifest(parts.front());
    std::vector<std::string> payloads(parts.begin() + 1, parts.end());
    ResetDir(Installation());
    MakeInstallation();
    const SetParameters set = ChosenSet(data[0]);
    FakeHost host(manifest, payloads);
    try {
        SyncSet(host, set);
    } catch (const AppError&) {
    } catch (const ProgramEnded&) {
    }
    // A run that ended early left its last records in the journal; they must hold as well.
    try {
        FoldJournal(set.section, set.Folder() + set.manifestName);
    } catch (const AppError&) {
    }
    Check(Listing(sentinelRoot, installRoot) == before,
          "something outside the installation changed");
    std::vector<std::string> top;
    for (const auto& entry : std::filesystem::directory_iterator(NativePath(ScratchDir()))) {
        top.push_back(entry.path().filename().string());
    }
    Check(top == std::vector<std::string>{"sentinel"}, "something appeared beside the sentinel");
    CheckRecords(set, host);
    return 0;
}
