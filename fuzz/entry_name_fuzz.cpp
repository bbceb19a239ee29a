// Entry names: every name a set accepts is a plain relative path once Windows has normalised
// it (no "." or ".." component, not rooted, no device, no control character), the local
// manifest records it as a key of its own, and its URL form is printable ASCII that decodes to
// the name's code page 949 bytes.
// Input: one byte choosing the set and how the rest becomes text (code page 949, UTF-8 or
// UTF-16 units), then the name.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "base/AppError.h"
#include "base/Cp949.h"
#include "base/ModGame.h"
#include "base/Profile.h"
#include "fuzz/FuzzSupport.h"
#include "sets/EntryName.h"

namespace vt::fuzz {
namespace {

struct Set {
    const wchar_t* section;
    const wchar_t* manifest;
    const wchar_t* folder;
    const wchar_t* suffix;
};
constexpr std::array<Set, 7> kSets = {{
    {L"sound", L"vtsound.ini", L"resource\\sound\\", L""},
    {L"graphics", L"graphics.ini", L"resource\\data\\", L""},
    {L"card1", L"vtcard1.ini", L"resource\\data\\card1\\", L".dat"},
    {L"card2", L"vtcard2.ini", L"resource\\data\\card2\\", L".dat"},
    {L"card3", L"vtcard3.ini", L"resource\\data\\card3\\", L".dat"},
    {L"card4", L"vtcard4.ini", L"resource\\data\\card4\\", L".dat"},
    {L"card5", L"vtcard5.ini", L"resource\\data\\card5\\", L".dat"},
}};

// A key no accepted name can be ('<' is refused), so the write must never touch it.
constexpr wchar_t kOtherKey[] = L"<other>";

std::vector<std::wstring> Components(const std::wstring& name) {
    std::vector<std::wstring> out(1);
    for (wchar_t c : name) {
        if (c == L'\\' || c == L'/') {
            out.emplace_back();
        } else {
            out.back().push_back(c);
        }
    }
    return out;
}

std::wstring Normalised(std::wstring component) {
    while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
        component.pop_back();
    }
    return component;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return text;
}

// Windows opens a device for these stems, whatever follows the first dot.
bool IsDevice(const std::wstring& component) {
    const std::wstring stem = Upper(Normalised(component.substr(0, component.find(L'.'))));
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (stem == device) {
            return true;
        }
    }
    if (stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT"))) {
        return std::wstring_view(L"0123456789\u00B9\u00B2\u00B3").find(stem[3]) !=
               std::wstring_view::npos;
    }
    return false;
}

void CheckPath(const std::wstring& name) {
    const std::string shown = Shown(name);
    Check(!name.empty(), "an empty name was accepted");
    Check(name.front() != L'\\' && name.front() != L'/', "a rooted name was accepted", shown);
    for (wchar_t c : name) {
        Check(c >= 0x20 && c != 0x7F, "a name with a control character was accepted", shown);
        Check(std::wstring_view(L"<>:\"|?*").find(c) == std::wstring_view::npos,
              "a name with a character Windows forbids was accepted", shown);
    }
    for (const std::wstring& component : Components(name)) {
        const std::wstring resolved = Normalised(component);
        Check(!resolved.empty() && resolved != L"." && resolved != L"..",
              "a name with an empty, '.' or '..' component was accepted", shown);
        Check(!IsDevice(component), "a device name was accepted", shown);
    }
}

void CheckRecordable(const Set& set, const std::wstring& name) {
    const std::wstring manifest = ScratchDir() + set.manifest;
    WriteRaw(manifest,
             ToCp949(L"[" + std::wstring(set.section) + L"]\r\n" + kOtherKey + L"=keep\r\n"));
    for (const wchar_t* version : {L"1", L"\uAC00 2"}) {
        try {
            WriteProfileValue(set.section, name, version, manifest);
        } catch (const AppError&) {
            Check(false, "an accepted name cannot be recorded", Shown(name));
        }
        Check(ReadProfileValue(set.section, name, manifest) == version,
              "an accepted name does not read back its version", Shown(name));
        Check(ReadProfileValue(set.section, kOtherKey, manifest) == L"keep",
              "recording an accepted name changed another key", Shown(name));
    }
    // Under its own bytes: a key the engine trimmed or cut would be shared with another name.
    const auto names = ProfileNames(ReadRaw(manifest));
    Check(std::any_of(names.begin(), names.end(),
                      [&](const auto& n) { return n.second == ToCp949(name); }),
          "an accepted name is recorded under another key", Shown(name));
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

void CheckUrl(const std::wstring& name) {
    const std::wstring url = EncodeForUrl(name);
    const std::string shown = Shown(name) + " -> " + Shown(url);
    std::string decoded;
    for (size_t i = 0; i < url.size(); ++i) {
        const wchar_t c = url[i];
        Check(c > 0x20 && c < 0x7F, "a URL holds a character that is not printable ASCII", shown);
        Check(std::wstring_view(L" #?\\\"<>").find(c) == std::wstring_view::npos,
              "a URL holds a character it must escape", shown);
        if (c != L'%') {
            decoded.push_back(static_cast<char>(c));
            continue;
        }
        Check(i + 2 < url.size() && HexValue(url[i + 1]) >= 0 && HexValue(url[i + 2]) >= 0,
              "a '%' in a URL is no escape", shown);
        decoded.push_back(static_cast<char>(HexValue(url[i + 1]) * 16 + HexValue(url[i + 2])));
        i += 2;
    }
    Check(decoded == ToCp949(name), "a URL does not decode to the name's bytes", shown);

    std::wstring local = LocalRelativePath(name);
    Check(local.find(L'/') == std::wstring::npos && local.size() == name.size(),
          "a local path keeps a '/' or changed length", Shown(local));
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::fuzz;
    if (size == 0) {
        return 0;
    }
    const Set& set = kSets[data[0] % kSets.size()];
    const std::string_view rest = AsBytes(data + 1, size - 1);
    std::wstring name;
    switch (data[0] / kSets.size() % 3) {
        case 0:
            name = vt::FromCp949(rest);
            break;
        case 1:
            name = vt::FromUtf8(rest);
            break;
        default:
            name = Utf16Units(rest);
            break;
    }
    // As the set synchronisation does: the file name is checked for its place, the entry name
    // (the key) for the manifest.
    const std::wstring fileName = name + set.suffix;
    if (vt::UnsafeEntryName(fileName, set.manifest, set.folder) ||
        vt::UnrecordableEntryName(name)) {
        return 0;
    }
    Check(!vt::UnsafeEntryName(fileName, set.manifest),
          "a name the set accepts fails the checks that need no place", Shown(fileName));
    CheckPath(fileName);
    CheckRecordable(set, name);
    CheckUrl(fileName);
    return 0;
}
