// Set synchronisation of a 32,766-entry manifest whose files are all current: our profile
// engine against the same check made with the platform's GetPrivateProfileStringA, in one run;
// and the check a start makes of a current set: are the files it records all there.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/Cp949.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Manifest.h"
#include "patch/CheckVersions.h"
#include "sets/EntryName.h"
#include "sets/RecordJournal.h"
#include "sets/SetSync.h"

namespace {

constexpr int kEntries = 32766;
constexpr int kRuns = 5;

// Serves the staged manifest from a file prepared beforehand; nothing else is ever fetched.
class LocalHost final : public vt::PatchHost {
  public:
    explicit LocalHost(std::string manifest) : manifest_(std::move(manifest)) {}
    int payloads = 0;
    int manifests = 0;
    void DownloadFile(const std::wstring&, const std::wstring& directory,
                      const std::wstring& fileName, const std::wstring&, const std::wstring&,
                      const vt::SizeBound&) override {
        ++manifests;
        auto out = vt::fs::CreateOutputFile(directory + fileName);
        out->Write(std::as_bytes(std::span(manifest_.data(), manifest_.size())));
    }
    void FetchManifestObject(const vt::BatchFile& file) override {
        DownloadFile(file.url, file.directory, file.fileName, L"", L"", {});
    }
    void FetchPayloads(std::span<const vt::BatchFile> files, vt::BatchListener&) override {
        payloads += static_cast<int>(files.size());
    }
    bool Keyed() const override { return false; }
    void SetState(vt::RunState) override {}
    [[noreturn]] void Fail(vt::SetFault, const std::wstring&) override {
        std::fputs("the set run failed\n", stderr);
        std::exit(1);
    }
    void ShowMessage(const std::wstring&, const std::wstring&, vt::MessageStyle) override {}
    void DoEvents() override {}

  private:
    std::string manifest_;
};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The same loop through the platform's profile functions: count, then per entry one read of
// the staged and one of the local manifest, split at the first colon, compare.
int PlatformCheck(const std::string& staged, const std::string& local) {
    char buf[1024];
    GetPrivateProfileStringA("sound", "count", "", buf, sizeof buf, staged.c_str());
    int count = atoi(buf);
    int outdated = 0;
    for (int i = 1; i <= count; ++i) {
        DWORD n = GetPrivateProfileStringA("sound", std::to_string(i).c_str(), "", buf, sizeof buf,
                                           staged.c_str());
        std::string entry(buf, n);
        size_t colon = entry.find(':');
        std::string name = entry.substr(0, colon), version = entry.substr(colon + 1);
        n = GetPrivateProfileStringA("sound", name.c_str(), "", buf, sizeof buf, local.c_str());
        if (version != std::string(buf, n)) {
            ++outdated;
        }
    }
    return outdated;
}

// The installation's folder: the one given (setsync.sh makes the set's files from Linux, which
// is much faster than under Wine), else one in the temporary folder.
std::wstring BenchFolder(int argc, char** argv) {
    if (argc > 1) {
        return vt::FromCp949(argv[1]);  // the arguments come in the ANSI code page, 949 here
    }
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    return std::wstring(tmp) + L"vt-setsync-bench";
}

// Every entry's file, so that the set is current on disk too; made once, kept between runs.
void MakeSetFiles() {
    for (int i = 1; i <= kEntries; ++i) {
        const std::wstring path = vt::SoundDir + L"sound_file_" + std::to_wstring(i) + L".wav";
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            auto out = vt::fs::CreateOutputFile(path);
            out->Write(std::as_bytes(std::span("x", 1)));
        }
    }
}

// The set run's steps, each timed alone the way SyncSet takes them, to say where its time goes.
void TimeSteps(const std::string& manifestBytes) {
    const vt::SetParameters set = vt::SoundSetParameters();
    vt::profile::ClearCache();
    auto t0 = std::chrono::steady_clock::now();
    const vt::ManifestReading manifest = vt::ReadManifest(manifestBytes, set.section);
    auto t1 = std::chrono::steady_clock::now();
    std::printf("  read the manifest:            %.3f s\n", Seconds(t1 - t0));
    size_t refused = 0;
    for (const vt::ManifestLine& line : manifest.lines) {
        const std::wstring& name = line.entry->name;
        refused += vt::UnsafeEntryName(name + set.entrySuffix, set.manifestName, set.installed) ||
                   vt::UnrecordableEntryName(name);
    }
    t0 = std::chrono::steady_clock::now();
    std::printf("  vet the names:                %.3f s (%zu refused)\n", Seconds(t0 - t1),
                refused);
    std::vector<std::wstring> relatives;
    for (const vt::ManifestLine& line : manifest.lines) {
        relatives.push_back(vt::LocalRelativePath(line.entry->name + set.entrySuffix));
    }
    size_t present = 0;
    for (const vt::fs::ListedFile& file :
         vt::fs::ListFiles(set.Folder(), [](const std::wstring&) { return false; })) {
        present += !vt::fs::FoldedName(file.name).empty();
    }
    t1 = std::chrono::steady_clock::now();
    std::printf("  list and fold installed files: %.3f s (%zu)\n", Seconds(t1 - t0), present);
    vt::RecordJournal journal(set.section, set.Folder() + set.manifestName);
    size_t recorded = 0;
    for (const vt::ManifestLine& line : manifest.lines) {
        recorded += !journal.Recorded(line.entry->name).empty();
    }
    t0 = std::chrono::steady_clock::now();
    std::printf("  recorded versions:            %.3f s (%zu)\n", Seconds(t0 - t1), recorded);
}

}  // namespace

