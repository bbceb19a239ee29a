#pragma once
// What the fuzz targets share: the check that stops a run on a broken property, a scratch
// directory of the process, text made from input bytes, and a plain reading of a profile's
// section and key names to read every key of a file before and after a change.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vt::fuzz {

// Prints `what` (and `detail` when given) and aborts, so libFuzzer keeps the input.
void Check(bool ok, std::string_view what, std::string_view detail = {});

// Bytes shown escaped, for the messages of Check.
std::string Shown(std::string_view bytes);
std::string Shown(std::wstring_view text);

std::string_view AsBytes(const uint8_t* data, size_t size);

// The input cut at each `separator`; the last part runs to the end.
std::vector<std::string_view> Split(std::string_view bytes, char separator);

// Two bytes a unit, little-endian: any 16-bit unit, lone surrogates included, as on Windows.
std::wstring Utf16Units(std::string_view bytes);

// $VT_FUZZ_SCRATCH when set, else /tmp/vt-fuzz-<pid> (or under $VT_FUZZ_TMP), made on first use
// and removed at exit; in the launcher's form, Windows separators and a trailing backslash.
const std::wstring& ScratchDir();
// A launcher-form path as the POSIX file system names it.
std::string NativePath(const std::wstring& path);
// Writes a file behind the profile engine's back and makes the engine forget its copies.
void WriteRaw(const std::wstring& path, std::string_view bytes);
std::string ReadRaw(const std::wstring& path);  // empty when absent
// Empties a directory (launcher form), making it when missing.
void ResetDir(const std::wstring& path);

// Every (section, key) a profile's text names, as bytes, trimmed as the engine trims them.
std::vector<std::pair<std::string, std::string>> ProfileNames(std::string_view text);
// Whether two names are one for the engine: blanks dropped, ASCII letters folded outside
// double-byte characters.
bool SameProfileName(std::string_view a, std::string_view b);
// The engine's read of a byte-named key with the launcher's 1024-byte buffer.
std::string ReadKey(std::string_view section, std::string_view key, const std::wstring& path);

}  // namespace vt::fuzz
