#include "sets/SetSync.h"

#include <algorithm>
#include <exception>
#include <future>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Crypto.h"
#include "base/Directories.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/NumberText.h"
#include "base/Profile.h"
#include "format/Manifest.h"
#include "format/Pins.h"
#include "format/Sets.h"
#include "sets/EntryName.h"
#include "sets/RecordJournal.h"

namespace vt {

std::wstring SetParameters::Url(const std::wstring& encodedName) const {
    return PatchBaseUrl + served + encodedName;
}

std::wstring SetParameters::Folder() const {
    return AppDir + installed;
}

SetParameters ParametersOf(const format::PatchSet& set) {
    return {set.key, FromUtf8(set.folder), set.manifestName, set.localFolder, set.suffix};
}

SetParameters SoundSetParameters() {
    return ParametersOf(format::PatchSetOf(L"sound"));
}

SetParameters GraphicsSetParameters() {
    return ParametersOf(format::PatchSetOf(L"graphics"));
}

SetParameters CardSetParameters(int16_t setNumber) {
    return ParametersOf(format::PatchSetOf(L"card" + std::to_wstring(setNumber)));
}

namespace {

// Fetches the set's manifest into TempDir and reads it, once. A signed profile pins the
// manifest; it is checked before a byte of it is read.
ManifestReading FetchManifest(SetHost& host, const SetParameters& set) {
    const std::wstring shown = set.installed + set.manifestName;
    std::optional<Pin> manifestPin;
    if (host.Keyed()) {
        manifestPin = PublishedPin(set.served + set.manifestName);
        if (!manifestPin) {
            host.Fail(SetFault::DamagedFile, shown);
        }
    }
    if (manifestPin) {
        const std::wstring part = FromUtf8(DigestHex(manifestPin->sha256)) + L".part";
        host.FetchManifestObject({ObjectUrl(*manifestPin), TempDir, set.manifestName, shown,
                                  TempDir + part, manifestPin});
    } else {
        host.DownloadFile(set.Url(set.manifestName), TempDir, set.manifestName, L"", L"",
                          SizeBound::AtMost(format::kManifestMostBytes));
    }

    const std::wstring staged = TempDir + set.manifestName;
    std::optional<std::string> bytes =
        manifestPin ? ReadPinnedFile(staged, *manifestPin) : fs::ReadWholeFile(staged);
    if (manifestPin && !bytes) {
        fs::DeleteFile(staged);  // refused: none of it stays
        host.Fail(SetFault::DamagedFile, shown);
    }
    // "200" with something else than the manifest (a proxy's error page) is a failed download:
    // taken for an empty set, it would let the caller record the set's new version.
    ManifestReading reading = ReadManifest(bytes ? std::move(*bytes) : std::string(), set.section);
    if (!IsManifestCount(reading.countText)) {
        host.Fail(SetFault::NotAManifest, shown);
    }
    // The count as the launcher counts: a number past 16 bits stops the run with an overflow.
    ToInt16Bankers(Val(FromCp949(reading.countText)));
    return reading;
}

// Every name is checked before the set's first file is fetched: a refused name leaves the set
// as it was, nothing fetched and nothing recorded. A gap is left to the plan, which stops
// there after the entries before it.
void VetEntryNames(const SetParameters& set, const ManifestReading& manifest) {
    for (const ManifestLine& line : manifest.lines) {
        if (!line.entry) {
            continue;
        }
        const std::wstring& name = line.entry->name;
        const std::wstring fileName = name + set.entrySuffix;
        auto why = UnsafeEntryName(fileName, set.manifestName, set.installed);
        if (!why) {
            why = UnrecordableEntryName(name);  // the key: without the suffix
        }
        if (why) {
            throw AppError(ErrorNumber::BadFileName,
                           set.manifestName + L" " + std::to_wstring(line.index) +
                               L"번 항목의 파일 이름을 받을 수 없습니다 (" + *why + L"): " +
                               fileName);
        }
    }
}

// The set's installed files by folded name below the set's folder, from one listing that
// enters only the subfolders the names given lie in (the graphics set's folder holds the card
// sets' folders).
class InstalledFiles {
  public:
    InstalledFiles(const std::wstring& folder, const std::vector<std::wstring>& relatives) {
        std::unordered_set<std::wstring> folders;
        for (const std::wstring& name : relatives) {
            if (name.find(L'\\') == std::wstring::npos) {
                continue;  // directly in the set's folder: no folder to enter
            }
            const std::wstring relative = fs::FoldedName(name);
            for (size_t at = relative.find(L'\\'); at != std::wstring::npos;
                 at = relative.find(L'\\', at + 1)) {
                folders.insert(relative.substr(0, at));
            }
        }
        const auto enter = [&folders](const std::wstring& sub) {
            return folders.contains(fs::FoldedName(sub));
        };
        std::vector<fs::ListedFile> listed = fs::ListFiles(folder, enter);
        sizes_.reserve(listed.size());
        for (fs::ListedFile& file : listed) {
            sizes_.emplace(fs::FoldedName(file.name), file.size);
        }
    }
    std::optional<uint64_t> Size(const std::wstring& relative) const {
        const auto it = sizes_.find(fs::FoldedName(relative));
        return it == sizes_.end() ? std::nullopt : std::optional<uint64_t>(it->second);
    }
    void Planned(const std::wstring& relative, std::optional<uint64_t> size) {
        sizes_[fs::FoldedName(relative)] = size.value_or(0);
    }

