#include "vtpatch/Format.h"

#include <time.h>

#include <charconv>

#include "base/Cp949.h"
#include "format/Digest.h"
#include "sets/EntryName.h"

namespace vt::vtpatch {
namespace {

bool IsProfileBlank(wchar_t c) {
    // What the profile engine trims around keys and values.
    return c == L' ' || (c >= L'\t' && c <= L'\r') || c == L'\x1a';
}

// Upper case as Windows compares file names, for the letters code page 949 holds: ASCII,
// Latin-1, Greek, Cyrillic, Roman numerals, circled and full-width Latin.
wchar_t FoldLetter(wchar_t c) {
    auto in = [c](wchar_t low, wchar_t high) { return c >= low && c <= high; };
    if (in(L'a', L'z') || (in(L'\u00E0', L'\u00FE') && c != L'\u00F7')) {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (in(L'\u03B1', L'\u03C9') && c != L'\u03C2') {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (in(L'\u0430', L'\u044F')) {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (in(L'\u0450', L'\u045F')) {
        return static_cast<wchar_t>(c - 0x50);
    }
    if (in(L'\u2170', L'\u217F')) {
        return static_cast<wchar_t>(c - 0x10);
    }
    if (in(L'\u24D0', L'\u24E9')) {
        return static_cast<wchar_t>(c - 26);
    }
    if (in(L'\uFF41', L'\uFF5A')) {
        return static_cast<wchar_t>(c - 0x20);
    }
    return c;
}

std::wstring Fold(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        c = FoldLetter(c);
    }
    return out;
}

std::vector<std::wstring_view> Components(std::wstring_view name) {
    std::vector<std::wstring_view> out;
    size_t start = 0;
    for (;;) {
        size_t end = name.find_first_of(L"\\/", start);
        out.push_back(name.substr(start, end == std::wstring_view::npos ? end : end - start));
        if (end == std::wstring_view::npos) {
            return out;
        }
        start = end + 1;
    }
}

std::string_view TrimAscii(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

void IniText::Section(std::string_view name) {
    if (!text_.empty()) {
        text_ += "\r\n";
    }
    text_.append("[").append(name).append("]\r\n");
}

void IniText::Key(std::string_view key, std::string_view value) {
    text_.append(key).append("=").append(value).append("\r\n");
}

void IniText::Lines(std::string_view lines) {
    text_.append(lines);
}

std::optional<std::string> EntryNameProblem(const PatchSet& set, const std::wstring& name) {
    const std::string bytes = ToCp949(name);
    if (FromCp949(bytes) != name) {
        bool jamo = false;
        for (wchar_t c : name) {
            jamo = jamo || (c >= L'\u1100' && c <= L'\u11FF');
        }
        return std::string("cannot be written in code page 949, the manifest's encoding") +
               (jamo ? " (Hangul in decomposed form: store the name composed, NFC)" : "");
    }
    const std::wstring fileName = set.FileName(name);
    // Exactly the launcher's own check, with the arguments SyncSet gives it.
    if (auto why = UnsafeEntryName(fileName, set.manifestName, set.localFolder)) {
        return "the launcher refuses the name: " + ToUtf8(*why);
    }
    if (IsProfileBlank(name.front())) {
        return "begins with a blank, which the manifest would drop";
    }
    for (std::wstring_view component : Components(fileName)) {
        if (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
            return "a name ending in '.' or a blank: Windows would store it as another name";
        }
    }
    if (bytes.size() + 1 + kContentVersionLength > kMaxEntryBytes) {
        return "too long: a manifest entry holds at most " +
               std::to_string(kMaxEntryBytes - 1 - kContentVersionLength) +
               " bytes of name in code page 949";
    }
    const std::vector<std::wstring_view> parts = Components(fileName);
    const std::wstring first = Fold(parts.front());
    if (set.key == L"graphics") {
        for (const PatchSet& other : PatchSets()) {
            if (other.cardNumber == 0 || !other.folder.starts_with(set.folder)) {
                continue;
            }
            // "resource/data/card1/" below "resource/data/": "card1"
            std::string_view below = other.folder;
            below.remove_prefix(set.folder.size());
            below.remove_suffix(1);
            if (first == Fold(FromUtf8(below))) {
                return "collides with the folder of card set " + std::to_string(other.cardNumber);
            }
        }
        if (parts.size() == 1 && first == Fold(kServerListName)) {
            return "would replace the player's server list";
        }
    }
    if (parts.size() == 1 && first.starts_with(Fold(set.manifestName + L".")) &&
        first.ends_with(L".TMP")) {
        return "has the form of the launcher's temporary manifest files, which it deletes";
    }
    return std::nullopt;
}

std::wstring AliasKey(std::wstring_view fileName) {
    std::wstring out;
    for (std::wstring_view component : Components(fileName)) {
        while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
            component.remove_suffix(1);
        }
        if (!out.empty()) {
            out.push_back(L'/');
        }
        out += Fold(component);
    }
    return out;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ, every field its exact width.
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < kShape.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
            return std::nullopt;
        }
    }
    auto field = [text](size_t at, size_t width) {
        int value = 0;
        std::from_chars(text.data() + at, text.data() + at + width, value);
        return value;
    };
    struct tm t {};
    t.tm_year = field(0, 4) - 1900;
    t.tm_mon = field(5, 2) - 1;
    t.tm_mday = field(8, 2);
    t.tm_hour = field(11, 2);
    t.tm_min = field(14, 2);
    t.tm_sec = field(17, 2);
    const struct tm asked = t;
    time_t seconds = ::timegm(&t);
    // timegm normalises 02-30 into March: such a date was not a date.
    if (t.tm_year != asked.tm_year || t.tm_mon != asked.tm_mon || t.tm_mday != asked.tm_mday ||
        t.tm_hour != asked.tm_hour || t.tm_min != asked.tm_min || t.tm_sec != asked.tm_sec) {
        return std::nullopt;
    }
    return static_cast<int64_t>(seconds);
}

std::string FormatUtcTime(int64_t seconds) {
    time_t value = static_cast<time_t>(seconds);
    struct tm t {};
    ::gmtime_r(&value, &t);
    char text[32];
    ::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
    return text;
}

std::vector<std::pair<std::string, std::string>> SectionKeys(std::string_view ini,
                                                             std::string_view section) {
    std::vector<std::pair<std::string, std::string>> out;
    if (ini.starts_with("\xEF\xBB\xBF")) {
        ini.remove_prefix(3);
    }
    enum { Before, Inside, After } state = Before;
    size_t pos = 0;
    while (pos < ini.size() && state != After) {
        size_t end = ini.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = ini.size();
        }
        std::string_view line = TrimAscii(ini.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.rfind(']') != std::string_view::npos) {
            std::string_view name = TrimAscii(line.substr(1, line.rfind(']') - 1));
            if (state == Inside) {
                state = After;
            } else if (EqualsNoCaseAscii(name, section)) {
                state = Inside;
            }
            continue;
        }
        if (state != Inside) {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            out.emplace_back(std::string(line), std::string());
        } else {
            out.emplace_back(std::string(TrimAscii(line.substr(0, eq))),
                             std::string(TrimAscii(line.substr(eq + 1))));
        }
    }
    return out;
}

}  // namespace vt::vtpatch
