#pragma once
// Manifest entry names come from the patch server and become both a URL path and a local path.

#include <optional>
#include <string>

namespace vt {

// Why `name` must not be written below a set directory, or nullopt when it is safe: names with
// a ".." component, rooted, drive or UNC paths, control characters, characters Windows forbids
// in names, or device names (CON, NUL, COM1 ...) would escape the directory or hit a device.
// Subfolders ("a\b.wav", "a/b.wav") are fine. `reserved` is a file name the set keeps for
// itself (its local manifest), compared without regard to case.
std::optional<std::wstring> UnsafeEntryName(const std::wstring& name, const std::wstring& reserved);

// The name as it goes into a URL: every code-page-949 byte outside the URL-safe ASCII set
// (Hangul, blanks, '%', '#', '?', '\') is percent-encoded byte by byte; "/" stays.
std::wstring EncodeForUrl(const std::wstring& name);

// The name as a path below the set directory: "/" becomes "\".
std::wstring LocalRelativePath(const std::wstring& name);

}  // namespace vt
