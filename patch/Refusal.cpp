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

}  // namespace

void Refuse(MessageSink& sink, Refusal why, const std::wstring& fileName) {
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
            text = kDamagedFileText + fileName;
            line = L"refused: damaged file " + fileName;
            break;
    }
    LogLine(line);
    sink.ShowMessage(text, kUpgradeFailedTitle, MessageStyle::Plain);
    EndProgram();
}

}  // namespace vt
