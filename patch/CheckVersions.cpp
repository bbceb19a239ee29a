#include "patch/CheckVersions.h"

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/EndProgram.h"
#include "base/FileSystem.h"
#include "base/Log.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Pins.h"
#include "patch/Refusal.h"
#include "patch/SignedProfile.h"
#include "patch/Texts.h"
#include "sets/SetSync.h"

namespace vt {
namespace {

constexpr wchar_t kSection[] = L"game";
constexpr wchar_t kProfileName[] = L"vtgame.ini";
constexpr wchar_t kPublishSection[] = L"publish";

// Runs `update` when the server's and the local value of `key` differ, then records the
// server's value. Values are opaque bytes: any difference, an older one included, is an
// update, and the record reads back as exactly the server's bytes (quoted when blanks or
// quotes would otherwise be lost), so the next start finds both equal.
void CheckKey(PatchHost& host, const std::wstring& key, const std::function<void()>& update) {
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
    host.BeforeChange();
    WriteProfileBytes(kSection, key, server, AppDir + kProfileName);
}

}  // namespace

void CheckVersions(PatchHost& host) {
    host.SetState(RunState::CheckingVersions);

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

    CheckKey(host, L"vtgame", [&] {
        std::optional<Pin> pin;
        if (host.Keyed()) {
            pin = PublishedPin(L"vt.exe");
            if (!pin) {
                Refuse(host, Refusal::DamagedFile, L"vt.exe");
            }
        }
        host.DownloadFileWithProgress(PatchBaseUrl + L"vt.exe", AppDir, L"vt.exe", L"", L"", pin);
        host.DoEvents();
    });
    CheckKey(host, L"sound", [&] { UpdateSoundSet(host); });
    CheckKey(host, L"graphics", [&] { UpdateGraphicsSet(host); });
    for (int16_t n = 1; n <= 5; ++n) {
        CheckKey(host, L"card" + std::to_wstring(n), [&] { UpdateCardSet(host, n); });
    }
}

std::string AcceptSignedProfile(PatchHost& host, const PatchPublicKey& key, int64_t nowUtc) {
    const std::wstring staged = TempDir + kProfileName;
    const std::wstring local = AppDir + kProfileName;
    const std::string bytes = fs::ReadWholeFile(staged).value_or(std::string());
    const std::string signature = fs::ReadWholeFile(staged + L".sig").value_or(std::string());
    // A line break never reads back as a value: it tells an absent key from an empty one.
    std::string expires;
    profile::GetString("publish", "expires", "\n", expires, kProfileBufferSize, staged);
    const std::string serial = ReadProfileBytes(kPublishSection, L"serial", staged);
    const uint64_t lastSerial = ParseSerial(ReadProfileBytes(kPublishSection, L"serial", local));

    const SignedProfile profile{
        std::as_bytes(std::span(bytes.data(), bytes.size())),
        std::as_bytes(std::span(signature.data(), signature.size())),
        expires == "\n" ? std::nullopt : std::optional<std::string_view>(expires), serial};
    switch (JudgeProfile(profile, key, nowUtc, lastSerial)) {
        case ProfileVerdict::BadSignature:
            Refuse(host, Refusal::Signature);
        case ProfileVerdict::Expired:
            Refuse(host, Refusal::Expired);
        case ProfileVerdict::Older:
            Refuse(host, Refusal::OlderPatch);
        case ProfileVerdict::Accepted:
            break;
    }
    const std::string accepted = std::to_string(ParseSerial(serial));
    LogLine(L"accepted the signed patch profile, serial " + FromCp949(accepted));
    return accepted;
}

void KeepSerial(const std::string& serial) {
    const std::wstring local = AppDir + kProfileName;
    if (serial != ReadProfileBytes(kPublishSection, L"serial", local)) {
        WriteProfileBytes(kPublishSection, L"serial", serial, local);
    }
}

}  // namespace vt
