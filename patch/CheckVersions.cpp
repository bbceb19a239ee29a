#include "patch/CheckVersions.h"

#include <functional>
#include <string>

#include "app/AppError.h"
#include "app/Cp949.h"
#include "app/EndProgram.h"
#include "app/Log.h"
#include "app/ModGame.h"
#include "app/Texts.h"
#include "sets/SetSync.h"

namespace vt {
namespace {

constexpr wchar_t kSection[] = L"game";
constexpr wchar_t kProfileName[] = L"vtgame.ini";

// Runs `update` when the server's and the local value of `key` differ, then records the
// server's value. Values are opaque bytes: any difference, an older one included, is an
// update, and the record reads back as exactly the server's bytes (quoted when blanks or
// quotes would otherwise be lost), so the next start finds both equal.
void CheckKey(const std::wstring& key, const std::function<void()>& update) {
    const std::string server = ReadProfileBytes(kSection, key, TempDir + kProfileName);
    const std::string local = ReadProfileBytes(kSection, key, AppDir + kProfileName);
    if (server == local) {
        return;
    }
    if (!ProfileCanRecord(server)) {
        // Checked first: an update whose version cannot be kept would run on every start.
        throw AppError(ErrorNumber::InvalidArgument,
                       std::wstring(kProfileName) + L" [" + kSection + L"] " + key +
                           L" 값을 기록할 수 없습니다: " + FromCp949(server));
    }
    update();
    WriteProfileBytes(kSection, key, server, AppDir + kProfileName);
}

}  // namespace

void CheckVersions(PatchHost& host) {
    host.SetState(kCheckingVersionState);

    const std::string serverGame = ReadProfileBytes(kSection, L"game", TempDir + kProfileName);
    const std::string localGame = ReadProfileBytes(kSection, L"game", AppDir + kProfileName);
    if (serverGame != localGame) {
        LogLine(L"refused: launcher version " + FromCp949(localGame) + L" here, " +
                FromCp949(serverGame) + L" on the patch server");
        host.ShowMessage(
            L"자동 패치 프로그램을 사용할 수 없습니다.\r\n"
            L"새로운 버전을 홈페이지에서 다운로드 받으신후 설치 해주십시오.",
            kUpgradeFailedTitle, MessageStyle::Exclamation);
        EndProgram();
    }

    CheckKey(L"vtgame", [&] {
        host.DownloadFileWithProgress(PatchBaseUrl + L"vt.exe", AppDir, L"vt.exe", L"", L"");
        host.DoEvents();
    });
    CheckKey(L"sound", [&] { UpdateSoundSet(host); });
    CheckKey(L"graphics", [&] { UpdateGraphicsSet(host); });
    for (int16_t n = 1; n <= 5; ++n) {
        CheckKey(L"card" + std::to_wstring(n), [&] { UpdateCardSet(host, n); });
    }
}

}  // namespace vt
