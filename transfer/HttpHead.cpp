#include "transfer/HttpHead.h"

#include <algorithm>
#include <cwctype>

namespace vt {
namespace {

constexpr std::wstring_view kLineEnd = L"\r\n";

// A line's CR is cut off its end only, so a value of blanks and CRs is empty, not "\r ".
std::wstring_view Trim(std::wstring_view text) {
    const size_t b = text.find_first_not_of(L" \t");
    const size_t e = text.find_last_not_of(L" \t\r");
    if (b == std::wstring_view::npos || e == std::wstring_view::npos) {
        return {};
    }
    return text.substr(b, e - b + 1);
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

}  // namespace

std::wstring HeaderValue(std::wstring_view head, std::wstring_view name) {
    size_t lineStart = head.find(kLineEnd);  // the status line is no header
    while (lineStart != std::wstring_view::npos) {
        lineStart += kLineEnd.size();
        size_t lineEnd = head.find(kLineEnd, lineStart);
        std::wstring_view line =
            head.substr(lineStart, lineEnd == std::wstring_view::npos ? std::wstring_view::npos
                                                                      : lineEnd - lineStart);
        size_t colon = line.find(L':');
        if (colon != std::wstring_view::npos && SameName(Trim(line.substr(0, colon)), name)) {
            return std::wstring(Trim(line.substr(colon + 1)));
        }
        lineStart = lineEnd;
    }
    return {};
}

std::wstring_view StatusCodeText(std::wstring_view head) {
    constexpr size_t kCodeStart = 9;  // after "HTTP/1.x "
    constexpr size_t kCodeLength = 3;
    return head.size() >= kCodeStart + kCodeLength ? head.substr(kCodeStart, kCodeLength)
                                                   : std::wstring_view{};
}

long long PlainContentLength(std::wstring_view head) {
    // 18 digits always fit in a long long.
    constexpr size_t kMostDigits = 18;
    std::wstring value = HeaderValue(head, L"Content-Length");
    if (value.empty() || value.size() > kMostDigits ||
        !std::all_of(value.begin(), value.end(),
                     [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
        return -1;
    }
    long long length = 0;
    for (wchar_t c : value) {
        length = length * 10 + (c - L'0');
    }
    return length;
}

}  // namespace vt
