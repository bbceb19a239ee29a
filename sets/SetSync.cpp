#include "sets/SetSync.h"

#include <limits>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Directories.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/NumberText.h"
#include "format/Manifest.h"
#include "format/Pins.h"
#include "format/Sets.h"
#include "sets/EntryName.h"
#include "sets/RecordJournal.h"

namespace vt {

SetParameters ParametersOf(const format::PatchSet& set) {
    return {set.key, PatchBaseUrl + FromUtf8(set.folder), set.manifestName,
            AppDir + set.localFolder, set.suffix};
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

// The set's folder below AppDir, for names the player reads ("resource\sound\").
std::wstring SetFolder(const SetParameters& set) {
    return set.localDir.starts_with(AppDir) ? set.localDir.substr(AppDir.size()) : set.localDir;
}

// Fetches the set's manifest into TempDir and reads it, once. A signed profile pins the
// manifest; it is checked before a byte of it is read.
ManifestReading FetchManifest(SetHost& host, const SetParameters& set) {
    const std::wstring shown = SetFolder(set) + set.manifestName;
    std::optional<Pin> manifestPin;
    if (host.Keyed()) {
        const std::wstring remote = set.remoteDir.starts_with(PatchBaseUrl)
                                        ? set.remoteDir.substr(PatchBaseUrl.size())
                                        : set.remoteDir;
        manifestPin = PublishedPin(remote + set.manifestName);
        if (!manifestPin) {
            host.Fail(SetFault::DamagedFile, shown);
        }
    }
    const SizeBound bound = manifestPin ? SizeBound::Pinned(manifestPin->size, shown)
                                        : SizeBound::AtMost(format::kManifestMostBytes);
    host.DownloadFile(set.remoteDir + set.manifestName, TempDir, set.manifestName, L"", L"", bound);

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
// as it was, nothing fetched and nothing recorded. A gap is left to the fetch loop, which fails
// there after the entries before it.
void CheckEntryNames(const SetParameters& set, const ManifestReading& manifest) {
    const std::wstring setFolder = SetFolder(set);
    for (const ManifestLine& line : manifest.lines) {
        if (!line.entry) {
            continue;
        }
        const std::wstring& name = line.entry->name;
        const std::wstring fileName = name + set.entrySuffix;
        auto why = UnsafeEntryName(fileName, set.manifestName, setFolder);
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

// Fetches the manifest's entry of `line` when its version differs from the recorded one, and
// records it once it is in place.
void SyncEntry(SetHost& host, const SetParameters& set, const ManifestLine& line,
               RecordJournal& journal, bool& directoryChecked) {
    // No colon (a gap in the numbering included) is an invalid argument here.
    const ManifestEntry entry = line.entry ? *line.entry : ParseManifestEntry(line.text);
    const std::wstring& name = entry.name;
    const std::string& version = entry.version;

    // Bytes against bytes, recorded so that they read back unchanged: a version that only
    // compared equal after decoding, or that reading changes, would be wrong every run.
    if (version == journal.Recorded(name)) {
        return;
    }
    if (!ProfileCanRecord(version)) {
        throw AppError(ErrorNumber::InvalidArgument,
                       set.manifestName + L" " + std::to_wstring(line.index) +
                           L"번 항목의 버전을 기록할 수 없습니다: " + FromCp949(version));
    }
    const std::wstring fileName = name + set.entrySuffix;
    if (!directoryChecked) {
        EnsureDirectory(set.localDir.substr(0, set.localDir.size() - 1));
        directoryChecked = true;
    }
    const std::wstring relative = LocalRelativePath(fileName);
    if (host.Keyed() && !line.pin) {
        host.Fail(SetFault::DamagedFile, SetFolder(set) + relative);
    }
    EnsureParentDirectories(set.localDir, relative);
    host.DownloadFileWithProgress(set.remoteDir + EncodeForUrl(fileName), set.localDir, relative,
                                  L"", L"", host.Keyed() ? line.pin : std::nullopt);
    host.DoEvents();
    journal.Record(name, version);
}

}  // namespace

void SyncSet(SetHost& host, const SetParameters& set) {
    host.SetState(RunState::CheckingVersions);
    const ManifestReading manifest = FetchManifest(host, set);
    CheckEntryNames(set, manifest);

    // Records go to the journal beside the manifest, one append per file, and are folded into
    // the manifest when the set ends.
    RecordJournal journal(set.section, set.localDir + set.manifestName);
    bool directoryChecked = false;
    for (const ManifestLine& line : manifest.lines) {
        SyncEntry(host, set, line, journal, directoryChecked);
    }
    journal.Fold();
    // A 16-bit loop counter: stepping past 32767 overflows, as the format's limit says.
    if (manifest.lines.size() == static_cast<size_t>(std::numeric_limits<int16_t>::max())) {
        RaiseOverflow(L"manifest count");
    }
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
