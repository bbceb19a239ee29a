#include "patch/PatchKey.h"

#include "base/AppError.h"

namespace vt {

std::optional<PatchPublicKey> PatchKeyFromText(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::optional<PatchPublicKey> key = ParsePublicKeyHex(text);
    if (!key) {
        throw AppError(
            ErrorNumber::InternalError,
            L"이 프로그램의 패치 키가 올바르지 않습니다. 프로그램을 다시 설치해 주십시오.");
    }
    return key;
}

}  // namespace vt
