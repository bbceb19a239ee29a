#pragma once
// Process-wide path strings and the byte-wise text helpers. Positions and counts are bytes of
// code page 949, 16-bit signed, 1-based, because profile values are cut at byte positions.

#include <cstdint>
#include <string>
#include <string_view>

namespace vt {

// Set once by the patch window's load handler; every directory string ends in a backslash,
// PatchBaseUrl ends in a slash and has no scheme.
extern std::wstring AppDir;
extern std::wstring PatchBaseUrl;
extern std::wstring TempDir;
extern std::wstring SoundDir;
extern std::wstring DataDir;

// Fills the five strings from the executable's directory (without trailing backslash).
void SetPathStrings(const std::wstring& exeDirectory);

// The first `count` bytes of `text`. A negative count is an invalid argument.
std::wstring AnsiLeft(std::wstring text, int16_t count);
// `length` bytes from 1-based byte `start`. start < 1 or length < 0 is an invalid argument.
std::wstring AnsiMid(std::wstring text, int16_t start, int16_t length);
// Byte length; above 32767 is an overflow.
int16_t AnsiLen(std::wstring text);
// 1-based byte position of the first `find` in `text`, 0 when absent; above 32767 overflows.
int16_t AnsiInStr(std::wstring text, std::wstring find);

// The profile-reading idiom: a 1024-byte buffer, an empty default, the value cut to the byte
// count the read returns (so at most 1023 bytes of a value count).
constexpr int32_t kProfileBufferSize = 1024;
std::wstring ReadProfileValue(const std::wstring& section, const std::wstring& key,
                              const std::wstring& path);
void WriteProfileValue(const std::wstring& section, const std::wstring& key,
                       const std::wstring& value, const std::wstring& path);

// The same idiom on the value's bytes, for values compared byte for byte (versions): no
// conversion can make two different values equal. WriteProfileBytes stores the value so that
// ReadProfileBytes hands back exactly these bytes (in double quotes when the plain form would
// lose blanks or quotes), an error when it cannot; ProfileCanRecord tells beforehand.
std::string ReadProfileBytes(const std::wstring& section, const std::wstring& key,
                             const std::wstring& path);
void WriteProfileBytes(const std::wstring& section, const std::wstring& key, std::string_view value,
                       const std::wstring& path);
bool ProfileCanRecord(std::string_view value);

}  // namespace vt
