#include "sets/SetSync.h"

#include <limits>

#include "app/AppError.h"
#include "app/Directories.h"
#include "app/FileSystem.h"
#include "app/ModGame.h"
#include "app/NumberText.h"
#include "app/Texts.h"
#include "sets/EntryName.h"

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
    host.DownloadFile(set.remoteDir + set.manifestName, TempDir, set.manifestName, L"", L"");

    const std::wstring staged = TempDir + set.manifestName;
    const std::wstring local = set.localDir + set.manifestName;
    const int16_t count = ToInt16Bankers(Val(ReadProfileValue(set.section, L"count", staged)));

    bool directoryChecked = false;
    // A 16-bit loop counter: stepping past 32767 overflows, as the format's limit says.
    for (int32_t i = 1; i <= count; ++i) {
        const std::wstring entry = ReadProfileValue(set.section, std::to_wstring(i), staged);
        const int16_t colon = AnsiInStr(entry, L":");
        // No colon (a gap in the numbering included) is an invalid argument here.
        const std::wstring name = AnsiLeft(entry, static_cast<int16_t>(colon - 1));
        const std::wstring version = colon == 0
                                         ? std::wstring()
                                         : AnsiMid(entry, static_cast<int16_t>(colon + 1),
                                                   static_cast<int16_t>(AnsiLen(entry) - colon));

        const std::wstring installed = ReadProfileValue(set.section, name, local);
        if (version == installed) {
            continue;
        }
        const std::wstring fileName = name + set.entrySuffix;
        if (auto why = UnsafeEntryName(fileName, set.manifestName)) {
            throw AppError(ErrorNumber::BadFileName, set.manifestName + L" " + std::to_wstring(i) +
                                                         L"번 항목의 파일 이름을 "
                                                         L"받을 수 없습니다 (" +
                                                         *why + L"): " + fileName);
        }
        if (!directoryChecked) {
            EnsureDirectory(set.localDir.substr(0, set.localDir.size() - 1));
            directoryChecked = true;
        }
        const std::wstring relative = LocalRelativePath(fileName);
        EnsureParentDirectories(set.localDir, relative);
        host.DownloadFileWithProgress(set.remoteDir + EncodeForUrl(fileName), set.localDir,
                                      relative, L"", L"");
        host.DoEvents();
        WriteProfileValue(set.section, name, version, local);
    }
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
