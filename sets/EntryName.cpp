#include "sets/EntryName.h"

#include <algorithm>
#include <array>
#include <cwctype>
#include <string_view>

#include "app/Cp949.h"

namespace vt {
namespace {

wchar_t AsciiUpper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return AsciiUpper(x) == AsciiUpper(y); });
}

// Windows maps these names to devices whatever the extension and trailing blanks or dots.
bool IsDeviceName(std::wstring_view component) {
    std::wstring_view stem = component.substr(0, component.find(L'.'));
    while (!stem.empty() && (stem.back() == L' ' || stem.back() == L'.')) {
        stem.remove_suffix(1);
    }
    static constexpr std::array<std::wstring_view, 6> kFixed = {L"CON", L"PRN",    L"AUX",
                                                                L"NUL", L"CONIN$", L"CONOUT$"};
    for (auto device : kFixed) {
        if (EqualsNoCase(stem, device)) {
            return true;
        }
    }
    if (stem.size() == 4 &&
        (EqualsNoCase(stem.substr(0, 3), L"COM") || EqualsNoCase(stem.substr(0, 3), L"LPT"))) {
        return stem[3] >= L'0' && stem[3] <= L'9';
    }
    return false;
}

}  // namespace

std::optional<std::wstring> UnsafeEntryName(const std::wstring& name,
                                            const std::wstring& reserved) {
    if (name.empty()) {
        return L"빈 파일 이름";
    }
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F) {
            return L"제어 문자가 들어 있는 파일 이름";
        }
        if (std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) {
            return L"Windows에서 쓸 수 없는 문자가 들어 있는 파일 이름";
        }
    }
    // The name is also the key of the local manifest, which could not record it faithfully.
    if (name.find(L'=') != std::wstring::npos || name.front() == L'[' || name.front() == L';') {
        return L"목록 파일에 기록할 수 없는 이름";
    }
    if (name.front() == L'\\' || name.front() == L'/') {
        return L"루트 또는 UNC 경로";
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) {
            end = name.size();
        }
        std::wstring_view component(name.data() + start, end - start);
        if (component.empty()) {
            return L"빈 경로 구성 요소";
        }
        if (component.find_first_not_of(L". ") == std::wstring_view::npos) {
            return L"'.' 또는 '..' 경로 구성 요소";
        }
        if (IsDeviceName(component)) {
            return L"장치 이름";
        }
        start = end + 1;
    }
    if (EqualsNoCase(LocalRelativePath(name), reserved)) {
        return L"세트의 목록 파일과 같은 이름";
    }
    return std::nullopt;
}

std::wstring EncodeForUrl(const std::wstring& name) {
    static constexpr std::string_view kSafe =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/!$&'()*+,;=@";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::wstring out;
    for (unsigned char b : ToCp949(name)) {
        if (kSafe.find(static_cast<char>(b)) != std::string_view::npos) {
            out.push_back(static_cast<wchar_t>(b));
        } else {
            out.push_back(L'%');
            out.push_back(static_cast<wchar_t>(kHex[b >> 4]));
            out.push_back(static_cast<wchar_t>(kHex[b & 0xF]));
        }
    }
    return out;
}

std::wstring LocalRelativePath(const std::wstring& name) {
    std::wstring out = name;
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

}  // namespace vt
