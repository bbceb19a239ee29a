#pragma once
// What a publisher checks beyond the launcher's reading of the format (format/): the text of
// the profile, the rules an entry name must meet so the launcher accepts it and installs it
// under the name it was published as, times, and keys the launcher never reads.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/Sets.h"

namespace vt::vtpatch {

// The format's names, from the launcher's side (format/).
using format::kClientKey;
using format::kClientName;
using format::kGameSection;
using format::kMaxEntries;
using format::kMaxEntryBytes;
using format::kProfileName;
using format::kPublishSection;
using format::kServedFolder;
using format::kServerListName;
using format::kSignatureName;
using format::PatchSet;
using format::PatchSets;

// A profile in the launcher's form: code page 949 bytes (given here), CR LF lines.
class IniText {
  public:
    void Section(std::string_view name);
    void Key(std::string_view key, std::string_view value);
    void Lines(std::string_view lines);  // "key=value\r\n" lines made elsewhere
    const std::string& Bytes() const { return text_; }

  private:
    std::string text_;
};

// Why the launcher would refuse entry `name` of `set`, or could not install it under that very
// name (Windows or the profile engine would change it, or it would land on a file the
// launcher or the player keeps there); nothing when it is fine. UTF-8.
std::optional<std::string> EntryNameProblem(const PatchSet& set, const std::wstring& name);
// Names equal under this key are one file for Windows (case, trailing dots and blanks, either
// slash) and one record for the local manifest.
std::wstring AliasKey(std::wstring_view fileName);

// "YYYY-MM-DDTHH:MM:SSZ" <-> seconds since 1970 (UTC).
std::optional<int64_t> ParseUtcTime(std::string_view text);
std::string FormatUtcTime(int64_t seconds);

// The keys of the first section named `section` (ASCII case ignored) in order, blanks around
// keys and values dropped: for the checks of what the launcher itself never reads.
std::vector<std::pair<std::string, std::string>> SectionKeys(std::string_view ini,
                                                             std::string_view section);

}  // namespace vt::vtpatch
