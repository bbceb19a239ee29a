#include "tests/support/Installation.h"

#include "base/FileSystem.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "patch/frmVtUpdate.h"

namespace vt::test {

Installation::Installation(Layout layout) {
    if (layout == Layout::Tree) {
        SetPathStrings(dir.Path().substr(0, dir.Path().size() - 1));
        for (const std::wstring& sub : InstallationTree()) {
            fs::CreateDir(AppDir + sub);
        }
    }
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
