#pragma once
// Mirrors: other hosts holding a copy of the served tree. A signed profile lists them in
// [mirrors] as 1= to 8=, each "http://host[:port]/path/", the folder autopatch/ lies in. Only
// objects and the signed profile are taken from them, so a mirror needs no trust: a wrong byte
// fails its hash. Older launchers ignore the section.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt::format {

inline constexpr char kMirrorsSection[] = "mirrors";
inline constexpr int kMostMirrors = 8;

// The base of the autopatch/ folder on the mirror `value` names ("http://host[:port]/path/" +
// "autopatch/"); nothing unless `value` is exactly such a URL: lower-case scheme, a host of
// letters, digits, dots and hyphens, a port of 1 to 65535, a path from '/' to '/' of
// unreserved characters and percent escapes, without "." or ".." segments, at most 200 bytes.
std::optional<std::string> MirrorBase(std::string_view value);

struct MirrorList {
    std::vector<std::string> urls;   // the mirrors as listed, in the order of their keys, each once
    std::vector<std::string> bases;  // their autopatch/ folders (MirrorBase)
    int unusable = 0;                // values present but not mirrors
};

// The [mirrors] keys 1 to 8 in order, through `value` (a profile's value of a key of the
// section, empty when absent). Keys past 8 are not read.
MirrorList ReadMirrors(const std::function<std::string(const std::string& key)>& value);

}  // namespace vt::format
