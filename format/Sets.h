#pragma once
// Where each part of a patch lies, in the served tree below autopatch/ and in an installation:
// the version profile, the client and the table of content sets. The launcher, vtpatch and the
// tests read these from here only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vt::format {

// The format this tree writes and reads: the signed patch of docs/patch-format.md. A change that
// launchers in the field would read otherwise gets a new number.
inline constexpr int kFormatVersion = 1;

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

// One content set.
struct PatchSet {
    std::wstring key;           // [game] key and manifest section: "sound", "graphics", "card1"
    std::string folder;         // below autopatch/ and the installation: "resource/sound/"
    std::wstring manifestName;  // "vtsound.ini"
    std::wstring suffix;        // added to an entry's name for its file: ".dat" for cards
    std::wstring localFolder;   // the installation's form of `folder`: "resource\\sound\\"
    int cardNumber = 0;         // 1 to 5 for card sets

    std::wstring FileName(const std::wstring& entry) const { return entry + suffix; }
    std::string ManifestPath() const;  // below autopatch/
    std::wstring PinsSection() const { return key + L".pins"; }
};

// sound, graphics, card1 ... card5: the order in which the launcher updates them.
const std::vector<PatchSet>& PatchSets();
// The set of `key`; an unknown key is a logic error (std::out_of_range).
const PatchSet& PatchSetOf(std::wstring_view key);

}  // namespace vt::format
