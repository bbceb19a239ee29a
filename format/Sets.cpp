#include "format/Sets.h"

#include <algorithm>
#include <stdexcept>

#include "base/Cp949.h"

namespace vt::format {
namespace {

PatchSet Make(std::wstring key, std::string folder, std::wstring manifestName, std::wstring suffix,
              int card) {
    std::wstring local = FromUtf8(folder);
    std::replace(local.begin(), local.end(), L'/', L'\\');
    return {std::move(key),    std::move(folder), std::move(manifestName),
            std::move(suffix), std::move(local),  card};
}

std::vector<PatchSet> BuildTable() {
    std::vector<PatchSet> sets = {
        Make(L"sound", "resource/sound/", L"vtsound.ini", L"", 0),
        Make(L"graphics", "resource/data/", L"graphics.ini", L"", 0),
    };
    for (int n = 1; n <= 5; ++n) {
        const std::wstring digit = std::to_wstring(n);
        sets.push_back(Make(L"card" + digit, "resource/data/card" + ToUtf8(digit) + "/",
                            L"vtcard" + digit + L".ini", L".dat", n));
    }
    return sets;
}

}  // namespace

std::string PatchSet::ManifestPath() const {
    return folder + ToUtf8(manifestName);
}

const std::vector<PatchSet>& PatchSets() {
    static const std::vector<PatchSet> sets = BuildTable();
    return sets;
}

const PatchSet& PatchSetOf(std::wstring_view key) {
    for (const PatchSet& set : PatchSets()) {
        if (set.key == key) {
            return set;
        }
    }
    throw std::out_of_range("no content set of that key");
}

}  // namespace vt::format
