// HTTP response heads: any text is read without a crash; a Content-Length is -1 or the
// header's digits; a header put first after the status line is found with its trimmed value;
// the status code is the three characters after "HTTP/1.x ".
// Input: one mode byte (how the rest becomes text: UTF-8 or UTF-16 units), then the head.
#include <algorithm>
#include <string>

#include "base/Cp949.h"
#include "fuzz/FuzzSupport.h"
#include "transfer/HttpHead.h"

namespace vt::fuzz {
namespace {

bool AllDigits(std::wstring_view text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

std::wstring_view Trimmed(std::wstring_view text) {
    const size_t begin = text.find_first_not_of(L" \t");
    if (begin == std::wstring_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(L" \t") - begin + 1);
}

void Head(const std::wstring& head) {
    const long long length = PlainContentLength(head);
    Check(length >= -1, "a content length below -1", Shown(head));
    const std::wstring value = HeaderValue(head, L"content-length");
    Check(value == HeaderValue(head, L"Content-Length"), "header names match with case",
          Shown(head));
    Check(Trimmed(value) == value, "a header value is not trimmed", Shown(value));
    if (length >= 0) {
        Check(!value.empty() && AllDigits(value) && value.size() <= 18,
              "a content length from a value that is no plain number", Shown(value));
        Check(std::to_wstring(length) ==
                  value.substr(std::min(value.find_first_not_of(L'0'), value.size() - 1)),
              "a content length is not its digits", Shown(value));
    } else {
        Check(value.empty() || !AllDigits(value) || value.size() > 18,
              "a plain content length was not read", Shown(value));
    }
    const std::wstring_view status = StatusCodeText(head);
    Check(head.size() < 12 ? status.empty() : status == std::wstring_view(head).substr(9, 3),
          "the status code is not characters 10 to 12", Shown(head));
}

void FirstHeader(const std::wstring& head, const std::wstring& value) {
    // Values are what a line can hold: no line break.
    std::wstring oneLine = value;
    std::replace(oneLine.begin(), oneLine.end(), L'\r', L' ');
    std::replace(oneLine.begin(), oneLine.end(), L'\n', L' ');
    const size_t end = head.find(L"\r\n");
    const std::wstring status = end == std::wstring::npos ? head : head.substr(0, end);
    const std::wstring rest = end == std::wstring::npos ? L"" : head.substr(end);
    const std::wstring built = status + L"\r\nX-Fuzz:" + oneLine + rest;
    Check(HeaderValue(built, L"x-fuzz") == Trimmed(oneLine),
          "the first header is not found with its value", Shown(built));
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::fuzz;
    if (size == 0) {
        return 0;
    }
    const std::string_view rest = AsBytes(data + 1, size - 1);
    const std::wstring head = data[0] % 2 == 0 ? vt::FromUtf8(rest) : Utf16Units(rest);
    Head(head);
    FirstHeader(head, head.substr(0, data[0] % 32));
    return 0;
}
