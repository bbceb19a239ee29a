#pragma once
// The signed patch format (docs/patch-format.md): where each part lies in the served tree and
// in an installation, the pins, the text of profiles and manifests, the rules an entry name
// must meet so the launcher accepts it and installs it under the name it was published as.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vtpatch/Crypto.h"

namespace vt::vtpatch {

inline constexpr char kProfileName[] = "vtgame.ini";
inline constexpr char kSignatureName[] = "vtgame.ini.sig";
inline constexpr char kClientName[] = "vt.exe";
inline constexpr char kServedFolder[] = "autopatch";
inline constexpr wchar_t kGameSection[] = L"game";
inline constexpr wchar_t kPublishSection[] = L"publish";
inline constexpr wchar_t kClientKey[] = L"vtgame";
// The player's server list lives among the graphics files but is never published.
inline constexpr wchar_t kServerListName[] = L"SvrList.dat";
// The launcher counts entries in 16 bits and stops with an overflow at 32,767.
inline constexpr int32_t kMaxEntries = 32766;
// The launcher reads a profile value into 1024 bytes, so an entry holds at most 1023.
inline constexpr size_t kMaxEntryBytes = 1023;
inline constexpr size_t kVersionLength = 16;

// One content set, from the launcher's own set parameters (sets/SetSync.h).
struct ServedSet {
    std::wstring key;           // [game] key and manifest section: "sound", "graphics", "card1"
    std::string folder;         // below autopatch/ and the installation: "resource/sound/"
    std::wstring manifestName;  // "vtsound.ini"
    std::wstring suffix;        // added to an entry's name for its file: ".dat" for cards
    std::wstring localFolder;   // the launcher's form of `folder`: "resource\\sound\\"
    int cardNumber = 0;         // 1 to 5 for card sets

    std::wstring FileName(const std::wstring& entry) const { return entry + suffix; }
    std::string ManifestPath() const;  // below autopatch/
    std::wstring PinsSection() const { return key + L".pins"; }
};
// sound, graphics, card1 ... card5: the order in which the launcher updates them.
const std::vector<ServedSet>& ServedSets();

// "<size>,<sha256 in lowercase hex>"
struct Pin {
    int64_t size = 0;
    std::string sha256;
    bool operator==(const Pin&) const = default;
};
std::string PinText(int64_t size, const Digest& sha256);
std::optional<Pin> ParsePin(std::string_view text);

// A profile in the launcher's form: code page 949 bytes (given here), CR LF lines.
class IniText {
  public:
    void Section(std::string_view name);
    void Key(std::string_view key, std::string_view value);
    const std::string& Bytes() const { return text_; }

  private:
    std::string text_;
};

struct ListedFile {
    std::wstring name;  // the entry: the file's path below the set folder, '/'-separated,
                        // without the set's suffix
    int64_t size = 0;
    Digest sha256{};
};
// The manifest of a set: "[section]", count, "i=name:version", then "[section.pins]". Entries
// are written in the order given.
std::string ManifestText(const ServedSet& set, const std::vector<ListedFile>& files);

// Why the launcher would refuse entry `name` of `set`, or could not install it under that very
// name (Windows or the profile engine would change it, or it would land on a file the
// launcher or the player keeps there); nothing when it is fine. UTF-8.
std::optional<std::string> EntryNameProblem(const ServedSet& set, const std::wstring& name);
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
