#include "patch/Mirrors.h"

#include "base/Cp949.h"
#include "base/Directories.h"
#include "base/Log.h"
#include "base/ModGame.h"
#include "format/Mirrors.h"

namespace vt {
namespace {

constexpr wchar_t kProfileName[] = L"vtgame.ini";

format::MirrorList MirrorsIn(const std::wstring& profile) {
    const std::wstring section = FromUtf8(format::kMirrorsSection);
    return format::ReadMirrors(
        [&](const std::string& key) { return ReadProfileBytes(section, FromUtf8(key), profile); });
}

std::vector<std::wstring> WithBuiltIn(const std::vector<std::string>& mirrors) {
    std::vector<std::wstring> sources{PatchBaseUrl};
    for (const std::string& base : mirrors) {
        sources.push_back(FromUtf8(base));
    }
    return sources;
}

}  // namespace

std::vector<std::wstring> ServedSources() {
    const format::MirrorList list = MirrorsIn(TempDir + kProfileName);
    if (list.unusable > 0) {
        LogLine(L"the profile lists " + std::to_wstring(list.unusable) +
                L" mirror(s) that are no http:// folder; left out");
    }
    return WithBuiltIn(list.bases);
}

std::vector<std::wstring> KeptSources() {
    const format::MirrorList list = MirrorsIn(AppDir + kProfileName);
    if (list.unusable > 0) {
        LogLine(L"the kept mirror list is damaged; asking the patch server alone");
        return {PatchBaseUrl};
    }
    return WithBuiltIn(list.bases);
}

std::vector<std::string> ServedMirrorValues() {
    return MirrorsIn(TempDir + kProfileName).urls;
}

void KeepMirrors(const std::vector<std::string>& values) {
    const std::wstring local = AppDir + kProfileName;
    const std::wstring section = FromUtf8(format::kMirrorsSection);
    for (int n = 1; n <= format::kMostMirrors; ++n) {
        const std::string value =
            n <= static_cast<int>(values.size()) ? values[n - 1] : std::string();
        const std::wstring key = std::to_wstring(n);
        if (ReadProfileBytes(section, key, local) != value) {
            WriteProfileBytes(section, key, value, local);
        }
    }
}

}  // namespace vt
