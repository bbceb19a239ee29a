#pragma once
// Creating the installation's directories, with the one error the player sees when it fails.

#include <string>

namespace vt {

// Makes `path` (no trailing backslash) a directory unless it already is one. A file of that
// name, or a directory that cannot be made, raises AppError(PathFileAccess): a file in the way
// may be the player's, so it is reported, never replaced.
void EnsureDirectory(const std::wstring& path);

// Makes every missing directory of `relative` (a Windows-style path below `base`, which ends in
// a backslash) up to, not including, its last component.
void EnsureParentDirectories(const std::wstring& base, const std::wstring& relative);

}  // namespace vt