int main(int argc, char** argv) {
    const std::wstring base = BenchFolder(argc, argv);
    CreateDirectoryW(base.c_str(), nullptr);
    vt::SetPathStrings(base);
    for (const wchar_t* sub : {L"resource", L"resource\\sound", L"resource\\data", L"temp"}) {
        CreateDirectoryW((vt::AppDir + sub).c_str(), nullptr);
    }
    if (argc <= 1) {
        MakeSetFiles();
    }
    std::string manifest = "[sound]\r\ncount=" + std::to_string(kEntries) + "\r\n";
    std::string local = "[sound]\r\n";
    for (int i = 1; i <= kEntries; ++i) {
        std::string name = "sound_file_" + std::to_string(i) + ".wav";
        std::string version = "1.0." + std::to_string(i % 97);
        manifest += std::to_string(i) + "=" + name + ":" + version + "\r\n";
        local += name + "=" + version + "\r\n";
    }
    {
        auto out = vt::fs::CreateOutputFile(vt::SoundDir + L"vtsound.ini");
        out->Write(std::as_bytes(std::span(local.data(), local.size())));
    }
    LocalHost host(manifest);

    // A start whose profile says the set is current: the version check in all, read cold as a
    // fresh process reads it, which opens no set unless a recorded file is missing; and the
    // folder's listing alone.
    for (const std::wstring& profile : {vt::AppDir + L"vtgame.ini", vt::TempDir + L"vtgame.ini"}) {
        auto out = vt::fs::CreateOutputFile(profile);
        const std::string text = "[game]\r\ngame=1\r\nsound=7\r\n";
        out->Write(std::as_bytes(std::span(text.data(), text.size())));
    }
    vt::profile::ClearCache();
    auto t0 = std::chrono::steady_clock::now();
    vt::CheckVersions(host);
    const double start = Seconds(std::chrono::steady_clock::now() - t0);
    const bool missing = host.payloads != 0 || host.manifests != 0;
    t0 = std::chrono::steady_clock::now();
    const size_t listed =
        vt::fs::ListFiles(vt::SoundDir, [](const std::wstring&) { return true; }).size();
    const double listing = Seconds(std::chrono::steady_clock::now() - t0);

    // The median of a few runs, each from a cold parsed copy: the machine is shared, and one
    // run is easily slowed down by a third by whatever else runs.
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run) {
        vt::profile::ClearCache();
        t0 = std::chrono::steady_clock::now();
        vt::UpdateSoundSet(host);
        runs.push_back(Seconds(std::chrono::steady_clock::now() - t0));
    }
    std::sort(runs.begin(), runs.end());
    const double ours = runs[runs.size() / 2];

    std::printf("where a set run's time goes:\n");
    TimeSteps(manifest);

    std::string stagedA = vt::ToCp949(vt::TempDir + L"vtsound.ini");
    std::string localA = vt::ToCp949(vt::SoundDir + L"vtsound.ini");
    t0 = std::chrono::steady_clock::now();
    int outdated = PlatformCheck(stagedA, localA);
    double platform = Seconds(std::chrono::steady_clock::now() - t0);

    std::printf("entries: %d, fetched by ours: %d, outdated by platform check: %d\n", kEntries,
                host.payloads, outdated);
    std::printf("set synchronisation, our engine:        %.3f s (median of %d; fastest %.3f s)\n",
                ours, kRuns, runs.front());
    std::printf("same check, GetPrivateProfileStringA:   %.3f s\n", platform);
    std::printf("speed-up: %.1fx (goal: ours < 0.25 s and >= 50x)\n", platform / ours);
    std::printf("start with the set current (version check, presence of its files): %.3f s%s\n",
                start, missing ? " (the set was opened)" : "");
    std::printf("one listing of the set's folder (%zu files):              %.3f s\n", listed,
                listing);
    DeleteFileW((vt::TempDir + L"vtsound.ini").c_str());
    DeleteFileW((vt::SoundDir + L"vtsound.ini").c_str());
    return host.payloads == 0 && outdated == 0 && !missing ? 0 : 1;
}
