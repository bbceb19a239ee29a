#include <windows.h>

#include "base/Cp949.h"

namespace vt {
namespace {
constexpr UINT kKoreanCodePage = 949;
}

std::string ToCp949(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    int n = WideCharToMultiByte(kKoreanCodePage, 0, text.data(), static_cast<int>(text.size()),
                                nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return {};  // a system without code page 949: nothing converts
    }
    std::string out(static_cast<size_t>(n), '\0');
    n = WideCharToMultiByte(kKoreanCodePage, 0, text.data(), static_cast<int>(text.size()),
                            out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    return out;
}

std::wstring FromCp949(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    int n = MultiByteToWideChar(kKoreanCodePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                                nullptr, 0);
    if (n <= 0) {
        return {};  // a system without code page 949: nothing converts
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(kKoreanCodePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                            out.data(), n);
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    return out;
}

}  // namespace vt
