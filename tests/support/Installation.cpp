#include "tests/support/Installation.h"

#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "format/Sets.h"

namespace vt::test {

Installation::Installation() {
    SetPathStrings(dir.Path().substr(0, dir.Path().size() - 1));
    fs::CreateDir(AppDir + L"resource");
    // Parents first, as the table lists them; card set 5 is left out (see the header).
    for (const format::PatchSet& set : format::PatchSets()) {
        if (set.cardNumber != 5) {
            fs::CreateDir(AppDir + set.localFolder.substr(0, set.localFolder.size() - 1));
        }
    }
    fs::CreateDir(AppDir + L"temp");
    profile::ClearCache();
}

Installation::~Installation() {
    profile::ClearCache();
}

void Installation::WriteText(const std::wstring& relativePath, const std::wstring& text) const {
    dir.Write(relativePath, ToCp949(text));
}

std::wstring Installation::Value(const std::wstring& relativePath, const std::wstring& section,
                                 const std::wstring& key) const {
    return ReadProfileValue(section, key, AppDir + relativePath);
}

std::string Manifest(const std::wstring& section, const std::wstring& count,
                     std::initializer_list<std::wstring> entries) {
    std::wstring text = L"[" + section + L"]\r\ncount=" + count + L"\r\n";
    int i = 0;
    for (const auto& e : entries) {
        text += std::to_wstring(++i) + L"=" + e + L"\r\n";
    }
    return ToCp949(text);
}

}  // namespace vt::test
