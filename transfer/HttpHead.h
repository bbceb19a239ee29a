#pragma once
// Reading a raw HTTP response head as the transfer object hands it out: the status line first,
// then one header per line, lines ended by CRLF.

#include <string>
#include <string_view>

namespace vt {

// Value of header `name`, trimmed of spaces and tabs; empty when absent. Names match without
// regard to case and the first matching line wins. The status line is never a header, and a
// folded line (one starting with a space or a tab) is read as a line of its own.
std::wstring HeaderValue(std::wstring_view head, std::wstring_view name);

// Characters 10 to 12 of the head: the status code of an HTTP/1.x status line. Empty when the
// head is shorter than that.
std::wstring_view StatusCodeText(std::wstring_view head);

// The Content-Length when it is a plain number (digits only, at most 18 of them), else -1.
long long PlainContentLength(std::wstring_view head);

}  // namespace vt