  private:
    std::unordered_map<std::wstring, uint64_t> sizes_;
};

std::vector<std::wstring> EntryFiles(const SetParameters& set, const ManifestReading& manifest) {
    std::vector<std::wstring> out;
    out.reserve(manifest.lines.size());
    for (const ManifestLine& line : manifest.lines) {
        if (line.entry) {
            out.push_back(LocalRelativePath(line.entry->name + set.entrySuffix));
        }
    }
    return out;
}

struct PlannedFile {
    size_t line = 0;        // in the manifest's lines
    std::wstring relative;  // below the set's folder
};

// What the run fetches, in the manifest's order, and where it has to stop: a line it cannot
// fetch (a gap, a version that cannot be recorded, a signed entry without a pin) ends the run
// once the files before it are in place, as if it had been fetched one by one.
struct SetPlan {
    std::vector<PlannedFile> files;
    std::exception_ptr stop;
    std::optional<std::wstring> unpinned;  // installation-relative
};

// Whether `line`'s file has to be fetched. An empty version is never fetched: it cannot be told
// from no record, and older launchers never fetched it.
bool Outdated(const ManifestLine& line, const std::string& recorded,
              std::optional<uint64_t> installedSize, bool keyed) {
    const std::string& version = line.entry->version;
    if (version != recorded) {
        return true;
    }
    if (version.empty()) {
        return false;
    }
    return !installedSize || (keyed && line.pin && line.pin->size != *installedSize);
}

// What the manifest and the journal record for each line's entry before the run ("" for a line
// without one), by the lines' index.
std::vector<std::string> RecordedBefore(const ManifestReading& manifest,
                                        const RecordJournal& journal) {
    std::vector<std::string> out(manifest.lines.size());
    for (size_t i = 0; i < manifest.lines.size(); ++i) {
        if (manifest.lines[i].entry) {
            out[i] = journal.Recorded(manifest.lines[i].entry->name);
        }
    }
    return out;
}

// Later entries see what earlier ones will have recorded and placed: a name listed twice is
// fetched again only when its version differs again.
SetPlan PlanFetches(const SetParameters& set, const ManifestReading& manifest,
                    const std::vector<std::string>& recordedBefore, InstalledFiles installed,
                    bool keyed) {
    SetPlan plan;
    std::unordered_map<std::string, std::string> planned;  // by profile::LookupName, as records
    for (size_t i = 0; i < manifest.lines.size() && !plan.stop && !plan.unpinned; ++i) {
        const ManifestLine& line = manifest.lines[i];
        if (!line.entry) {
            // No colon (a gap in the numbering included) is an invalid argument here.
            try {
                ParseManifestEntry(line.text);
            } catch (...) {
                plan.stop = std::current_exception();
            }
            continue;
        }
        const ManifestEntry& entry = *line.entry;
        const auto key = [&entry] { return profile::LookupName(ToCp949(entry.name)); };
        const auto seen = planned.empty() ? planned.end() : planned.find(key());
        const std::string recorded = seen != planned.end() ? seen->second : recordedBefore[i];
        const std::wstring relative = LocalRelativePath(entry.name + set.entrySuffix);
        if (!Outdated(line, recorded, installed.Size(relative), keyed)) {
            continue;
        }
        // Bytes against bytes, recorded so that they read back unchanged: a version that only
        // compared equal after decoding, or that reading changes, would be wrong every run.
        if (!ProfileCanRecord(entry.version)) {
            plan.stop = std::make_exception_ptr(
                AppError(ErrorNumber::InvalidArgument,
                         set.manifestName + L" " + std::to_wstring(line.index) +
                             L"번 항목의 버전을 기록할 수 없습니다: " + FromCp949(entry.version)));
        } else if (keyed && !line.pin) {
            plan.unpinned = set.installed + relative;
        } else {
            plan.files.push_back({i, relative});
            planned[key()] = entry.version;
            installed.Planned(relative, line.pin ? std::optional(line.pin->size) : std::nullopt);
        }
    }
    return plan;
}

// Records each file right after it is in place, and keeps what must be kept before the first
// one replaces an installed file.
class RecordOnPlacement final : public BatchListener {
  public:
    RecordOnPlacement(SetHost& host, const ManifestReading& manifest, const SetPlan& plan,
                      RecordJournal& journal)
        : host_(host), manifest_(manifest), plan_(plan), journal_(journal) {}

