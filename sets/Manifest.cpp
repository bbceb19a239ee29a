#include "sets/Manifest.h"

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/ModGame.h"

namespace vt {

ManifestEntry ParseManifestEntry(std::string_view entry) {
    const size_t colon = entry.find(':');
    if (colon == std::string_view::npos) {
        RaiseInvalidArgument(L"manifest entry without ':'");
    }
    return {FromCp949(entry.substr(0, colon)), std::string(entry.substr(colon + 1))};
}

bool IsManifestCount(std::string_view count) {
    if (!count.empty() && (count.front() == '+' || count.front() == '-')) {
        count.remove_prefix(1);
    }
    bool digit = false;
    bool point = false;
    for (char c : count) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

bool IsManifest(const std::wstring& path, const std::wstring& section) {
    // A key is only found inside its section, so a count that is a number proves both.
    return IsManifestCount(ReadProfileBytes(section, L"count", path));
}

}  // namespace vt
