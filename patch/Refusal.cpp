#include "patch/Refusal.h"

#include "base/EndProgram.h"
#include "base/Log.h"
#include "patch/Texts.h"

namespace vt {
namespace {

constexpr wchar_t kSignatureText[] =
    L"패치 정보의 서명을 확인할 수 없습니다.\r\n패치 서버의 파일이 변조되었을 수 있습니다.";
constexpr wchar_t kExpiredText[] = L"패치 정보의 유효 기간이 지났습니다.";
constexpr wchar_t kOlderPatchText[] = L"설치된 패치보다 오래된 패치입니다. 다시 접속하여 주십시오.";
constexpr wchar_t kBadSerialText[] = L"패치 정보의 일련번호가 올바르지 않습니다.";
constexpr wchar_t kDamagedFileText[] = L"받은 파일이 손상되었습니다: ";
constexpr wchar_t kKeyListMissingText[] =
    L"패치 서명 키 목록을 받을 수 없습니다. 다시 접속하여 주십시오.";
constexpr wchar_t kKeyListExpiredText[] = L"패치 서명 키 목록의 유효 기간이 지났습니다.";
constexpr wchar_t kOlderKeyListText[] =
    L"설치된 패치보다 오래된 서명 키 목록입니다. 다시 접속하여 주십시오.";
constexpr wchar_t kKeyListText[] =
    L"패치 서명 키 목록을 확인할 수 없습니다.\r\n패치 서버의 파일이 변조되었을 수 있습니다.";
constexpr wchar_t kSignerNotHeldText[] =
    L"패치에 서명한 키가 서명 키 목록에 없거나 기한이 지났습니다.\r\n"
    L"패치 서버의 파일이 변조되었을 수 있습니다.";

struct Said {
    std::wstring text;
    std::wstring line;
};

// The refusals of key lists: what the player reads and the log line naming the reason.
Said KeyListRefusal(Refusal why, const std::wstring& detail) {
    switch (why) {
        case Refusal::KeyListMissing:
            return {kKeyListMissingText, L"refused: key list missing " + detail};
        case Refusal::KeyListExpired:
            return {kKeyListExpiredText, L"refused: key list expired " + detail};
        case Refusal::OlderKeyList:
            return {kOlderKeyListText, L"refused: older key list " + detail};
        case Refusal::SignerNotHeld:
            return {kSignerNotHeldText, L"refused: signer not in the key list " + detail};
        default:
            return {kKeyListText, L"refused: key list " + detail};
    }
}

}  // namespace

void Refuse(MessageSink& sink, Refusal why, const std::wstring& detail) {
    std::wstring text;
    std::wstring line;
    switch (why) {
        case Refusal::Signature:
            text = kSignatureText;
            line = L"refused: signature";
            break;
        case Refusal::Expired:
            text = kExpiredText;
            line = L"refused: expired";
            break;
        case Refusal::OlderPatch:
            text = kOlderPatchText;
            line = L"refused: older patch";
            break;
        case Refusal::BadSerial:
            text = kBadSerialText;
            line = L"refused: serial";
            break;
        case Refusal::Replaced:
            // Another profile under the serial already installed is an older publish replayed.
            text = kOlderPatchText;
            line = L"refused: same serial, other profile";
            break;
        case Refusal::DamagedFile:
            text = kDamagedFileText + detail;
            line = L"refused: damaged file " + detail;
            break;
        case Refusal::KeyListMissing:
        case Refusal::KeyListExpired:
        case Refusal::OlderKeyList:
        case Refusal::KeyList:
        case Refusal::SignerNotHeld: {
            const Said said = KeyListRefusal(why, detail);
            text = said.text;
            line = said.line;
            break;
        }
    }
    LogLine(line);
    sink.ShowMessage(text, kUpgradeFailedTitle, MessageStyle::Plain);
    EndProgram();
}

}  // namespace vt
