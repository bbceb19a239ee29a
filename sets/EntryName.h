#pragma once
// Manifest entry names come from the patch server and become both a URL path and a local path.

#include <optional>
#include <string>

namespace vt {

// Why `name` must not be fetched into the set that lives in `setFolder`, or nullopt when it is
// safe. `setFolder` is the set's directory relative to the installation directory
// ("resource\data\", "" for the installation directory itself); `reserved` is the set's own
// manifest name. SyncSet checks UnrecordableEntryName too. On top of the checks of the
// two-argument form:
// - a component of the shape of the profile engine's temporary files ("<manifest>.<any>.tmp",
//   for every profile the launcher writes), which the next write of that profile deletes;
// - what the name opens once Windows has resolved it (each component without its trailing dots
//   and blanks, letters compared without case): any set's manifest or its record journal
//   ("<manifest>.journal"), another set's folder or anything in it (a graphics entry
//   "card1\x" writes into card set 1, a file "card5" blocks it), vtgame.ini, the launcher
//   itself, the temp folder or anything in it.
std::optional<std::wstring> UnsafeEntryName(const std::wstring& name, const std::wstring& reserved,
                                            const std::wstring& setFolder);

// The checks that need neither the set's place nor the key rules beyond the first character:
// names with a ".." component, rooted, drive or UNC paths, control characters, characters
// Windows forbids in names or code page 949 cannot hold, device names (CON, NUL, COM1, COM¹
// ...), and components shaped like an 8.3 short name ("VTSOUN~1.INI"), which open whatever
// long name the volume gave that alias. Subfolders ("a\b.wav", "a/b.wav") are fine. A name that
// resolves to `reserved`, or to its journal, is refused too.
std::optional<std::wstring> UnsafeEntryName(const std::wstring& name, const std::wstring& reserved);

// Why the local manifest cannot keep the entry name `name` (without the set's file suffix) as a
// key of its own that reads back as itself, or nullopt: blanks or tabs at either end (the
// engine trims keys, so " a.wav" and "a.wav" would share one), a trimmed form starting with
// '[' (a header) or ';', '=', control characters, characters code page 949 cannot hold.
std::optional<std::wstring> UnrecordableEntryName(const std::wstring& name);

// The name as it goes into a URL: every code-page-949 byte outside the URL-safe ASCII set
// (Hangul, blanks, '%', '#', '?', '\') is percent-encoded byte by byte; "/" stays.
std::wstring EncodeForUrl(const std::wstring& name);

// The name as a path below the set directory: "/" becomes "\".
std::wstring LocalRelativePath(const std::wstring& name);

}  // namespace vt
