#include "sets/SetSync.h"

#include <limits>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/Directories.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/NumberText.h"
#include "base/Refusal.h"
#include "base/Texts.h"
#include "format/Manifest.h"
#include "format/Pins.h"
#include "sets/EntryName.h"
#include "sets/RecordJournal.h"

namespace vt {

SetParameters SoundSetParameters() {
    return {L"sound", PatchBaseUrl + L"resource/sound/", L"vtsound.ini", SoundDir, L""};
}

SetParameters GraphicsSetParameters() {
    return {L"graphics", PatchBaseUrl + L"resource/data/", L"graphics.ini", DataDir, L""};
}

SetParameters CardSetParameters(int16_t setNumber) {
    std::wstring n = std::to_wstring(setNumber);
    return {L"card" + n, PatchBaseUrl + L"resource/data/card" + n + L"/", L"vtcard" + n + L".ini",
            DataDir + L"card" + n + L"\\", L".dat"};
}

void SyncSet(SetHost& host, const SetParameters& set) {
    host.SetState(kCheckingVersionState);
    const std::wstring setFolder =
        set.localDir.starts_with(AppDir) ? set.localDir.substr(AppDir.size()) : set.localDir;
    // A signed profile pins the manifest; it is checked before a byte of it is read.
    std::optional<Pin> manifestPin;
    if (host.Keyed()) {
        const std::wstring remote = set.remoteDir.starts_with(PatchBaseUrl)
                                        ? set.remoteDir.substr(PatchBaseUrl.size())
                                        : set.remoteDir;
        manifestPin = PublishedPin(remote + set.manifestName);
        if (!manifestPin) {
            Refuse(host, Refusal::DamagedFile, setFolder + set.manifestName);
        }
    }
    host.DownloadFile(set.remoteDir + set.manifestName, TempDir, set.manifestName, L"", L"");

    const std::wstring staged = TempDir + set.manifestName;
    const std::wstring local = set.localDir + set.manifestName;
    if (manifestPin && !FileMatchesPin(staged, *manifestPin)) {
        Refuse(host, Refusal::DamagedFile, setFolder + set.manifestName);
    }
    // "200" with something else than the manifest (a proxy's error page) is a failed download:
    // taken for an empty set, it would let the caller record the set's new version.
    if (!IsManifest(staged, set.section)) {
        host.ShowMessage(kReconnectText, kUpgradeFailedTitle, MessageStyle::Plain);
        EndProgram();
    }
    const int16_t count = ToInt16Bankers(Val(ReadProfileValue(set.section, L"count", staged)));

    // Every name is checked before the set's first file is fetched: a refused name leaves the
    // set as it was, nothing fetched and nothing recorded. A gap is left to the loop below,
    // which fails there after the entries before it.
    for (int32_t i = 1; i <= count; ++i) {
        const std::string entry = ReadProfileBytes(set.section, std::to_wstring(i), staged);
        if (entry.find(':') == std::string::npos) {
            continue;
        }
        const std::wstring name = ParseManifestEntry(entry).name;
        const std::wstring fileName = name + set.entrySuffix;
        auto why = UnsafeEntryName(fileName, set.manifestName, setFolder);
        if (!why) {
            why = UnrecordableEntryName(name);  // the key: without the suffix
        }
        if (why) {
            throw AppError(ErrorNumber::BadFileName, set.manifestName + L" " + std::to_wstring(i) +
                                                         L"번 항목의 파일 이름을 "
                                                         L"받을 수 없습니다 (" +
                                                         *why + L"): " + fileName);
        }
    }

    // Records go to the journal beside the manifest, one append per file, and are folded into
    // the manifest when the set ends.
    RecordJournal journal(set.section, local);
    bool directoryChecked = false;
    // A 16-bit loop counter: stepping past 32767 overflows, as the format's limit says.
    for (int32_t i = 1; i <= count; ++i) {
        // No colon (a gap in the numbering included) is an invalid argument here.
        const ManifestEntry entry =
            ParseManifestEntry(ReadProfileBytes(set.section, std::to_wstring(i), staged));
        const std::wstring& name = entry.name;
        const std::string& version = entry.version;

        // Bytes against bytes, recorded so that they read back unchanged: a version that only
        // compared equal after decoding, or that reading changes, would be wrong every run.
        if (version == journal.Recorded(name)) {
            continue;
        }
        if (!ProfileCanRecord(version)) {
            throw AppError(ErrorNumber::InvalidArgument,
                           set.manifestName + L" " + std::to_wstring(i) +
                               L"번 항목의 버전을 기록할 수 없습니다: " + FromCp949(version));
        }
        const std::wstring fileName = name + set.entrySuffix;
        if (!directoryChecked) {
            EnsureDirectory(set.localDir.substr(0, set.localDir.size() - 1));
            directoryChecked = true;
        }
        const std::wstring relative = LocalRelativePath(fileName);
        std::optional<Pin> pin;
        if (manifestPin) {
            pin = EntryPin(staged, set.section, name);
            if (!pin) {
                Refuse(host, Refusal::DamagedFile, setFolder + relative);
            }
        }
        EnsureParentDirectories(set.localDir, relative);
        host.DownloadFileWithProgress(set.remoteDir + EncodeForUrl(fileName), set.localDir,
                                      relative, L"", L"", pin);
        host.DoEvents();
        journal.Record(name, version);
    }
    journal.Fold();
    if (count == std::numeric_limits<int16_t>::max()) {
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
