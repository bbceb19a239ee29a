#include "base/ModGame.h"

#include <limits>
#include <string_view>

#include "base/AppError.h"
#include "base/Cp949.h"

namespace vt {

std::wstring AppDir;
std::wstring PatchBaseUrl;
std::wstring TempDir;
std::wstring SoundDir;
std::wstring DataDir;

void SetPathStrings(const std::wstring& exeDirectory) {
    AppDir = exeDirectory + L"\\";
    PatchBaseUrl = std::wstring(VT_PATCH_HOST) + L"/autopatch/";
    TempDir = AppDir + L"temp\\";
    SoundDir = AppDir + L"resource\\sound\\";
    DataDir = AppDir + L"resource\\data\\";
}

namespace {

int16_t CheckedCount(size_t value, const wchar_t* where) {
    if (value > static_cast<size_t>(std::numeric_limits<int16_t>::max())) {
        RaiseOverflow(where);
    }
    return static_cast<int16_t>(value);
}

}  // namespace

std::wstring AnsiLeft(std::wstring text, int16_t count) {
    if (count < 0) {
        RaiseInvalidArgument(L"AnsiLeft");
    }
    std::string bytes = ToCp949(text);
    if (static_cast<size_t>(count) >= bytes.size()) {
        return text;
    }
    return FromCp949(std::string_view(bytes).substr(0, static_cast<size_t>(count)));
}

std::wstring AnsiMid(std::wstring text, int16_t start, int16_t length) {
    if (start < 1 || length < 0) {
        RaiseInvalidArgument(L"AnsiMid");
    }
    std::string bytes = ToCp949(text);
    size_t from = static_cast<size_t>(start) - 1;
    if (from >= bytes.size()) {
        return {};
    }
    return FromCp949(std::string_view(bytes).substr(from, static_cast<size_t>(length)));
}

int16_t AnsiLen(std::wstring text) {
    return CheckedCount(ToCp949(text).size(), L"AnsiLen");
}

int16_t AnsiInStr(std::wstring text, std::wstring find) {
    std::string hay = ToCp949(text);
    if (hay.empty()) {
        return 0;
    }
    size_t pos = hay.find(ToCp949(find));
    if (pos == std::string::npos) {
        return 0;
    }
    return CheckedCount(pos + 1, L"AnsiInStr");
}

}  // namespace vt
