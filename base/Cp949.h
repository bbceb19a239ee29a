#pragma once
// Conversion between the program's Unicode text and code page 949, the encoding of every
// profile, manifest, server list, URL and client command line. The code page is named
// explicitly so the launcher behaves the same whatever the system's ANSI code page is.

#include <string>
#include <string_view>

namespace vt {

std::string ToCp949(std::wstring_view text);
std::wstring FromCp949(std::string_view bytes);

// UTF-8 for file names on POSIX and for logs.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);

}  // namespace vt
