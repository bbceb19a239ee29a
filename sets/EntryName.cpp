#include "sets/EntryName.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "base/Cp949.h"
#include "format/Sets.h"
#include "sets/RecordJournal.h"

namespace vt {
namespace {

constexpr std::wstring_view kVersionProfile = L"vtgame.ini";
constexpr std::wstring_view kTempFolder = L"temp";
// Portable code cannot ask for the running module's name; this is the name the build gives it.
constexpr std::wstring_view kLauncherFile = L"vtlauncher.exe";

using Path = std::vector<std::wstring>;

// Upper case as the file system compares names. Every name we protect is ASCII, so beyond
// ASCII only the two letters whose upper case is an ASCII letter matter; whether a volume
// folds them too, taking them for I and S is the safe side.
wchar_t FoldChar(wchar_t c) {
    if (c >= L'a' && c <= L'z') {
        return static_cast<wchar_t>(c - L'a' + L'A');
    }
    if (c == L'\u0131') {  // dotless i
        return L'I';
    }
    if (c == L'\u017F') {  // long s
        return L'S';
    }
    return c;
}

std::wstring Fold(std::wstring_view text) {
    std::wstring out(text);
    std::transform(out.begin(), out.end(), out.begin(), FoldChar);
    return out;
}

// Win32 drops trailing dots and blanks from a path component before it reaches the volume.
std::wstring_view WithoutTrailingDotsAndBlanks(std::wstring_view component) {
    while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
        component.remove_suffix(1);
    }
    return component;
}

// The component as Windows opens it, in a form compared with ==.
std::wstring Resolved(std::wstring_view component) {
    return Fold(WithoutTrailingDotsAndBlanks(component));
}

std::vector<std::wstring_view> Components(std::wstring_view path) {
    std::vector<std::wstring_view> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find_first_of(L"\\/", start), path.size());
        out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Each non-empty component resolved; a path relative to the installation directory.
Path ResolvedPath(std::wstring_view path) {
    Path out;
    for (std::wstring_view component : Components(path)) {
        if (!component.empty()) {
            out.push_back(Resolved(component));
        }
    }
    return out;
}

Path Joined(Path path, std::wstring_view more) {
    Path tail = ResolvedPath(more);
    path.insert(path.end(), tail.begin(), tail.end());
    return path;
}

// `path` is `folder` or something inside it.
bool IsWithin(const Path& path, const Path& folder) {
    return path.size() >= folder.size() && std::equal(folder.begin(), folder.end(), path.begin());
}

// A file at `path` would stand where `protectedPath` needs a folder.
bool IsAbove(const Path& path, const Path& protectedPath) {
    return path.size() < protectedPath.size() && IsWithin(protectedPath, path);
}

// Windows maps these names to devices whatever the extension and trailing blanks or dots.
bool IsDeviceName(std::wstring_view component) {
    std::wstring_view stem =
        WithoutTrailingDotsAndBlanks(component.substr(0, component.find(L'.')));
    std::wstring folded = Fold(stem);
    static constexpr std::array<std::wstring_view, 6> kFixed = {L"CON", L"PRN",    L"AUX",
                                                                L"NUL", L"CONIN$", L"CONOUT$"};
    if (std::find(kFixed.begin(), kFixed.end(), folded) != kFixed.end()) {
        return true;
    }
    if (folded.size() == 4 && (folded.starts_with(L"COM") || folded.starts_with(L"LPT"))) {
        // Superscript one to three name ports as well (all three are in code page 949).
        wchar_t n = folded[3];
        return (n >= L'0' && n <= L'9') || n == L'\u00B9' || n == L'\u00B2' || n == L'\u00B3';
    }
    return false;
}

// Shaped like an 8.3 alias: a base of at most eight characters ending in '~' and a number, an
// extension of at most three. Such a name opens whichever long name the volume gave that alias
// (VTSOUN~1.INI is vtsound.ini once it exists), and which one that is depends on the order the
// files were made, so every component of this shape is refused, not only the aliases of the
// names we protect. Counting characters rather than bytes refuses a few more.
bool IsShortNameAlias(std::wstring_view component) {
    component = WithoutTrailingDotsAndBlanks(component);
    const size_t dot = component.find(L'.');
    const std::wstring_view base = component.substr(0, dot);
    const std::wstring_view extension =
        dot == std::wstring_view::npos ? std::wstring_view() : component.substr(dot + 1);
    const size_t tilde = base.rfind(L'~');
    if (tilde == std::wstring_view::npos || tilde + 1 == base.size() || base.size() > 8 ||
        extension.size() > 3 || extension.find(L'.') != std::wstring_view::npos) {
        return false;
    }
    return std::all_of(base.begin() + static_cast<std::ptrdiff_t>(tilde) + 1, base.end(),
                       [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// "<profile>.<anything>.tmp": what the profile engine's temporary files look like. The engine
// deletes what it left beside a profile before each write of it.
bool IsProfileTempShape(const std::wstring& resolvedComponent, const std::wstring& reserved) {
    if (!resolvedComponent.ends_with(L".TMP")) {
        return false;
    }
    auto shaped = [&](std::wstring_view profile) {
        return resolvedComponent.starts_with(Fold(profile) + L".");
    };
    return shaped(reserved) || shaped(kVersionProfile) ||
           std::any_of(format::PatchSets().begin(), format::PatchSets().end(),
                       [&](const format::PatchSet& set) { return shaped(set.manifestName); });
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// The launcher's own state, resolved once: every name of a set is checked against all of it.
struct ProtectedPaths {
    std::vector<Path> manifests;  // each set's manifest
    std::vector<Path> journals;   // the record journal beside it
    std::vector<Path> folders;    // each set's folder
    Path temp = ResolvedPath(kTempFolder);
    Path versionProfile = ResolvedPath(kVersionProfile);
    Path launcher = ResolvedPath(kLauncherFile);

    ProtectedPaths() {
        for (const format::PatchSet& set : format::PatchSets()) {
            manifests.push_back(Joined(ResolvedPath(set.localFolder), set.manifestName));
            journals.push_back(Joined(ResolvedPath(set.localFolder),
                                      set.manifestName + std::wstring(kJournalSuffix)));
            folders.push_back(ResolvedPath(set.localFolder));
        }
    }
};

const ProtectedPaths& Protected() {
    static const ProtectedPaths paths;
    return paths;
}

// Where `resolved` (relative to the installation directory) hits the launcher's own state,
// for an entry of the set that lives in `own`.
std::optional<std::wstring> ProtectedTarget(const Path& resolved, const Path& own) {
    const ProtectedPaths& paths = Protected();
    if (std::find(paths.manifests.begin(), paths.manifests.end(), resolved) !=
        paths.manifests.end()) {
        return L"세트의 목록 파일";
    }
    // The record journal beside the manifest: a file fetched over it would lose records.
    if (std::find(paths.journals.begin(), paths.journals.end(), resolved) != paths.journals.end()) {
        return L"세트의 기록 저널 파일";
    }
    for (const Path& folder : paths.folders) {
        // Card sets live inside the graphics folder: their entries may be there, graphics
        // entries may not be in a card set's folder nor take its name.
        if (IsWithin(resolved, folder) && !IsWithin(own, folder)) {
            return L"다른 세트의 폴더";
        }
        if (IsAbove(resolved, folder)) {
            return L"세트의 폴더가 있어야 할 자리";
        }
    }
    if (IsWithin(resolved, paths.temp)) {
        return L"임시 폴더";
    }
    if (resolved == paths.versionProfile) {
        return L"버전 파일";
    }
    if (resolved == paths.launcher) {
        return L"자동 패치 프로그램 파일";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::wstring> UnsafeEntryName(const std::wstring& name,
                                            const std::wstring& reserved) {
    if (name.empty()) {
        return L"빈 파일 이름";
    }
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F) {
            return L"제어 문자가 들어 있는 파일 이름";
        }
        if (std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) {
            return L"Windows에서 쓸 수 없는 문자가 들어 있는 파일 이름";
        }
    }
    // The name is also the key of the local manifest, which could not record it faithfully.
    if (name.find(L'=') != std::wstring::npos || name.front() == L'[' || name.front() == L';' ||
        FromCp949(ToCp949(name)) != name) {
        return L"목록 파일에 기록할 수 없는 이름";
    }
    if (name.front() == L'\\' || name.front() == L'/') {
        return L"루트 또는 UNC 경로";
    }
    for (std::wstring_view component : Components(name)) {
        if (component.empty()) {
            return L"빈 경로 구성 요소";
        }
        if (component.find_first_not_of(L". ") == std::wstring_view::npos) {
            return L"'.' 또는 '..' 경로 구성 요소";
        }
        if (IsDeviceName(component)) {
            return L"장치 이름";
        }
        if (IsShortNameAlias(component)) {
            return L"8.3 짧은 이름 꼴의 경로 구성 요소";
        }
    }
    const Path resolved = ResolvedPath(name);
    if (resolved == ResolvedPath(reserved)) {
        return L"세트의 목록 파일과 같은 이름";
    }
    if (resolved == ResolvedPath(reserved + std::wstring(kJournalSuffix))) {
        return L"세트의 기록 저널 파일과 같은 이름";
    }
    return std::nullopt;
}

std::optional<std::wstring> UnsafeEntryName(const std::wstring& name, const std::wstring& reserved,
                                            const std::wstring& setFolder) {
    if (auto why = UnsafeEntryName(name, reserved)) {
        return why;
    }
    for (std::wstring_view component : Components(name)) {
        if (IsProfileTempShape(Resolved(component), reserved)) {
            return L"목록 파일의 임시 파일과 같은 꼴의 이름";
        }
    }
    const Path own = ResolvedPath(setFolder);
    if (auto target = ProtectedTarget(Joined(own, name), own)) {
        return *target + L"에 닿는 이름";
    }
    return std::nullopt;
}

std::optional<std::wstring> UnrecordableEntryName(const std::wstring& name) {
    if (name.empty()) {
        return L"빈 파일 이름";
    }
    // The engine trims keys: " a.wav" would be recorded as "a.wav", another file's key, and
    // " [x]" would read as a section header.
    if (IsBlank(name.front()) || IsBlank(name.back())) {
        return L"앞뒤에 공백이 있어 목록 파일에 기록할 수 없는 이름";
    }
    if (name.front() == L'[' || name.front() == L';' || name.find(L'=') != std::wstring::npos ||
        std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }) ||
        FromCp949(ToCp949(name)) != name) {
        return L"목록 파일에 기록할 수 없는 이름";
    }
    return std::nullopt;
}

std::wstring EncodeForUrl(const std::wstring& name) {
    static constexpr std::string_view kSafe =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/!$&'()*+,;=@";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::wstring out;
    for (unsigned char b : ToCp949(name)) {
        if (kSafe.find(static_cast<char>(b)) != std::string_view::npos) {
            out.push_back(static_cast<wchar_t>(b));
        } else {
            out.push_back(L'%');
            out.push_back(static_cast<wchar_t>(kHex[b >> 4]));
            out.push_back(static_cast<wchar_t>(kHex[b & 0xF]));
        }
    }
    return out;
}

std::wstring LocalRelativePath(const std::wstring& name) {
    std::wstring out = name;
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

}  // namespace vt
