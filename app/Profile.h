#pragma once
// Our own reader and writer of Windows profile (INI) files, identical on every build.
// Rules: section and key names match without regard to case (ASCII folding), a missing file,
// section or key reads as the default, blanks around a value and one pair of enclosing quotes
// are not part of it, a read copies at most size - 1 bytes and returns the count, a write
// creates file, section and key as needed but never a directory. Section, key and value are
// bytes of code page 949. Each file is kept parsed in memory, so a manifest of tens of
// thousands of entries is not re-read for every key; the copy is dropped when the file changes
// on disk or is written through the engine. A write replaces the file atomically.

#include <cstdint>
#include <string>
#include <string_view>

namespace vt::profile {

// GetPrivateProfileStringA for a non-null section and key: `out` receives the copied bytes
// (at most size - 1 of them) and the count is returned.
int32_t GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                  std::string& out, int32_t size, const std::wstring& path);

// WritePrivateProfileStringA for a non-null section, key and value. False when the file cannot
// be written (a missing directory, for instance); the old file then stays as it was.
bool WriteString(std::string_view section, std::string_view key, std::string_view value,
                 const std::wstring& path);

// Forgets every parsed copy (tests that edit files behind the engine's back use it).
void ClearCache();

}  // namespace vt::profile
