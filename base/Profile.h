#pragma once
// Our own reader and writer of Windows profile (INI) files, identical on every build.
// Rules: section and key names match without regard to case (ASCII letters only; the second
// byte of a double-byte character is never folded), a missing file, section or key reads as
// the default, blanks around names and values and one pair of equal enclosing quotes (" or ')
// are not part of them, only the first section of a name and the first key of a name count,
// a line without '=' is a key that reads as the default, ';' starts no comment, a read copies
// at most size - 1 bytes and returns the count, a write creates file, section and key as
// needed but never a directory. Section, key and value are bytes of code page 949.
// Each file is kept parsed in memory, keyed by path, so a manifest of tens of thousands of
// entries is not re-read for every key. The copy is checked against the file's size and
// write time whenever this process has changed any file through base/FileSystem.h since the
// last check, and otherwise at most every 100 ms (under Wine a check per read would cost more
// than all the reads together). A write replaces the file atomically and changes only the
// line it concerns (or adds one), keeping every other byte of the file.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vt::profile {

// GetPrivateProfileStringA for a non-null section and key: `out` receives the copied bytes
// (at most size - 1 of them, never half of a double-byte character) and the count is returned.
int32_t GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                  std::string& out, int32_t size, const std::wstring& path);

// GetString over bytes held in memory rather than a file: a manifest read before it is one.
// The parsed bytes never change, so copies share them.
class Text {
  public:
    explicit Text(std::string bytes);
    int32_t GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                      std::string& out, int32_t size) const;

  private:
    struct Impl;
    std::shared_ptr<const Impl> impl_;
};

// WritePrivateProfileStringA for a non-null section, key and value. False when the file cannot
// be written (a missing directory, for instance), and for every line that would not read back
// under its section and key: a line break or NUL in any of the three, '=' in the key, a key
// starting with '[' on a line that holds a ']' (key or value; it would read as a header), a
// key starting with a byte-order mark as the file's first line. The old file then stays as it
// was. Keys starting with ';' are ordinary keys, blanks around names are dropped on both
// sides. The value follows the loader's rules (blanks and one pair of quotes are not part of
// it); StoredForm gives the text to write for a value that must read back unchanged.
bool WriteString(std::string_view section, std::string_view key, std::string_view value,
                 const std::wstring& path);

// WriteString for many keys of one section in one atomic replacement of the file (the last
// value of a key given twice wins). All or nothing: false, and the file as it was, when any
// line would not read back.
bool WriteStrings(std::string_view section,
                  std::span<const std::pair<std::string, std::string>> entries,
                  const std::wstring& path);

// The keys of `section` in the file at `path` whose value is not empty, each once, as
// LookupName gives them, in no particular order.
std::vector<std::string> KeyNames(std::string_view section, const std::wstring& path);

// The form under which the engine looks a section or key name up: blanks around it dropped,
// ASCII letters folded. Two names are the same entry exactly when these are equal.
std::string LookupName(std::string_view name);

// What to write so that GetString with a buffer of `size` hands back exactly `value`: the
// value itself when it reads back as itself, else the value in one pair of double quotes.
// Nothing when neither does: a line break or NUL, more bytes than the buffer holds, or a lone
// lead byte at the end of a value that needs the quotes (it would take the closing one).
std::optional<std::string> StoredForm(std::string_view value, int32_t size);

// Forgets every parsed copy (tests that edit files behind the engine's back use it).
void ClearCache();

}  // namespace vt::profile