    void BeforeFirstPlace() override { host_.BeforeChange(); }
    void Placed(std::size_t index) override {
        const ManifestEntry& entry = *manifest_.lines[plan_.files[index].line].entry;
        journal_.Record(entry.name, entry.version);
        host_.DoEvents();
    }

  private:
    SetHost& host_;
    const ManifestReading& manifest_;
    const SetPlan& plan_;
    RecordJournal& journal_;
};

// With a pin the part is named after its content, so a later run continues it only for the
// same file; without one after the entry's place in the manifest, so parts of one set never
// share a name.
std::wstring StagingPath(const SetParameters& set, const ManifestLine& line, bool keyed) {
    if (keyed && line.pin) {
        return TempDir + FromUtf8(DigestHex(line.pin->sha256)) + L".part";
    }
    return TempDir + set.section + L"-" + std::to_wstring(line.index) + L".part";
}

void FetchPlanned(SetHost& host, const SetParameters& set, const ManifestReading& manifest,
                  const SetPlan& plan, RecordJournal& journal) {
    if (plan.files.empty()) {
        return;
    }
    const std::wstring folder = set.Folder();
    EnsureDirectory(folder.substr(0, folder.size() - 1));
    std::vector<BatchFile> batch;
    batch.reserve(plan.files.size());
    for (const PlannedFile& file : plan.files) {
        const ManifestLine& line = manifest.lines[file.line];
        EnsureParentDirectories(folder, file.relative);
        const bool keyed = host.Keyed() && line.pin;
        batch.push_back({keyed ? ObjectUrl(*line.pin)
                               : set.Url(EncodeForUrl(line.entry->name + set.entrySuffix)),
                         folder, file.relative, set.installed + file.relative,
                         StagingPath(set, line, host.Keyed()),
                         host.Keyed() ? line.pin : std::nullopt});
    }
    RecordOnPlacement listener(host, manifest, plan, journal);
    host.FetchPayloads(batch, listener);
}

}  // namespace

void SyncSet(SetHost& host, const SetParameters& set) {
    host.SetState(RunState::CheckingVersions);
    const ManifestReading manifest = FetchManifest(host, set);
    // The folder is listed while the names are vetted and the records read: the listing only
    // reads, and under Wine it takes about as long as all the rest of a current set's run.
    std::future<InstalledFiles> listing = std::async(std::launch::async, [&set, &manifest] {
        return InstalledFiles(set.Folder(), EntryFiles(set, manifest));
    });
    VetEntryNames(set, manifest);

    // Records go to the journal beside the manifest, one append per file, and are folded into
    // the manifest when the set ends.
    RecordJournal journal(set.section, set.Folder() + set.manifestName);
    const std::vector<std::string> recorded = RecordedBefore(manifest, journal);
    const SetPlan plan = PlanFetches(set, manifest, recorded, listing.get(), host.Keyed());
    FetchPlanned(host, set, manifest, plan, journal);
    if (plan.unpinned) {
        host.Fail(SetFault::DamagedFile, *plan.unpinned);
    }
    if (plan.stop) {
        std::rethrow_exception(plan.stop);
    }
    journal.Fold();
    // A 16-bit loop counter: stepping past 32767 overflows, as the format's limit says.
    if (manifest.lines.size() == static_cast<size_t>(std::numeric_limits<int16_t>::max())) {
        RaiseOverflow(L"manifest count");
    }
}

bool RecordedFileMissing(const SetParameters& set) {
    std::vector<std::wstring> files;
    for (const std::string& key :
         profile::KeyNames(ToCp949(set.section), set.Folder() + set.manifestName)) {
        files.push_back(LocalRelativePath(FromCp949(key) + set.entrySuffix));
    }
    const InstalledFiles installed(set.Folder(), files);
    return std::any_of(files.begin(), files.end(),
                       [&installed](const std::wstring& file) { return !installed.Size(file); });
}

void UpdateSoundSet(SetHost& host) {
    SyncSet(host, SoundSetParameters());
}

void UpdateGraphicsSet(SetHost& host) {
    SyncSet(host, GraphicsSetParameters());
}

void UpdateCardSet(SetHost& host, const int16_t& setNumber) {
    SyncSet(host, CardSetParameters(setNumber));
}

}  // namespace vt
